// The temporary table of a SELECT with ORDER BY (and of a UNION, and of an
// INSERT that reads its own table): rows appended as they come, sorted by
// their last columns, then walked.
//
// A row is built in the table's values, its texts in `arena`; when the next
// row starts (or the table is sorted or walked) it is packed into bytes, one
// row after another in large chunks. The sort orders an array of 16-byte
// entries, each a row's place and an abbreviation of one sort key: a word
// whose order is the key's (a number's bits, or a text's first seven bytes and
// its length up to eight). Words are sorted by their bytes (radix); rows are
// looked at only where words tie, to compare long texts whole or to go on to
// the next key. A row's values are unpacked when the walk reaches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sqllib/engine/SqlValue.h"
#include "sqllib/front/SqlCollections.h"
#include "sqllib/front/SqlStatement.h"

namespace vorn {

class SQLTemporaryTable {
  public:
    SQLTemporaryTable(int32_t columns, SQLArenaBudget* budget);
    ~SQLTemporaryTable();
    SQLTemporaryTable(const SQLTemporaryTable&) = delete;
    SQLTemporaryTable& operator=(const SQLTemporaryTable&) = delete;

    // Packs the row in hand and makes an empty one current; false past the budget.
    bool Append();
    // Packs the row in hand; false past the budget.
    bool Finish();
    // Stable: ties keep the order the rows came in. The keys are the last
    // order.Count() columns. False past the budget.
    bool Sort(const CollList<SQLOrderBy>& order);
    // Each answers whether a row is current now (Finish first).
    bool First();
    bool Next();
    // The current row's column, or null.
    SQLResult* Value(int32_t column) const {
        return current && column >= 0 && column < columns ? &values[column] : nullptr;
    }

    int32_t columns;
    // The texts of the row being built.
    SQLArena arena;

    struct Entry {
        uint64_t word;
        const uint8_t* row;
    };

  private:
    bool Pack();
    bool Reserve(size_t count);
    void Unpack(const uint8_t* row);

    SQLArenaBudget* budget;
    SQLArena rows;
    // The columns a row's walk unpacks: all, or those before the sort keys.
    int32_t shown;
    std::unique_ptr<SQLResult[]> values;
    Entry* entries = nullptr;
    size_t count = 0;
    // Bytes of the entries' block.
    size_t block = 0;
    size_t position = 0;
    bool building = false;
    bool current = false;
};

} // namespace vorn
