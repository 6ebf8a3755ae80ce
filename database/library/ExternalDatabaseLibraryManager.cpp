#include "database/library/ExternalDatabaseLibraryManager.h"

#include <cstring>

#include "database/library/ExternalDatabase.h"
#include "database/xbase3/XBaseDatabase.h"
#include "engine/app/ExternalLibrary.h"
#include "engine/foundation/Messages.h"

namespace vorn {

inline constexpr char kNoDescriptor[] = "Unable to retrieve database descriptor table";

ExternalDatabaseLibrary::ExternalDatabaseLibrary(const char* typeName, const char* libraryPath)
    : type(typeName ? typeName : ""), path(libraryPath ? libraryPath : "") {}

ExternalDatabaseLibraryManager::ExternalDatabaseLibraryManager(VornApplication* owner)
    : application(owner), libraries(true, true, 12, HashTable<ExternalDatabaseLibrary>::kGrowth) {
    error.Assign("");
}

ExternalDatabaseLibraryManager::~ExternalDatabaseLibraryManager() = default;

int32_t ExternalDatabaseLibraryManager::RegisterLibrary(const char* type, const char* path) {
    // Equal keys keep their order in the table, so the first one registered
    // is the one a lookup finds.
    libraries.Insert(new ExternalDatabaseLibrary(type, path));
    return 1;
}

DatabaseLibraryDescriptor* ExternalDatabaseLibraryManager::Descriptor(const char* type, int32_t length) {
    if (!type) {
        type = "";
        length = 0;
    }
    if (length < 0) length = static_cast<int32_t>(std::strlen(type));
    ExternalDatabaseLibrary* library = libraries.Find(type, length);
    if (!library) {
        error = String(kDatabaseType) + String(type, length) + kNotConfigured;
        return nullptr;
    }
    if (library->Descriptor()) return library->Descriptor();

    ExternalLibrary* loaded = LoadConfiguredLibrary(application, library->Path(), "database", error);
    if (!loaded) return nullptr;
    auto table =
        reinterpret_cast<vorn_database_library_export>(loaded->GetSymbol(VORN_DATABASE_LIBRARY_EXPORT));
    if (!table) {
        error = loaded->ErrorText();
        return nullptr;
    }
    DatabaseLibraryDescriptor* descriptor = table();
    if (!descriptor) {
        error.Assign(kNoDescriptor);
        return nullptr;
    }
    library->SetDescriptor(descriptor);
    return descriptor;
}

Database* ExternalDatabaseLibraryManager::NewDatabase(VornApplication* app, VornVM* program, const char* type,
                                                      int32_t typeLength, const DatabaseText& name,
                                                      String* reason) {
    DatabaseLibraryDescriptor* descriptor = Descriptor(type, typeLength);
    if (!descriptor) {
        if (reason) reason->Assign(error);
        return nullptr;
    }
    return new ExternalDatabase(app, program, descriptor, name.text, name.length, name.size, name.adopt);
}

int32_t ExternalDatabaseLibraryManager::ConfiguredLibraryCount() {
    return libraries.Used();
}

const char* ExternalDatabaseLibraryManager::ConfiguredLibraryName(int32_t index, int32_t* length) {
    ExternalDatabaseLibrary* library = libraries.ItemAt(index);
    if (!library) return nullptr;
    if (length) *length = library->Type().Length();
    return library->Type().Text();
}

bool ExternalDatabaseLibraryManager::IsLibraryConfigured(const char* name, int32_t length) {
    return libraries.Find(name, length) != nullptr;
}

Database* ExternalDatabaseLibraryManager::NewXBaseDatabase(VornApplication* owner, VornVM* program,
                                                          const DatabaseText& name) {
    return new XBaseDatabase(owner, program, name);
}

} // namespace vorn
