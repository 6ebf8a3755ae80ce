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

// Blocks for the arenas and the sorter's arrays: sizes from SQLBlockSize,
// powers of two from 64 KiB. A block given back is kept for the next one
// asked of its size, up to kSQLKeptBlockBytes in all for the process: pages
// first touched cost a fault each (dear on a virtual machine), and a
// statement that sorts or groups many rows would otherwise fault in every
// page of its arrays afresh. Blocks of 2 MiB and more are mapped on their
// own, aligned to 2 MiB and offered to the kernel for huge pages (one fault
// each where it has them). SQLTakeBlock asks the hook like SQLAllocate; null
// when refused or when no memory is left.
inline constexpr size_t kSQLSmallestBlock = size_t{64} << 10;
inline constexpr size_t kSQLKeptBlockBytes = size_t{32} << 20;
size_t SQLBlockSize(size_t bytes);
void* SQLTakeBlock(size_t size);
void SQLGiveBlock(void* block, size_t size);
// What the process keeps now; for tests.
size_t SQLKeptBlockBytes();

// For tests: null restores plain allocation.
inline void SetSQLAllocationHook(SQLAllocationHook hook) {
    detail::sqlAllocationHook.store(hook, std::memory_order_relaxed);
}

} // namespace vorn
