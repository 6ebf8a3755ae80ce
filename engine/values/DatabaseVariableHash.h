// The field variables of a database view's current row, by name (without
// regard to case). The table holds no references of its own; it releases the
// field variables it was given when it is cleared or destroyed.
#pragma once

#include <cstdint>

#include "engine/foundation/HashTable.h"
#include "engine/values/Variable.h"

namespace vorn {

// A field variable that other holders may keep after its view is gone
// implements this: Unbind cuts it from the row so that it reads as null from
// then on.
class UnbindableVariable {
public:
    virtual ~UnbindableVariable() = default;
    virtual void Unbind() = 0;
};

class DatabaseVariableHash : public HashTable<Variable> {
public:
    // Non-owning, case-insensitive, 2^12 buckets, growth 512.
    DatabaseVariableHash() : HashTable<Variable>(false, true, 12, 512) {}
    ~DatabaseVariableHash() override;
    DatabaseVariableHash(const DatabaseVariableHash&) = delete;
    DatabaseVariableHash& operator=(const DatabaseVariableHash&) = delete;

    // ReleaseAll, which also empties the table.
    void Clear() override;
    // Gives up every field variable: one that nobody else holds is freed;
    // one still held elsewhere is unbound (or, when it cannot be, cleared)
    // first, so its other holders keep a valid variable without a row behind
    // it. Variables whose count is already below 1 are left alone. The table
    // is empty afterwards.
    virtual void ReleaseAll();

    // The field variable of that name, or null; length -1 means up to the NUL.
    Variable* FindVariable(const char* name, int32_t length) const { return Find(name, length); }
};

} // namespace vorn
