// Little-endian reading and writing of compiled-file fields, byte by byte, so
// the layout never depends on the host's byte order or alignment.
#pragma once

#include <cstdint>
#include <cstring>

namespace vorn {

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t GetU64(const uint8_t* p) {
    return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

inline double GetDouble(const uint8_t* p) {
    uint64_t bits = GetU64(p);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void PutU64(uint8_t* p, uint64_t v) {
    PutU32(p, static_cast<uint32_t>(v));
    PutU32(p + 4, static_cast<uint32_t>(v >> 32));
}

inline void PutDouble(uint8_t* p, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    PutU64(p, bits);
}

} // namespace vorn
