// The configuration handle of the host interface: a configuration store that
// also carries the request's four library managers, the variables to preset
// in the global and system scopes, and the tag-error settings. Whoever makes
// one hands it to a library, which fills it through the vrConfig functions.
#pragma once

#include <cstdint>

#include "engine/foundation/Config.h"
#include "engine/values/VariableList.h"

namespace vorn {

class CommerceLibraryManager;
class ExternalCallManager;
class ExternalDatabaseLibraryManager;
class SystemLibraryManager;
struct TagErrorTable;

class ExternalConfig : public Config {
  public:
    // None of the managers or the table is owned; any may be null (then its
    // registrations or settings are refused).
    ExternalConfig(ExternalCallManager* builtins, CommerceLibraryManager* commerce,
                   ExternalDatabaseLibraryManager* databases, SystemLibraryManager* systems,
                   TagErrorTable* tagErrors);
    ~ExternalConfig() override;
    ExternalConfig(const ExternalConfig&) = delete;
    ExternalConfig& operator=(const ExternalConfig&) = delete;

    // Registrations by kind (NUL-terminated texts): the manager's result, 0
    // without a manager.
    virtual int32_t RegisterBuiltinLibrary(const char* path);
    virtual int32_t RegisterCommerceLibrary(const char* method, const char* path);
    virtual int32_t RegisterDatabaseLibrary(const char* type, const char* path);
    virtual int32_t RegisterSystemLibrary(const char* name, const char* path);

    // The presets, in the order they were set.
    VariableList& GlobalPresets() { return globals; }
    VariableList& SystemPresets() { return systems_; }
    TagErrorTable* TagErrors() const { return tagErrors; }
    ExternalDatabaseLibraryManager* DatabaseLibraries() const { return databases; }

  private:
    ExternalCallManager* builtins;
    CommerceLibraryManager* commerce;
    ExternalDatabaseLibraryManager* databases;
    SystemLibraryManager* systems;
    TagErrorTable* tagErrors;
    VariableList globals;
    VariableList systems_;
};

} // namespace vorn
