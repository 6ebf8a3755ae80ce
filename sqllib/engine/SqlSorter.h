// The temporary table of a SELECT with ORDER BY: records of result values
// appended as the rows come, sorted by their last columns, then walked.
#pragma once

#include <cstdint>

#include "sqllib/engine/SqlRecordWalk.h"
#include "sqllib/engine/SqlValue.h"
#include "sqllib/front/SqlCollections.h"
#include "sqllib/front/SqlStatement.h"

namespace vorn {

// A record is an array of `columns` values in the arena.
class SQLTemporaryTable : public SQLRecordWalk<SQLResult> {
  public:
    SQLTemporaryTable(int32_t columns, SQLArenaBudget* budget) : columns(columns), arena(budget) {}
    ~SQLTemporaryTable();
    SQLTemporaryTable(const SQLTemporaryTable&) = delete;
    SQLTemporaryTable& operator=(const SQLTemporaryTable&) = delete;

    // A record of empty values, made current; false past the budget.
    bool Append();
    // Stable: ties keep the order the records came in. The keys are the
    // last order.Count() columns.
    void Sort(const CollList<SQLOrderBy>& order);
    bool Next();
    // The current record's column, or null.
    SQLResult* Value(int32_t column) const {
        return current && column >= 0 && column < columns ? &current[column] : nullptr;
    }

    int32_t columns;
    SQLArena arena;
};

} // namespace vorn
