// The SQL library's own blocks (value texts, instruction arrays, arena
// chunks) come from here, so that a refused allocation can be made on demand:
// the library runs inside the server, and a statement that finds no memory
// fails with kOutOfMemory instead of ending the process.
#pragma once

#include <atomic>
#include <cstddef>

#include "engine/foundation/Messages.h"

namespace vorn {

// Answers whether an allocation of that many bytes may go ahead.
using SQLAllocationHook = bool (*)(size_t bytes);

namespace detail {
extern std::atomic<SQLAllocationHook> sqlAllocationHook;
}

// malloc and realloc (blocks go back with std::free); null when refused.
void* SQLAllocate(size_t bytes);
void* SQLReallocate(void* block, size_t bytes);

// For tests: null restores plain allocation.
inline void SetSQLAllocationHook(SQLAllocationHook hook) {
    detail::sqlAllocationHook.store(hook, std::memory_order_relaxed);
}

} // namespace vorn
