// The configuration of a request, read from the registry for every request:
// ISAPIBaseConfig knows the value names and walks the keys of a request path
// from the most specific to "Configuration"; Ladrel builds the path of a web
// request and routes "libraries" and "errorsettings" to the request's library
// managers and tag error table.
#pragma once

#include <cstdint>

#include "engine/foundation/Config.h"
#include "engine/foundation/List.h"
#include "engine/foundation/MallocText.h"
#include "engine/foundation/String.h"
#include "engine/foundation/TagLookup.h"
#include "engine/vm/TagErrors.h"
#include "host/base/ProductSettings.h"
#include "platform/ISAPI.h"

namespace vorn {

class VornApplication;
class ExternalCallManager;
class CommerceLibraryManager;
class ExternalDatabaseLibraryManager;
class SystemLibraryManager;

// The list values of a configuration key beside its items.
inline constexpr const char* kLibrariesValue = "libraries";
inline constexpr const char* kErrorSettingsValue = "errorsettings";

class ISAPIBaseConfig : public Config {
  public:
    ISAPIBaseConfig() = default;
    ~ISAPIBaseConfig() override = default;

    // Reads the values that apply to a registry path below "Configuration"
    // (length -1: up to the NUL; one leading '\' is skipped): the key of the
    // whole path first, then each parent, then "Configuration" itself; each
    // value from the first key that holds it. Missing keys and values leave
    // the defaults. One walk reads one version of the registry.
    virtual void LoadRegistry(const char* path, int32_t length);

    // Where the entries of "libraries" (by kind) and "errorsettings" go.
    virtual int32_t RegisterBuiltinLibrary(const char* path) = 0;
    virtual int32_t RegisterCommerceLibrary(const char* name, const char* path) = 0;
    virtual int32_t RegisterDatabaseLibrary(const char* name, const char* path) = 0;
    virtual int32_t RegisterSystemLibrary(const char* name, const char* path) = 0;
    virtual void SetTagErrorSetting(const char* name, const char* flags) = 0;
};

// Setting bits of the flag words of an "errorsettings" entry: "fatal" and
// "display" count only as whole words (runs of letters), in lower case.
uint32_t TagErrorSettingOf(const char* flags);

class Ladrel : public ISAPIBaseConfig {
  public:
    // Nothing is owned; the managers may be null (their entries are dropped).
    Ladrel(VornApplication* application, const platform::ISAPIControlBlock* controlBlock,
           ExternalCallManager* functionLibraries, CommerceLibraryManager* commerceLibraries,
           ExternalDatabaseLibraryManager* databaseLibraries, SystemLibraryManager* systemLibraries);
    ~Ladrel() override;

    int32_t RegisterBuiltinLibrary(const char* path) override;
    int32_t RegisterCommerceLibrary(const char* name, const char* path) override;
    int32_t RegisterDatabaseLibrary(const char* name, const char* path) override;
    int32_t RegisterSystemLibrary(const char* name, const char* path) override;
    void SetTagErrorSetting(const char* name, const char* flags) override;

    // The registry path of the request: APPL_MD_PATH less its first 10
    // characters (whole when shorter, nothing when absent), then PATH_INFO,
    // with '/' turned into '\'; then LoadRegistry.
    virtual void LoadForRequest();
    // Stores the setting of the tag of that name; unknown names store nothing.
    virtual void SetTagErrorDefault(const char* name, int32_t length, uint32_t value);

    // The request's copy of the tag error table, which every machine of the
    // request copies when it is built.
    const TagErrorTable* TagErrors() const { return &tagErrors; }
    VornApplication* Application() const { return application; }
    ExternalDatabaseLibraryManager* DatabaseLibraryManager() const { return databaseLibraryManager; }

  private:
    VornApplication* application;
    const platform::ISAPIControlBlock* controlBlock;
    ExternalCallManager* functionLibraries;
    CommerceLibraryManager* commerceLibraries;
    ExternalDatabaseLibraryManager* databaseLibraryManager;
    SystemLibraryManager* systemLibraries;
    TagLookup tags;
    TagErrorTable tagErrors;
};

// A server variable's text: the server's own where it lends it for the
// request's life, else a copy of ours (malloc'ed). Null when there is none.
class ServerText {
  public:
    ServerText() = default;
    ServerText(std::nullptr_t) {}
    explicit ServerText(MallocText copy) : owned(std::move(copy)), text(owned.get()) {}
    static ServerText Lent(const char* text) {
        ServerText lent;
        lent.text = text;
        return lent;
    }
    const char* get() const { return text; }
    explicit operator bool() const { return text != nullptr; }
    friend bool operator==(const ServerText& value, std::nullptr_t) { return value.text == nullptr; }

  private:
    MallocText owned;
    const char* text = nullptr;
};

// A server variable of the request, or null when the request has none (or
// no control block was given).
ServerText ReadServerVariable(const platform::ISAPIControlBlock* controlBlock, const char* name);

} // namespace vorn
