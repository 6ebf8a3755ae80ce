#include "host/base/ProductSettings.h"

#include <cstdlib>
#include <cstring>

#include "engine/foundation/Config.h"

namespace vorn {

using platform::RegistryKey;

namespace {

// A whole decimal text, optionally signed, as a 32-bit word (texts up to
// 4294967295 wrap, as a stored number would).
bool DecimalText(const char* text, int32_t* value) {
    const char* p = text;
    bool negative = *p == '-';
    if (negative) ++p;
    if (!*p) return false;
    uint64_t n = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > (negative ? 0x80000000ull : 0xffffffffull)) return false;
    }
    uint32_t word = negative ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    *value = static_cast<int32_t>(word);
    return true;
}

} // namespace

char* QueryRegistryValue(RegistryKey key, const char* name, uint32_t* type, size_t* size) {
    *size = 0;
    if (!platform::RegistryQueryValue(key, name, type, nullptr, size)) return nullptr;
    // The value may have grown since it was sized only if the key's version
    // changed, which it cannot: a key keeps the version it was opened on.
    auto* buffer = static_cast<char*>(std::malloc(*size + 1));
    if (!buffer) return nullptr;
    if (!platform::RegistryQueryValue(key, name, type, buffer, size)) {
        std::free(buffer);
        return nullptr;
    }
    buffer[*size] = '\0';
    return buffer;
}

char* ReadRegistryText(RegistryKey key, const char* name, int32_t* length) {
    uint32_t type = 0;
    size_t size = 0;
    char* text = QueryRegistryValue(key, name, &type, &size);
    if (text && (type != platform::kRegistryString || size > static_cast<size_t>(INT32_MAX))) {
        std::free(text);
        return nullptr;
    }
    if (text) *length = static_cast<int32_t>(std::strlen(text));
    return text;
}

bool ReadRegistryNumber(RegistryKey key, const char* name, int32_t* value) {
    uint32_t type = 0;
    size_t size = 0;
    char* bytes = QueryRegistryValue(key, name, &type, &size);
    if (!bytes) return false;
    bool ok = false;
    if (type == platform::kRegistryNumber && size == 4) {
        auto* b = reinterpret_cast<unsigned char*>(bytes);
        uint32_t word = b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
        *value = static_cast<int32_t>(word);
        ok = true;
    } else if (type == platform::kRegistryString) {
        ok = DecimalText(bytes, value);
    }
    std::free(bytes);
    return ok;
}

void ReadProductSettings(ProductSettings& settings) {
    settings.threads = 2;
    constexpr const ConfigItemInfo* ssl = FindConfigItem(kConfigOpenSslLibrary);
    constexpr const ConfigItemInfo* crypto = FindConfigItem(kConfigCryptoLibrary);
    settings.sslLibrary.Assign(ssl->defaultText);
    settings.cryptoLibrary.Assign(crypto->defaultText);
    RegistryKey product = nullptr;
    if (!platform::RegistryOpenKey(platform::LocalMachineKey(), kProductKey, &product)) return;
    int32_t threads = 0;
    if (ReadRegistryNumber(product, kThreadsValue, &threads) && threads != 0) {
        uint32_t count = static_cast<uint32_t>(threads); // a negative count is a huge one
        settings.threads = count > 100 ? 100 : static_cast<int32_t>(count);
    }
    int32_t length = 0;
    if (char* name = ReadRegistryText(product, ssl->memberName, &length)) {
        if (length > 0) settings.sslLibrary.Assign(name, length);
        std::free(name);
    }
    if (char* name = ReadRegistryText(product, crypto->memberName, &length)) {
        if (length > 0) settings.cryptoLibrary.Assign(name, length);
        std::free(name);
    }
    platform::RegistryCloseKey(product);
}

} // namespace vorn
