#include "host/base/Crypt.h"

#include <crypt.h>

#include <cstdlib>
#include <cstring>

namespace vorn {

UFCrypt::~UFCrypt() {
    std::free(state);
}

char* UFCrypt::Crypt(const char* key, int32_t keyLength, const char* salt, int32_t* outLength,
                     int32_t* outSize) {
    if (!state) state = static_cast<crypt_data*>(std::calloc(1, sizeof(crypt_data)));
    auto* result = static_cast<char*>(std::calloc(14, 1));
    if (!state || !result) {
        std::free(result);
        return nullptr;
    }
    char keyText[9] = {};
    for (int32_t n = 0; key && n < 8 && (keyLength < 0 || n < keyLength) && key[n]; ++n) keyText[n] = key[n];
    char saltText[3] = {};
    for (int n = 0; salt && n < 2 && salt[n]; ++n) saltText[n] = salt[n];
    // On failure libcrypt answers "*0" or "*1" (or null), never 13 characters.
    const char* hashed = crypt_r(keyText, saltText, state);
    if (hashed && hashed[0] != '*' && std::strlen(hashed) == 13) std::memcpy(result, hashed, 13);
    if (outLength) *outLength = static_cast<int32_t>(std::strlen(result));
    if (outSize) *outSize = 14;
    return result;
}

} // namespace vorn
