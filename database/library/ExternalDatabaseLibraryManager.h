// The database libraries of one request: one library per database type, as
// the configuration registers them. A library is loaded, and its descriptor
// fetched, the first time a script opens or creates a database of its type.
#pragma once

#include <cstdint>

#include "database/library/DatabaseLibrary.h"
#include "engine/app/ConfiguredLibraries.h"
#include "engine/foundation/HashTable.h"
#include "engine/foundation/String.h"
#include "engine/vm/DatabaseLibrarySource.h"

namespace vorn {

class VornApplication;

// One configured library: its type, its file and, once loaded, its table.
class ExternalDatabaseLibrary {
  public:
    // Copies both texts (null counts as empty).
    ExternalDatabaseLibrary(const char* type, const char* path);
    ExternalDatabaseLibrary(const ExternalDatabaseLibrary&) = delete;
    ExternalDatabaseLibrary& operator=(const ExternalDatabaseLibrary&) = delete;

    const String& Type() const { return type; }
    const String& Path() const { return path; }
    // The key of the manager's table.
    const String& Name() const { return type; }
    DatabaseLibraryDescriptor* Descriptor() const { return descriptor; }
    void SetDescriptor(DatabaseLibraryDescriptor* table) { descriptor = table; }

  private:
    String type;
    String path;
    DatabaseLibraryDescriptor* descriptor = nullptr;
};

class ExternalDatabaseLibraryManager : public DatabaseLibrarySource, public ConfiguredLibraries {
  public:
    // The application's loader loads the library files (and keeps them).
    explicit ExternalDatabaseLibraryManager(VornApplication* application);
    ~ExternalDatabaseLibraryManager() override;
    ExternalDatabaseLibraryManager(const ExternalDatabaseLibraryManager&) = delete;
    ExternalDatabaseLibraryManager& operator=(const ExternalDatabaseLibraryManager&) = delete;

    // Records the library of a type (NUL-terminated texts); nothing is
    // loaded. A later registration of the same type (in any case) is kept but
    // never found. Always 1.
    virtual int32_t RegisterLibrary(const char* type, const char* path);
    // The descriptor of the type (any case; length -1: up to the NUL), loading
    // the library on first use; null with ErrorText() set. A library that
    // gave no table is asked again next time.
    virtual DatabaseLibraryDescriptor* Descriptor(const char* type, int32_t length);
    const String& ErrorText() const { return error; }

    // DatabaseLibrarySource: an ExternalDatabase over the type's descriptor.
    Database* NewDatabase(VornApplication* application, VornVM* program, const char* type, int32_t typeLength,
                          const DatabaseText& name, String* error) override;

    // DatabaseLibrarySource: the built-in "xbase3" driver's database, which
    // needs no library.
    Database* NewXBaseDatabase(VornApplication* application, VornVM* program,
                               const DatabaseText& name) override;

    // ConfiguredLibraries: the types in registration order.
    int32_t ConfiguredLibraryCount() override;
    const char* ConfiguredLibraryName(int32_t index, int32_t* length) override;
    bool IsLibraryConfigured(const char* name, int32_t length) override;

  private:
    VornApplication* application;
    HashTable<ExternalDatabaseLibrary> libraries;
    String error;
};

} // namespace vorn
