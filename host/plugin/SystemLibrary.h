// System libraries: plug-in files that the configuration makes available to
// other plug-ins under a name. The host calls nothing in them itself; a
// plug-in asks for one by name and then for its exports by name. Each file is
// loaded (with the registration handshake) on the first request for its name.
#pragma once

#include <cstdint>

#include "engine/app/ConfiguredLibraries.h"
#include "engine/foundation/HashTable.h"
#include "engine/foundation/String.h"

namespace vorn {

class ExternalLibrary;
class VornApplication;

// One configured name.
class SystemLibrary {
  public:
    // Copies both texts; nothing is loaded yet.
    SystemLibrary(const char* name, const char* path);
    virtual ~SystemLibrary();
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    // Keeps the loaded library (owned by the ExternalLibraryManager). 1.
    virtual int32_t SetLibrary(ExternalLibrary* loaded);
    // Assigns only a non-empty text.
    virtual void SetError(const String& text);
    virtual const String& ErrorText();

    // The address of an export of the loaded file, or null (also when nothing
    // is loaded); a missing export leaves the loaded library's error text.
    void* GetFunction(const char* symbol);

    const String& Name() const { return name; }
    const String& Path() const { return path; }
    ExternalLibrary* Library() const { return library; }

  private:
    String name;
    String path;
    ExternalLibrary* library = nullptr;
    String error;
};

// The system libraries of one request, by name.
class SystemLibraryManager : public ConfiguredLibraries {
  public:
    // The application gives the library loader.
    explicit SystemLibraryManager(VornApplication* application);
    ~SystemLibraryManager() override;
    SystemLibraryManager(const SystemLibraryManager&) = delete;
    SystemLibraryManager& operator=(const SystemLibraryManager&) = delete;

    // Records a library not loaded yet (NUL-terminated texts). A second entry
    // of the same name is kept too, but lookups find the first. 1.
    virtual int32_t RegisterLibrary(const char* name, const char* path);
    // The library of that name (any letter case; length -1: up to the NUL),
    // loaded on first use; null with ErrorText() set. A failed load is tried
    // again on the next call.
    virtual SystemLibrary* Find(const char* name, int32_t length);
    virtual void SetError(const String& text);
    virtual const String& ErrorText();

    // ConfiguredLibraries: the names in registration order.
    int32_t ConfiguredLibraryCount() override;
    const char* ConfiguredLibraryName(int32_t index, int32_t* length) override;
    bool IsLibraryConfigured(const char* name, int32_t length) override;

    VornApplication* Application() const { return application; }

  private:
    VornApplication* application;
    HashTable<SystemLibrary> libraries;
    String error;
};

} // namespace vorn
