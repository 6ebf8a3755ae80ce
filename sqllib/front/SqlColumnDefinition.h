// One column of CREATE TABLE or ALTER TABLE ADD, as the storage layer creates it.
#pragma once

#include <cstdint>
#include <cstring>

#include "sqllib/front/SqlCollections.h"

namespace vorn {

// Field type codes of the storage layer.
inline constexpr int32_t kSqlTypeCharacter = 0; // C
inline constexpr int32_t kSqlTypeNumeric = 1;   // N
inline constexpr int32_t kSqlTypeDate = 2;      // D (the grammar never makes one)
inline constexpr int32_t kSqlTypeLogical = 3;   // L
inline constexpr int32_t kSqlTypeMemo = 4;      // M

struct ColumnDefinition {
    static constexpr int32_t kMaxName = 10;

    ColumnDefinition() = default;
    // The name is cut to kMaxName bytes (length -1: up to the NUL).
    ColumnDefinition(const char* text, int32_t length, int32_t typeCode, int32_t columnWidth,
                     int32_t columnDecimals)
        : type(typeCode), width(columnWidth), decimals(columnDecimals) {
        if (!text) length = 0;
        if (length < 0) length = static_cast<int32_t>(std::strlen(text));
        nameLength = length < kMaxName ? length : kMaxName;
        if (nameLength > 0) std::memcpy(name, text, static_cast<size_t>(nameLength));
        name[nameLength] = '\0';
    }

    char name[kMaxName + 1] = {}; // as written, NUL-terminated
    int32_t nameLength = 0;
    int32_t type = kSqlTypeCharacter;
    int32_t width = 0;
    int32_t decimals = 0;
};

using ColumnDefinitionList = CollList<ColumnDefinition>;

} // namespace vorn
