// Hashing and case-insensitive comparison shared by every keyed container.
#pragma once

#include <cstdint>

namespace vorn {

// Letter case is folded for A-Z only. Bytes 0x80-0xFF are taken as unsigned
// and never change, whatever the process locale says, so hashes and chain
// orders stored in compiled files do not depend on the machine.
inline constexpr unsigned char AsciiLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}
inline constexpr unsigned char AsciiUpper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}
// White space and digits as the C locale sees them, for any byte value.
inline constexpr bool AsciiIsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline constexpr bool AsciiIsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Bob Jenkins' lookup2 hash, unchanged.
uint32_t HashLookup2(const void* bytes, uint32_t length, uint32_t initval);
// The same hash over the bytes folded to lower case one by one.
uint32_t HashLookup2NoCase(const void* bytes, uint32_t length, uint32_t initval);

// Compares n bytes after folding case. Bytes are taken as signed, so
// 0x80-0xFF sort below every ASCII byte; compiled function tables store their
// chains in this order. Returns -1, 0 or 1.
int CompareTextNoCase(const void* a, const void* b, int32_t n);

} // namespace vorn
