// The traditional DES-based crypt: a key of at most 8 characters and a
// 2-character salt give 13 characters.
#pragma once

#include <cstdint>

struct crypt_data;

namespace vorn {

// libcrypt's state for one thread's crypt calls, made on first use.
class UFCrypt {
  public:
    UFCrypt() = default;
    ~UFCrypt();
    UFCrypt(const UFCrypt&) = delete;
    UFCrypt& operator=(const UFCrypt&) = delete;

    // A new malloc'ed 14-byte buffer with the 13-character result and a NUL;
    // the key ends at 8 characters, keyLength (-1: none) or a NUL, whichever
    // comes first. A salt that libcrypt refuses gives an empty text (length
    // 0). The out length and size (14) are set when given. Null only when
    // memory runs out.
    char* Crypt(const char* key, int32_t keyLength, const char* salt, int32_t* outLength, int32_t* outSize);

  private:
    crypt_data* state = nullptr;
};

} // namespace vorn
