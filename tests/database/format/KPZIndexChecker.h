// The index checker of the xBase and SQL tests: a key order written apart
// from the code, and a walk of an index file's bytes that checks the tree.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "database/format/KPZIndexKeys.h"
#include "engine/foundation/LittleEndian.h"

namespace vorn::test {

// The key order, from the rules alone: numbers when both keys read as decimal
// numbers (a C-locale grammar, overflow being text), bytes otherwise, prefix
// matching for inexact searches, reversed for descending indexes.
inline bool OracleNumber(const std::string& text, double* value) {
    if (text.empty()) {
        *value = 0.0;
        return true;
    }
    static const std::regex grammar(R"(^[ \t\n\v\f\r]*[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$)");
    if (!std::regex_match(text, grammar)) return false;
    errno = 0;
    double v = std::strtod(text.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(v)) return false;
    *value = v;
    return true;
}

inline int OracleCompare(const std::string& a, const std::string& b, uint32_t flags) {
    int result;
    double x, y;
    if (!(flags & kIndexString) && OracleNumber(a, &x) && OracleNumber(b, &y))
        result = x < y ? -1 : x > y ? 1 : 0;
    else
        result = a < b ? -1 : a > b ? 1 : 0; // std::string compares bytes unsigned
    return (flags & kIndexDescending) ? -result : result;
}

struct IndexEntry {
    std::string key;
    int32_t record;
    bool operator<(const IndexEntry& o) const { return key != o.key ? key < o.key : record < o.record; }
    bool operator==(const IndexEntry& o) const { return key == o.key && record == o.record; }
};

// Walks an index file's bytes from the root: every page reached once, the
// leaves at one depth, counts within the maximum and, below the root, the
// minimum, and every entry in order after the one before it. The entries in
// tree order, or a failure message.
inline ::testing::AssertionResult CheckIndex(const std::string& bytes, std::vector<IndexEntry>* out) {
    auto u32 = [&](size_t at) { return GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + at); };
    auto u16 = [&](size_t at) { return GetU16(reinterpret_cast<const uint8_t*>(bytes.data()) + at); };
    if (bytes.size() < 427 || bytes.compare(0, 4, "KPZI") != 0)
        return ::testing::AssertionFailure() << "header";
    uint32_t pages = u32(9), root = u32(13), flags = u32(23);
    size_t maxEntries = u16(17), pageSize = u16(19), entrySize = u16(21);
    size_t minEntries = maxEntries / 2 - 1;
    std::vector<bool> seen(pages, false);
    int leafDepth = -1;
    std::string failure;
    out->clear();
    // Recursive in-order walk.
    std::function<void(uint32_t, int)> walk = [&](uint32_t page, int depth) {
        if (!failure.empty()) return;
        if (page < 1 || page >= pages) {
            failure = "page number " + std::to_string(page) + " out of range";
            return;
        }
        if (seen[page]) {
            failure = "page " + std::to_string(page) + " reached twice";
            return;
        }
        seen[page] = true;
        size_t base = page * pageSize;
        if (base + pageSize > bytes.size()) {
            failure = "page past the end";
            return;
        }
        size_t n = u32(base);
        if (n > maxEntries) failure = "page " + std::to_string(page) + " holds too many entries";
        if (page != root && n < minEntries) failure = "page " + std::to_string(page) + " is underfull";
        bool leaf = u32(base + 4) == 0;
        for (size_t i = 0; i <= n && failure.empty(); ++i) {
            uint32_t child = u32(base + 4 + i * entrySize);
            if ((child == 0) != leaf)
                failure = "page " + std::to_string(page) + " mixes leaf and inner children";
            if (!leaf) walk(child, depth + 1);
            if (i == n || !failure.empty()) break;
            const char* key = bytes.data() + base + 12 + i * entrySize;
            IndexEntry entry{std::string(key, strnlen(key, entrySize - 8)),
                             static_cast<int32_t>(u32(base + 8 + i * entrySize))};
            if (!out->empty() && OracleCompare(out->back().key, entry.key, flags) > 0)
                failure = "'" + out->back().key + "' stands before '" + entry.key + "'";
            out->push_back(entry);
        }
        if (leaf) {
            if (leafDepth < 0) leafDepth = depth;
            if (leafDepth != depth) failure = "leaves at different depths";
        }
    };
    walk(root, 0);
    if (!failure.empty()) return ::testing::AssertionFailure() << failure;
    return ::testing::AssertionSuccess();
}

} // namespace vorn::test
