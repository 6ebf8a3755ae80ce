// MD5 digest (RFC 1321), HMAC-MD5 (RFC 2104) and hexadecimal rendering.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

class MD5 {
  public:
    MD5() { Init(); }

    void Init();
    // Transforms the whole 64-byte blocks of data; there is no partial-block
    // buffer, so length should be a multiple of 64 (the remainder is dropped).
    void Update(const void* data, size_t length);
    // Transforms data, pads, and writes the 16-byte digest.
    void Final(const void* data, size_t length, unsigned char out[16]);
    // Init, then Final.
    void Digest(const void* data, size_t length, unsigned char out[16]);

    static void Hmac(const void* message, size_t messageLength, const void* key, size_t keyLength,
                     unsigned char out[16]);
    // 32 lowercase hex digits, high nibble first; no terminator.
    static void ToHex(const unsigned char digest[16], char out[32]);

  private:
    void Transform(const unsigned char block[64]);

    uint32_t a = 0, b = 0, c = 0, d = 0;
    uint64_t count = 0; // bytes fed so far
};

} // namespace vorn
