#include "engine/app/PosixExternalLibrary.h"

#include "engine/app/VornApplication.h"
#include "platform/Errors.h"

namespace vorn {

PosixExternalLibrary::PosixExternalLibrary(VornApplication* app, const char* libraryPath,
                                           platform::ModuleHandle host)
    : ExternalLibrary(app, libraryPath), hostModule(host) {}

PosixExternalLibrary::~PosixExternalLibrary() {
    if (libraryModule) platform::UnloadModule(libraryModule);
}

const char* PosixExternalLibrary::SystemErrorText() {
    return application ? application->LastSystemErrorText() : platform::LastErrorText();
}

int32_t PosixExternalLibrary::Load(const char* libraryPath) {
    // One object, one module, one handshake.
    if (libraryModule) return 1;
    libraryModule = platform::LoadModule(libraryPath);
    if (!libraryModule) {
        SetError(SystemErrorText());
        return 0;
    }
    // Looked up directly: a missing entry is no error of the library's.
    void* entry = platform::ModuleSymbol(libraryModule, "vorn_register_library");
    if (!entry) entry = platform::ModuleSymbol(libraryModule, "VornRegisterLibrary");
    if (entry) reinterpret_cast<LibraryRegistrationEntry>(entry)(hostModule);
    return 1;
}

void* PosixExternalLibrary::GetSymbol(const char* name) {
    String message("Unknown symbol '");
    message.Append(name ? name : "");
    message.Append("': ");
    if (!libraryModule || !name) {
        // A null module would search every loaded object instead.
        message.Append("the library is not loaded");
        SetError(message);
        return nullptr;
    }
    void* address = platform::ModuleSymbol(libraryModule, name);
    if (!address) {
        if (const char* text = SystemErrorText()) message.Append(text);
        SetError(message);
    }
    return address;
}

PosixExternalLibraryManager::PosixExternalLibraryManager(VornApplication* app, platform::ModuleHandle host)
    : ExternalLibraryManager(app), hostModule(host ? host : platform::MainProgramModule()) {}

PosixExternalLibraryManager::~PosixExternalLibraryManager() = default;

ExternalLibrary* PosixExternalLibraryManager::CreateLibrary(const char* path) {
    auto* library = new PosixExternalLibrary(owner, path, hostModule);
    if (library->Load(path)) return library;
    // The library's text, empty when the system gave none; never a stale one.
    error.Assign(library->ErrorText());
    delete library;
    return nullptr;
}

} // namespace vorn
