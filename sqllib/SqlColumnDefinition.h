// One column of CREATE TABLE or ALTER TABLE ADD, as the storage layer creates it.
#pragma once

#include "sqllib/SqlCollections.h"

#include <cstdint>

namespace vorn {

// Field type codes of the storage layer.
inline constexpr int32_t kSqlTypeCharacter = 0; // C
inline constexpr int32_t kSqlTypeNumeric = 1;   // N
inline constexpr int32_t kSqlTypeDate = 2;      // D (the grammar never makes one)
inline constexpr int32_t kSqlTypeLogical = 3;   // L
inline constexpr int32_t kSqlTypeMemo = 4;      // M

struct ColumnDefinition {
    static constexpr int32_t kMaxName = 10;

    char name[kMaxName + 1] = {}; // as written, NUL-terminated
    int32_t nameLength = 0;
    int32_t type = kSqlTypeCharacter;
    int32_t width = 0;
    int32_t decimals = 0;
};

using ColumnDefinitionList = CollList<ColumnDefinition>;

} // namespace vorn
