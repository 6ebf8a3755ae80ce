#include "sqllib/front/SqlKeywords.h"

#include "engine/foundation/Hash.h"

#include <cstring>

namespace vorn {

#include "sqllib/front/SqlKeywordTable.inc"

const SQLKeywordRow* SQLKeywordLookup::Lookup(const char* name, int32_t length) {
    if (!name) return nullptr;
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    uint32_t h = HashLookup2NoCase(name, static_cast<uint32_t>(length), 256);
    uint32_t slot = kSqlScramble[h >> 24] ^ (h & 0x7f);
    if (slot >= static_cast<uint32_t>(kRows)) return nullptr;
    const SQLKeywordRow& row = kSqlKeywordRows[slot];
    if (row.length != length || CompareTextNoCase(row.name, name, length) != 0) return nullptr;
    return &row;
}

const SQLKeywordRow* SQLKeywordLookup::Rows() { return kSqlKeywordRows; }

} // namespace vorn
