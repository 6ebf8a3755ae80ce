// A column as CREATE TABLE and ALTER TABLE ADD define it: its name (at most
// 10 characters), its type code (the storage layer's field kinds: 0
// character, 1 numeric, 2 date, 3 logical, 4 memo), width and decimals.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

struct ColumnDefinition {
    ColumnDefinition() = default;
    ColumnDefinition(const char* name, int32_t nameLength, int32_t type, int32_t width, int32_t decimals)
        : name(name, nameLength), type(type), width(width), decimals(decimals) {}

    String name;
    int32_t type = 0;
    int32_t width = 0;
    int32_t decimals = 0;
};

} // namespace vorn
