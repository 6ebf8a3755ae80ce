#include "engine/foundation/Hash.h"

namespace vorn {

namespace {

inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a -= b; a -= c; a ^= (c >> 13);
    b -= c; b -= a; b ^= (a << 8);
    c -= a; c -= b; c ^= (b >> 13);
    a -= b; a -= c; a ^= (c >> 12);
    b -= c; b -= a; b ^= (a << 16);
    c -= a; c -= b; c ^= (b >> 5);
    a -= b; a -= c; a ^= (c >> 3);
    b -= c; b -= a; b ^= (a << 10);
    c -= a; c -= b; c ^= (b >> 15);
}

struct Plain {
    static uint32_t At(const unsigned char* k, int i) { return k[i]; }
};
struct Folded {
    static uint32_t At(const unsigned char* k, int i) { return AsciiLower(k[i]); }
};

template <class Read>
uint32_t Lookup2(const unsigned char* k, uint32_t length, uint32_t initval) {
    uint32_t a = 0x9e3779b9u, b = 0x9e3779b9u, c = initval;
    uint32_t len = length;
    while (len >= 12) {
        a += Read::At(k, 0) + (Read::At(k, 1) << 8) + (Read::At(k, 2) << 16) + (Read::At(k, 3) << 24);
        b += Read::At(k, 4) + (Read::At(k, 5) << 8) + (Read::At(k, 6) << 16) + (Read::At(k, 7) << 24);
        c += Read::At(k, 8) + (Read::At(k, 9) << 8) + (Read::At(k, 10) << 16) + (Read::At(k, 11) << 24);
        Mix(a, b, c);
        k += 12;
        len -= 12;
    }
    c += length;
    switch (len) {
    case 11: c += Read::At(k, 10) << 24; [[fallthrough]];
    case 10: c += Read::At(k, 9) << 16; [[fallthrough]];
    case 9: c += Read::At(k, 8) << 8; [[fallthrough]]; // the low byte of c holds the length
    case 8: b += Read::At(k, 7) << 24; [[fallthrough]];
    case 7: b += Read::At(k, 6) << 16; [[fallthrough]];
    case 6: b += Read::At(k, 5) << 8; [[fallthrough]];
    case 5: b += Read::At(k, 4); [[fallthrough]];
    case 4: a += Read::At(k, 3) << 24; [[fallthrough]];
    case 3: a += Read::At(k, 2) << 16; [[fallthrough]];
    case 2: a += Read::At(k, 1) << 8; [[fallthrough]];
    case 1: a += Read::At(k, 0); break;
    default: break;
    }
    Mix(a, b, c);
    return c;
}

} // namespace

uint32_t HashLookup2(const void* bytes, uint32_t length, uint32_t initval) {
    return Lookup2<Plain>(static_cast<const unsigned char*>(bytes), length, initval);
}

uint32_t HashLookup2NoCase(const void* bytes, uint32_t length, uint32_t initval) {
    return Lookup2<Folded>(static_cast<const unsigned char*>(bytes), length, initval);
}

int CompareTextNoCase(const void* a, const void* b, int32_t n) {
    auto pa = static_cast<const unsigned char*>(a);
    auto pb = static_cast<const unsigned char*>(b);
    for (int32_t i = 0; i < n; ++i) {
        int ca = static_cast<signed char>(AsciiLower(pa[i]));
        int cb = static_cast<signed char>(AsciiLower(pb[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return 0;
}

} // namespace vorn
