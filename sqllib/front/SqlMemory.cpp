#include "sqllib/front/SqlMemory.h"

#include <cstdlib>

namespace vorn {

namespace detail {
std::atomic<SQLAllocationHook> sqlAllocationHook{nullptr};
}

void* SQLAllocate(size_t bytes) {
    SQLAllocationHook hook = detail::sqlAllocationHook.load(std::memory_order_relaxed);
    if (hook && !hook(bytes)) return nullptr;
    return std::malloc(bytes);
}

void* SQLReallocate(void* block, size_t bytes) {
    SQLAllocationHook hook = detail::sqlAllocationHook.load(std::memory_order_relaxed);
    if (hook && !hook(bytes)) return nullptr;
    return std::realloc(block, bytes);
}

} // namespace vorn
