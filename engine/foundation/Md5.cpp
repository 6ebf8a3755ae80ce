#include "engine/foundation/Md5.h"

#include <cstring>

namespace vorn {

namespace {

inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadLE(const unsigned char* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void StoreLE(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// floor(abs(sin(i + 1)) * 2^32)
constexpr uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr int kShift[64] = {
    7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
    14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
    4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21,
};

} // namespace

void MD5::Init() {
    a = 0x67452301u;
    b = 0xefcdab89u;
    c = 0x98badcfeu;
    d = 0x10325476u;
    count = 0;
}

void MD5::Transform(const unsigned char block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = LoadLE(block + 4 * i);
    uint32_t aa = a, bb = b, cc = c, dd = d;
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (bb & cc) | (~bb & dd);
            g = i;
        } else if (i < 32) {
            f = (bb & dd) | (cc & ~dd);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = bb ^ cc ^ dd;
            g = (3 * i + 5) & 15;
        } else {
            f = cc ^ (bb | ~dd);
            g = (7 * i) & 15;
        }
        uint32_t t = dd;
        dd = cc;
        cc = bb;
        bb = bb + Rotl(aa + f + kT[i] + x[g], kShift[i]);
        aa = t;
    }
    a += aa;
    b += bb;
    c += cc;
    d += dd;
}

void MD5::Update(const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    count += length;
    for (size_t i = 0; i + 64 <= length; i += 64)
        Transform(p + i);
}

void MD5::Final(const void* data, size_t length, unsigned char out[16]) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    size_t whole = length / 64 * 64;
    for (size_t i = 0; i < whole; i += 64)
        Transform(p + i);
    count += length;

    size_t rest = length - whole;
    unsigned char tail[128] = {};
    if (rest) std::memcpy(tail, p + whole, rest);
    tail[rest] = 0x80;
    size_t blocks = rest >= 56 ? 2 : 1;
    // The count is kept in 64 bits, so messages of 4 GiB and more still get
    // their true bit length.
    uint64_t bits = count * 8;
    StoreLE(tail + blocks * 64 - 8, static_cast<uint32_t>(bits));
    StoreLE(tail + blocks * 64 - 4, static_cast<uint32_t>(bits >> 32));
    for (size_t i = 0; i < blocks; ++i)
        Transform(tail + 64 * i);

    StoreLE(out, a);
    StoreLE(out + 4, b);
    StoreLE(out + 8, c);
    StoreLE(out + 12, d);
}

void MD5::Digest(const void* data, size_t length, unsigned char out[16]) {
    Init();
    Final(data, length, out);
}

void MD5::Hmac(const void* message, size_t messageLength, const void* key, size_t keyLength,
               unsigned char out[16]) {
    unsigned char k[64] = {};
    if (keyLength > 64) {
        MD5().Digest(key, keyLength, k);
    } else if (keyLength) {
        std::memcpy(k, key, keyLength);
    }
    unsigned char pad[64];
    unsigned char inner[16];
    for (int i = 0; i < 64; ++i)
        pad[i] = static_cast<unsigned char>(k[i] ^ 0x36);
    MD5 md;
    md.Update(pad, 64);
    md.Final(message, messageLength, inner);
    for (int i = 0; i < 64; ++i)
        pad[i] = static_cast<unsigned char>(k[i] ^ 0x5c);
    md.Init();
    md.Update(pad, 64);
    md.Final(inner, 16, out);
}

void MD5::ToHex(const unsigned char digest[16], char out[32]) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
}

} // namespace vorn
