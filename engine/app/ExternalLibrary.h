// Plug-in libraries of one request: a loaded library file, and the manager that
// loads each file once per request and keeps it until the request ends.
#pragma once

#include <cstdint>

#include "engine/foundation/HashTable.h"
#include "engine/foundation/String.h"

namespace vorn {

class VornApplication;

// One loaded library file. Subclasses do the platform's loading.
class ExternalLibrary {
  public:
    // Keeps the application (not owned) and copies the NUL-terminated path.
    ExternalLibrary(VornApplication* application, const char* path);
    virtual ~ExternalLibrary();
    ExternalLibrary(const ExternalLibrary&) = delete;
    ExternalLibrary& operator=(const ExternalLibrary&) = delete;

    // Loads the file and hands it the host's module; 1, or 0 with the error set.
    virtual int32_t Load(const char* path) = 0;
    // The address of an export; null with the error set to
    // "Unknown symbol '<name>': <system text>" when it is missing.
    virtual void* GetSymbol(const char* name) = 0;

    const String& Path() const { return path; }
    // The key of the manager's table.
    const String& Name() const { return path; }
    const String& ErrorText() const { return error; }
    // A string whose text is null leaves the error as it is.
    void SetError(const String& text);
    void SetError(const char* text);

  protected:
    VornApplication* application;
    String path;
    String error;
};

// The libraries of one request, by path. A library that failed to load is
// never kept, so asking again tries the file again.
class ExternalLibraryManager {
  public:
    explicit ExternalLibraryManager(VornApplication* owner);
    // Deletes every library, which frees its module.
    virtual ~ExternalLibraryManager();
    ExternalLibraryManager(const ExternalLibraryManager&) = delete;
    ExternalLibraryManager& operator=(const ExternalLibraryManager&) = delete;

    // The library of that path (NUL-terminated), loading it on first use;
    // null with the reason in ErrorText() when it cannot be loaded.
    virtual ExternalLibrary* Load(const char* path);
    // A new, loaded library of the platform's kind, or null with the error set.
    virtual ExternalLibrary* CreateLibrary(const char* path) = 0;

    const String& ErrorText() const { return error; }
    void SetError(const String& text) { error.Assign(text); }
    VornApplication* Owner() const { return owner; }
    // Number of libraries loaded so far.
    int32_t LibraryCount() const;

  protected:
    VornApplication* owner;
    String error;
    // Owning. Keys compare case-sensitively: on this file system paths that
    // differ in letter case name different files.
    HashTable<ExternalLibrary> libraries;
};

// Loads a configured library through the request's loader. On failure the
// error is the loader's reason, or "Unable to load <kind> library '<path>'"
// when the system gives none.
ExternalLibrary* LoadConfiguredLibrary(VornApplication* application, const String& path, const char* kind,
                                       String& error);

} // namespace vorn
