// The product's registry key: the settings of the whole process read from it,
// and the readers of registry values that the request configuration shares.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/foundation/String.h"
#include "platform/Registry.h"

namespace vorn {

// Under the local machine key.
inline constexpr const char* kProductKey = "SOFTWARE\\Vorn\\Vorn Tevrona NT";
inline constexpr const char* kConfigurationKey = "SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration";
// The product key's value of the worker count.
inline constexpr const char* kThreadsValue = "Threads";

// Settings of the whole process, from the product key: the number of request
// workers ("Threads": 0 or missing gives 2, above 100 gives 100) and the
// OpenSSL library files (named as the configuration aggregate names items
// 0x200001b and 0x200001c, "ssl_openssl" and "ssl_crypto"; missing or empty:
// those items' defaults).
struct ProductSettings {
    int32_t threads = 2;
    String sslLibrary;
    String cryptoLibrary;
};
void ReadProductSettings(ProductSettings& settings);

// A value's type and bytes as a malloc'ed buffer with a NUL after them, or
// null when the value is missing or cannot be read.
char* QueryRegistryValue(platform::RegistryKey key, const char* name, uint32_t* type, size_t* size);
// A text value: its length less the NUL, never negative. Null when the value
// is missing, unreadable or not a text.
char* ReadRegistryText(platform::RegistryKey key, const char* name, int32_t* length);
// A number stored as one, or as a decimal text; any other type is not read.
bool ReadRegistryNumber(platform::RegistryKey key, const char* name, int32_t* value);

} // namespace vorn
