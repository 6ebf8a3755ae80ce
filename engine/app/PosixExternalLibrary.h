// Plug-in libraries as shared objects: loading, the registration handshake that
// hands a library the host's module, symbol lookup and unloading.
#pragma once

#include "engine/app/ExternalLibrary.h"
#include "platform/Modules.h"

namespace vorn {

// The registration entry a plug-in may export, as "vorn_register_library" or
// else "VornRegisterLibrary": called once, right after loading, with the host's
// module, through which the plug-in looks up the host interface by name.
using LibraryRegistrationEntry = void (*)(platform::ModuleHandle hostModule);

class PosixExternalLibrary : public ExternalLibrary {
  public:
    PosixExternalLibrary(VornApplication* application, const char* path, platform::ModuleHandle hostModule);
    // Unloads the module when one is loaded.
    ~PosixExternalLibrary() override;

    // Loads the file and calls its registration entry (when it has one) with
    // the host module. A library without one loads all the same.
    int32_t Load(const char* path) override;
    void* GetSymbol(const char* name) override;

    platform::ModuleHandle Module() const { return libraryModule; }
    platform::ModuleHandle HostModule() const { return hostModule; }

  private:
    const char* SystemErrorText();

    platform::ModuleHandle hostModule;
    platform::ModuleHandle libraryModule = nullptr;
};

class PosixExternalLibraryManager : public ExternalLibraryManager {
  public:
    // A null host module stands for the main program's.
    PosixExternalLibraryManager(VornApplication* owner, platform::ModuleHandle hostModule);
    ~PosixExternalLibraryManager() override;

    ExternalLibrary* CreateLibrary(const char* path) override;

    platform::ModuleHandle HostModule() const { return hostModule; }

  private:
    platform::ModuleHandle hostModule;
};

} // namespace vorn
