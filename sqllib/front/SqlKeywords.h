// The SQL keyword table: 224 reserved words and 16 punctuation rows found
// through a minimal perfect hash (the table is written by tools/sqlkeywords).
#pragma once

#include <cstdint>

namespace vorn {

struct SQLKeywordRow {
    int32_t token;
    int32_t length;
    const char* name; // lower case, NUL-terminated
};

class SQLKeywordLookup {
  public:
    static constexpr int32_t kRows = 240;

    // The row of that text, case ignored, or null. length -1 means up to the NUL.
    static const SQLKeywordRow* Lookup(const char* name, int32_t length);
    // The rows in their slots, for checks.
    static const SQLKeywordRow* Rows();
};

} // namespace vorn
