// Builds compiled-file bytes by hand, independently of TaggedFile's writer,
// so tests can make files of any shape, damaged ones included.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorn::test {

using Bytes = std::vector<uint8_t>;

inline void U8(Bytes& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void U16(Bytes& b, uint32_t v) {
    U8(b, v);
    U8(b, v >> 8);
}
inline void U32(Bytes& b, uint32_t v) {
    U16(b, v);
    U16(b, v >> 16);
}
inline void Text(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

struct Section {
    std::string tag; // four letters
    Bytes bytes;
};

// Header, the sections one after another from offset 32, then the directory.
inline Bytes Container(const std::vector<Section>& sections, uint32_t version = 0x1000A) {
    Bytes out;
    Text(out, "Vorn");
    U32(out, version);
    for (int i = 0; i < 16; ++i) U8(out, 0);
    U32(out, 0); // directory offset, patched below
    U32(out, static_cast<uint32_t>(sections.size()));
    std::vector<std::pair<uint32_t, uint32_t>> places;
    for (const Section& s : sections) {
        places.emplace_back(static_cast<uint32_t>(out.size()), static_cast<uint32_t>(s.bytes.size()));
        Append(out, s.bytes);
    }
    uint32_t directory = static_cast<uint32_t>(out.size());
    for (size_t i = 0; i < sections.size(); ++i) {
        Text(out, sections[i].tag);
        U32(out, places[i].first);
        U32(out, places[i].second);
    }
    for (int i = 0; i < 4; ++i) out[24 + i] = static_cast<uint8_t>(directory >> (8 * i));
    return out;
}

} // namespace vorn::test
