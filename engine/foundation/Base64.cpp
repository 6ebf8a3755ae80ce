#include "engine/foundation/Base64.h"

#include <cstdint>

namespace vorn {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every character outside the alphabet, '=' included, decodes as 0.
struct DecodeTable {
    uint8_t value[256] = {};
    constexpr DecodeTable() {
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
    }
};
constexpr DecodeTable kDecode;

} // namespace

size_t Base64Encode(const void* source, size_t length, char* out) {
    const unsigned char* s = static_cast<const unsigned char*>(source);
    char* o = out;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t{s[i]} << 16) | (uint32_t{s[i + 1]} << 8) | s[i + 2];
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    size_t rest = length - i;
    if (rest == 1) {
        uint32_t v = uint32_t{s[i]} << 16;
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (rest == 2) {
        uint32_t v = (uint32_t{s[i]} << 16) | (uint32_t{s[i + 1]} << 8);
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return static_cast<size_t>(o - out);
}

size_t Base64Decode(const char* source, size_t length, void* out) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(source);
    unsigned char* o = static_cast<unsigned char*>(out);
    size_t written = 0;
    for (size_t i = 0; i + 4 <= length; i += 4) {
        uint32_t v = (uint32_t{kDecode.value[s[i]]} << 18) | (uint32_t{kDecode.value[s[i + 1]]} << 12) |
                     (uint32_t{kDecode.value[s[i + 2]]} << 6) | kDecode.value[s[i + 3]];
        o[written++] = static_cast<unsigned char>(v >> 16);
        if (s[i + 2] != '=') o[written++] = static_cast<unsigned char>(v >> 8);
        if (s[i + 3] != '=') o[written++] = static_cast<unsigned char>(v);
    }
    return written;
}

} // namespace vorn
