#include "engine/app/ExternalLibrary.h"

#include "engine/app/VornApplication.h"

namespace vorn {

ExternalLibrary::ExternalLibrary(VornApplication* app, const char* libraryPath)
    : application(app), path(libraryPath) {}

ExternalLibrary::~ExternalLibrary() = default;

void ExternalLibrary::SetError(const String& text) {
    if (!text.IsNull()) error.Assign(text);
}

void ExternalLibrary::SetError(const char* text) {
    if (text) error.Assign(text);
}

ExternalLibraryManager::ExternalLibraryManager(VornApplication* app)
    : owner(app), libraries(true, false, 12, HashTable<ExternalLibrary>::kGrowth) {}

ExternalLibraryManager::~ExternalLibraryManager() = default;

ExternalLibrary* ExternalLibraryManager::Load(const char* path) {
    if (!path || !path[0]) {
        error.Assign("No library path given");
        return nullptr;
    }
    if (ExternalLibrary* cached = libraries.Find(path, -1)) return cached;
    ExternalLibrary* library = CreateLibrary(path);
    if (!library) return nullptr;
    libraries.Insert(library);
    return library;
}

int32_t ExternalLibraryManager::LibraryCount() const {
    int32_t n = 0;
    for (int32_t slot = 0; slot < libraries.Used(); ++slot)
        if (libraries.ItemAt(slot)) ++n;
    return n;
}

ExternalLibrary* LoadConfiguredLibrary(VornApplication* application, const String& path, const char* kind,
                                       String& error) {
    ExternalLibraryManager* loader = application ? application->GetExternalLibraryManager() : nullptr;
    ExternalLibrary* loaded = loader ? loader->Load(path.Text()) : nullptr;
    if (loaded) return loaded;
    if (loader && !loader->ErrorText().IsEmpty()) {
        error = loader->ErrorText();
    } else {
        error.Assign("Unable to load ");
        error.Append(kind);
        error.Append(" library '");
        error.AppendString(path);
        error.Append("'");
    }
    return nullptr;
}

} // namespace vorn
