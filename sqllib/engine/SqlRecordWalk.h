// The records of a temporary table or a bucket in the order the statement
// walks them, and the walk's place in them.
#pragma once

#include <cstddef>
#include <vector>

namespace vorn {

template <class Record>
struct SQLRecordWalk {
    std::vector<Record*> records;
    Record* current = nullptr;
    size_t position = 0;

    // Each answers whether a record is current now.
    bool First() {
        position = 0;
        current = records.empty() ? nullptr : records[0];
        return current != nullptr;
    }
    // Past the last record the walk stays there.
    bool Next() {
        if (!current) return false;
        ++position;
        current = position < records.size() ? records[position] : nullptr;
        return current != nullptr;
    }
};

} // namespace vorn
