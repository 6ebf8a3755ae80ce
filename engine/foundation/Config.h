// Configuration store: the settings of one application, addressed by numeric
// item ids, with a built-in default for most items.
//
// The high byte of an id gives its type: 0x01xxxxxx integer items,
// 0x02xxxxxx text items.
//
// Text ownership: a text handed in with owned set must come from std::malloc
// (or realloc/calloc); the store frees it with std::free when the value is
// replaced or the store is destroyed. A text handed in without owned must
// outlive the store. Texts must be NUL-terminated at their length, since
// GetText gives only the pointer. When SetText refuses an id (returns 0) the
// caller keeps ownership of its text.
#pragma once

#include "engine/foundation/HashTable.h"

#include <cstdint>

namespace vorn {

inline constexpr uint32_t kConfigIntegerItem = 0x01000000u;
inline constexpr uint32_t kConfigTextItem = 0x02000000u;

inline constexpr bool IsConfigIntegerItem(uint32_t id) { return (id & kConfigIntegerItem) != 0; }
inline constexpr bool IsConfigTextItem(uint32_t id) { return (id & kConfigTextItem) != 0; }

// Every item, in the order in which the configuration aggregate lists its
// members: X(name, id, registry value name (null when the registry does not
// carry it), member name in the aggregate, integer default, text default).
// An integer item always has its default; a text item has none when its
// text default is null. The item's constant is kConfig<name>. The OpenSSL
// defaults are the OpenSSL 3 runtime names: the bare ".so" names are
// development links.
#define VORN_CONFIG_ITEMS(X)                                                                                 \
    X(VornRoot, 0x2000001, "vornroot", "dir_vorn", 0, nullptr)                                               \
    X(CommerceDir, 0x2000002, "commercedir", "dir_commerce", 0, nullptr)                                     \
    X(TempDir, 0x2000003, nullptr, "dir_temp", 0, nullptr)                                                   \
    X(DataDir, 0x2000004, "datadir", "dir_data", 0, nullptr)                                                 \
    X(CaDir, 0x2000016, "cadir", "dir_ca", 0, nullptr)                                                       \
    X(UserDir, 0x2000019, nullptr, "dir_user", 0, "public_kpz")                                              \
    X(BuiltinDir, 0x200001e, nullptr, "dir_builtin", 0, nullptr)                                             \
    X(LogLevel, 0x1000005, "loglevel", "log_level", 0, nullptr)                                              \
    X(LogFile, 0x2000006, "logfile", "log_file", 0, nullptr)                                                 \
    X(LogFilter, 0x2000025, "logfilter", "log_filter", 0, nullptr)                                           \
    X(LogCookie, 0x2000028, "logcookie", "log_cookie", 0, nullptr)                                           \
    X(GlobalTimeout, 0x1000007, "globaltimeout", "timeout_global", 90, nullptr)                              \
    X(MailTimeout, 0x1000008, "mailtimeout", "timeout_mail", 30, nullptr)                                    \
    X(CallTimeout, 0x1000009, "calltimeout", "timeout_call", 30, nullptr)                                    \
    X(FileTimeout, 0x100000a, "filetimeout", "timeout_file", 30, nullptr)                                    \
    X(PostTimeout, 0x1000026, "posttimeout", "timeout_post", 30, nullptr)                                    \
    X(FileDelay, 0x100000b, "filedelay", "delay_file", 100, nullptr)                                         \
    X(UseCookies, 0x100000c, "usecookies", "cookies", 1, nullptr)                                            \
    X(ImportBufferSize, 0x100000d, nullptr, "bufsz_import", 8192, nullptr)                                   \
    X(TemplateBufferSize, 0x100000e, nullptr, "bufsz_template", 8192, nullptr)                               \
    X(CallBufferSize, 0x100000f, nullptr, "bufsz_call", 8192, nullptr)                                       \
    X(SmtpBufferSize, 0x1000010, nullptr, "bufsz_smtp", 8192, nullptr)                                       \
    X(ContentBufferSize, 0x1000011, nullptr, "bufsz_content", 8192, nullptr)                                 \
    X(OutputBufferSize, 0x1000012, nullptr, "bufsz_output", 8192, nullptr)                                   \
    X(OutputFlushSize, 0x100001d, nullptr, "bufsz_output_flush", 0x100000, nullptr)                          \
    X(MaxFiles, 0x1000013, "maxfiles", "max_files", 0, nullptr)                                              \
    X(MaxDoCache, 0x1000021, "maxdocache", "max_docache", 0, nullptr)                                        \
    X(MaxPostVars, 0x1000027, "maxpostvars", "max_post_vars", 2000, nullptr)                                 \
    X(MaxUnknownContentLength, 0x1000028, "maxunknowncontentlength", "max_unknown_content_length", 0x100000, \
      nullptr)                                                                                               \
    X(LockExpiration, 0x1000014, "lockexpiration", "lock_expiration", 90, nullptr)                           \
    X(LockHostname, 0x2000015, nullptr, "lock_hostname", 0, nullptr)                                         \
    X(DefaultFile, 0x2000017, nullptr, "default_file", 0, "index.vrc")                                       \
    X(SecurityOptions, 0x1000018, "securityoptions", "flags_security", 0, nullptr)                           \
    X(ServerAdmin, 0x200001a, "serveradmin", "info_serveradmin", 0, "webmaster@localhost")                   \
    X(OpenSslLibrary, 0x200001b, nullptr, "ssl_openssl", 0, "libssl.so.3")                                   \
    X(CryptoLibrary, 0x200001c, nullptr, "ssl_crypto", 0, "libcrypto.so.3")                                  \
    X(UseSni, 0x1000029, "usesni", "ssl_sni", -1, nullptr)

#define VORN_CONFIG_CONSTANT(name, id, ...) inline constexpr uint32_t kConfig##name = id;
VORN_CONFIG_ITEMS(VORN_CONFIG_CONSTANT)
#undef VORN_CONFIG_CONSTANT

// One configuration item, as VORN_CONFIG_ITEMS gives it.
struct ConfigItemInfo {
    uint32_t id;
    const char* registryName;
    const char* memberName;
    int32_t defaultInteger;
    const char* defaultText;
};

#define VORN_CONFIG_ROW(name, id, registry, member, integer, text) {id, registry, member, integer, text},
inline constexpr ConfigItemInfo kConfigItems[] = {VORN_CONFIG_ITEMS(VORN_CONFIG_ROW)};
#undef VORN_CONFIG_ROW
inline constexpr int32_t kConfigItemCount =
    static_cast<int32_t>(sizeof(kConfigItems) / sizeof(kConfigItems[0]));

namespace config_detail {
constexpr bool SameText(const char* a, const char* b) {
    if (!a || !b) return a == b;
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
// Each item of one type, and no id, registry name or member name twice.
constexpr bool ItemsWellFormed() {
    for (int32_t i = 0; i < kConfigItemCount; ++i) {
        const ConfigItemInfo& a = kConfigItems[i];
        if (IsConfigIntegerItem(a.id) == IsConfigTextItem(a.id) || !a.memberName) return false;
        if (IsConfigIntegerItem(a.id) && a.defaultText) return false;
        for (int32_t j = 0; j < i; ++j) {
            const ConfigItemInfo& b = kConfigItems[j];
            if (a.id == b.id || SameText(a.memberName, b.memberName) ||
                (a.registryName && SameText(a.registryName, b.registryName)))
                return false;
        }
    }
    return true;
}
} // namespace config_detail
static_assert(config_detail::ItemsWellFormed(),
              "configuration items: one type each, and no id, registry name or member name twice");

// The row of an item id, or null for an id that is not an item.
constexpr const ConfigItemInfo* FindConfigItem(uint32_t id) {
    for (const ConfigItemInfo& info : kConfigItems)
        if (info.id == id) return &info;
    return nullptr;
}

// The registry value name of an item, or null when the registry does not
// carry it (or the id is no item).
constexpr const char* ConfigRegistryName(uint32_t id) {
    for (const ConfigItemInfo& info : kConfigItems)
        if (info.id == id) return info.registryName;
    return nullptr;
}

// One stored setting. An integer value has no text; a text value has integer 0.
class ConfigValue {
public:
    ConfigValue(uint32_t id, int32_t integer);
    // length -1 means up to the NUL; owned texts are freed with std::free.
    ConfigValue(uint32_t id, const char* text, int32_t length, bool owned);
    ConfigValue(const ConfigValue&) = delete;
    ConfigValue& operator=(const ConfigValue&) = delete;
    virtual ~ConfigValue();

    uint32_t Id() const { return id_; }
    const char* Text() const { return text_; }
    int32_t Length() const { return length_; }
    bool Owned() const { return owned_; }
    int32_t Integer() const { return integer_; }

    // The id as four little-endian bytes: the value's hash-table key.
    const char* KeyBytes() const { return reinterpret_cast<const char*>(key_); }

private:
    friend class Config;

    uint32_t id_;
    const char* text_ = nullptr;
    int32_t length_ = 0;
    bool owned_ = false;
    int32_t integer_ = 0;
    unsigned char key_[4];
};

template <>
struct HashTableKey<ConfigValue> {
    static HashKeyView Of(const ConfigValue* v) { return {v->KeyBytes(), 4}; }
};

// Values keyed by item id: hashed over the id's little-endian bytes (with the
// case-insensitive hash, as the table is built case-insensitive), chains
// ordered by the id as a signed integer.
class ConfigValueTable : public HashTable<ConfigValue> {
public:
    ConfigValueTable() : HashTable<ConfigValue>(true, true, 12, kGrowth) {}

    int CompareKey(const ConfigValue* item, const char* key, int32_t length) const override;
    int CompareItems(const ConfigValue* a, const ConfigValue* b) const override;

    ConfigValue* FindId(uint32_t id) const;
    ConfigValue* RemoveId(uint32_t id);
};

class Config {
public:
    Config() = default;
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;
    virtual ~Config() = default;

    // -1 for a non-integer id or an item without a value or default. A
    // default, once read, is stored.
    virtual int32_t GetInteger(uint32_t id);
    // Null for a non-text id or an item without a value or default.
    virtual const char* GetText(uint32_t id);
    // 1, or 0 (nothing changed) when the id is not a text item. Replaces and
    // deletes any stored value of that id.
    virtual int SetText(uint32_t id, const char* text, int32_t length, bool owned);
    // 1, or 0 (nothing changed) when the id is not an integer item.
    virtual int SetInteger(uint32_t id, int32_t value);
    // A new value holding the item's default, or null when it has none.
    virtual ConfigValue* DefaultValue(uint32_t id);

protected:
    // The stored value, or the default (then stored), or null.
    ConfigValue* Lookup(uint32_t id);

    ConfigValueTable values_;
};

} // namespace vorn
