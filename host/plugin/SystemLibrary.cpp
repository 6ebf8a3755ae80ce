#include "host/plugin/SystemLibrary.h"

#include <cstring>

#include "engine/app/ExternalLibrary.h"
#include "engine/app/VornApplication.h"

namespace vorn {

// --- SystemLibrary -----------------------------------------------------------------------

SystemLibrary::SystemLibrary(const char* libraryName, const char* libraryPath)
    : name(libraryName ? libraryName : ""), path(libraryPath ? libraryPath : "") {}

SystemLibrary::~SystemLibrary() = default;

int32_t SystemLibrary::SetLibrary(ExternalLibrary* loaded) {
    library = loaded;
    return 1;
}

void SystemLibrary::SetError(const String& text) {
    if (!text.IsEmpty()) error.Assign(text);
}

const String& SystemLibrary::ErrorText() {
    return error;
}

void* SystemLibrary::GetFunction(const char* symbol) {
    return library && symbol ? library->GetSymbol(symbol) : nullptr;
}

// --- SystemLibraryManager ------------------------------------------------------------------

SystemLibraryManager::SystemLibraryManager(VornApplication* owner)
    : application(owner), libraries(true, true, 12, HashTable<SystemLibrary>::kGrowth) {}

SystemLibraryManager::~SystemLibraryManager() = default;

int32_t SystemLibraryManager::RegisterLibrary(const char* name, const char* path) {
    libraries.Insert(new SystemLibrary(name, path));
    return 1;
}

SystemLibrary* SystemLibraryManager::Find(const char* name, int32_t length) {
    if (!name) {
        name = "";
        length = 0;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    SystemLibrary* library = libraries.Find(name, length);
    if (!library) {
        String text("System library '");
        text.Append(name, length);
        text.Append("' is not configured");
        SetError(text);
        return nullptr;
    }
    if (library->Library()) return library;

    String reason;
    ExternalLibrary* loaded = LoadConfiguredLibrary(application, library->Path(), "system", reason);
    if (!loaded) {
        SetError(reason);
        return nullptr;
    }
    library->SetLibrary(loaded);
    return library;
}

void SystemLibraryManager::SetError(const String& text) {
    error.Assign(text);
}

const String& SystemLibraryManager::ErrorText() {
    return error;
}

int32_t SystemLibraryManager::ConfiguredLibraryCount() {
    return libraries.Used();
}

const char* SystemLibraryManager::ConfiguredLibraryName(int32_t index, int32_t* length) {
    SystemLibrary* library = libraries.ItemAt(index);
    if (!library) return nullptr;
    if (length) *length = library->Name().Length();
    return library->Name().Text();
}

bool SystemLibraryManager::IsLibraryConfigured(const char* name, int32_t length) {
    return libraries.Find(name, length) != nullptr;
}

} // namespace vorn
