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

// Integer items.
inline constexpr uint32_t kConfigLogLevel = 0x1000005;
inline constexpr uint32_t kConfigGlobalTimeout = 0x1000007;
inline constexpr uint32_t kConfigMailTimeout = 0x1000008;
inline constexpr uint32_t kConfigCallTimeout = 0x1000009;
inline constexpr uint32_t kConfigFileTimeout = 0x100000a;
inline constexpr uint32_t kConfigFileDelay = 0x100000b;
inline constexpr uint32_t kConfigUseCookies = 0x100000c;
inline constexpr uint32_t kConfigImportBufferSize = 0x100000d;
inline constexpr uint32_t kConfigTemplateBufferSize = 0x100000e;
inline constexpr uint32_t kConfigCallBufferSize = 0x100000f;
inline constexpr uint32_t kConfigSmtpBufferSize = 0x1000010;
inline constexpr uint32_t kConfigContentBufferSize = 0x1000011;
inline constexpr uint32_t kConfigOutputBufferSize = 0x1000012;
inline constexpr uint32_t kConfigMaxFiles = 0x1000013;
inline constexpr uint32_t kConfigLockExpiration = 0x1000014;
inline constexpr uint32_t kConfigSecurityOptions = 0x1000018;
inline constexpr uint32_t kConfigOutputFlushSize = 0x100001d;
inline constexpr uint32_t kConfigMaxDoCache = 0x1000021;
inline constexpr uint32_t kConfigPostTimeout = 0x1000026;
inline constexpr uint32_t kConfigMaxPostVars = 0x1000027;
inline constexpr uint32_t kConfigMaxUnknownContentLength = 0x1000028;
inline constexpr uint32_t kConfigUseSni = 0x1000029;

// Text items.
inline constexpr uint32_t kConfigVornRoot = 0x2000001;
inline constexpr uint32_t kConfigCommerceDir = 0x2000002;
inline constexpr uint32_t kConfigTempDir = 0x2000003;
inline constexpr uint32_t kConfigDataDir = 0x2000004;
inline constexpr uint32_t kConfigLogFile = 0x2000006;
inline constexpr uint32_t kConfigLockHostname = 0x2000015;
inline constexpr uint32_t kConfigCaDir = 0x2000016;
inline constexpr uint32_t kConfigDefaultFile = 0x2000017;
inline constexpr uint32_t kConfigUserDir = 0x2000019;
inline constexpr uint32_t kConfigServerAdmin = 0x200001a;
inline constexpr uint32_t kConfigOpenSslLibrary = 0x200001b;
inline constexpr uint32_t kConfigCryptoLibrary = 0x200001c;
inline constexpr uint32_t kConfigBuiltinDir = 0x200001e;
inline constexpr uint32_t kConfigLogFilter = 0x2000025;
inline constexpr uint32_t kConfigLogCookie = 0x2000028;

// One configuration item: its registry value name (null when the registry
// does not carry it), its member name in the configuration aggregate, and its
// default (an integer item always has one; a text item has none when
// defaultText is null).
struct ConfigItemInfo {
    uint32_t id;
    const char* registryName;
    const char* memberName;
    int32_t defaultInteger;
    const char* defaultText;
};

// Every item, in the order in which the configuration aggregate lists its
// members.
inline constexpr ConfigItemInfo kConfigItems[] = {
    {kConfigVornRoot, "vornroot", "dir_vorn", 0, nullptr},
    {kConfigCommerceDir, "commercedir", "dir_commerce", 0, nullptr},
    {kConfigTempDir, nullptr, "dir_temp", 0, nullptr},
    {kConfigDataDir, "datadir", "dir_data", 0, nullptr},
    {kConfigCaDir, "cadir", "dir_ca", 0, nullptr},
    {kConfigUserDir, nullptr, "dir_user", 0, "public_kpz"},
    {kConfigBuiltinDir, nullptr, "dir_builtin", 0, nullptr},
    {kConfigLogLevel, "loglevel", "log_level", 0, nullptr},
    {kConfigLogFile, "logfile", "log_file", 0, nullptr},
    {kConfigLogFilter, "logfilter", "log_filter", 0, nullptr},
    {kConfigLogCookie, "logcookie", "log_cookie", 0, nullptr},
    {kConfigGlobalTimeout, "globaltimeout", "timeout_global", 90, nullptr},
    {kConfigMailTimeout, "mailtimeout", "timeout_mail", 30, nullptr},
    {kConfigCallTimeout, "calltimeout", "timeout_call", 30, nullptr},
    {kConfigFileTimeout, "filetimeout", "timeout_file", 30, nullptr},
    {kConfigPostTimeout, "posttimeout", "timeout_post", 30, nullptr},
    {kConfigFileDelay, "filedelay", "delay_file", 100, nullptr},
    {kConfigUseCookies, "usecookies", "cookies", 1, nullptr},
    {kConfigImportBufferSize, nullptr, "bufsz_import", 8192, nullptr},
    {kConfigTemplateBufferSize, nullptr, "bufsz_template", 8192, nullptr},
    {kConfigCallBufferSize, nullptr, "bufsz_call", 8192, nullptr},
    {kConfigSmtpBufferSize, nullptr, "bufsz_smtp", 8192, nullptr},
    {kConfigContentBufferSize, nullptr, "bufsz_content", 8192, nullptr},
    {kConfigOutputBufferSize, nullptr, "bufsz_output", 8192, nullptr},
    {kConfigOutputFlushSize, nullptr, "bufsz_output_flush", 0x100000, nullptr},
    {kConfigMaxFiles, "maxfiles", "max_files", 0, nullptr},
    {kConfigMaxDoCache, "maxdocache", "max_docache", 0, nullptr},
    {kConfigMaxPostVars, "maxpostvars", "max_post_vars", 2000, nullptr},
    {kConfigMaxUnknownContentLength, "maxunknowncontentlength", "max_unknown_content_length", 0x100000,
     nullptr},
    {kConfigLockExpiration, "lockexpiration", "lock_expiration", 90, nullptr},
    {kConfigLockHostname, nullptr, "lock_hostname", 0, nullptr},
    {kConfigDefaultFile, nullptr, "default_file", 0, "index.vrc"},
    {kConfigSecurityOptions, "securityoptions", "flags_security", 0, nullptr},
    {kConfigServerAdmin, "serveradmin", "info_serveradmin", 0, "webmaster@localhost"},
    // The OpenSSL 3 runtime names: the bare ".so" names are development links.
    {kConfigOpenSslLibrary, nullptr, "ssl_openssl", 0, "libssl.so.3"},
    {kConfigCryptoLibrary, nullptr, "ssl_crypto", 0, "libcrypto.so.3"},
    {kConfigUseSni, "usesni", "ssl_sni", -1, nullptr},
};
inline constexpr int32_t kConfigItemCount =
    static_cast<int32_t>(sizeof(kConfigItems) / sizeof(kConfigItems[0]));

// The row of an item id, or null for an id that is not an item.
const ConfigItemInfo* FindConfigItem(uint32_t id);

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
