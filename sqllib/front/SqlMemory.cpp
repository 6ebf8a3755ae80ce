#include "sqllib/front/SqlMemory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "engine/foundation/KeptBlocks.h"


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

namespace {

constexpr size_t kMapped = size_t{2} << 20;
// Classes 64 KiB .. 2^(16 + kClasses - 1); larger blocks are never kept.
constexpr int kClasses = 11;

int ClassOf(size_t size) {
    int c = 0;
    for (size_t s = kSQLSmallestBlock; s < size && c < kClasses; s <<= 1) ++c;
    return c;
}

void DropBlock(void* block, size_t size);

struct Kept {
    std::mutex lock;
    // Each kept block holds the next one's address in its first bytes.
    void* free[kClasses] = {};
    size_t bytes = 0;
    // Blocks given back after the end (by other objects' destructors) are dropped.
    ~Kept() {
        std::lock_guard<std::mutex> hold(lock);
        for (int c = 0; c < kClasses; ++c)
            while (void* block = free[c]) {
                size_t size = kSQLSmallestBlock << c;
                VORN_UNPOISON_BLOCK(block, size);
                free[c] = *static_cast<void**>(block);
                DropBlock(block, size);
            }
        bytes = 0;
        gone.store(true);
    }
    static inline std::atomic<bool> gone{false};
};

// Constant-initialized: there from the first static constructor on, and
// emptied when the library is unloaded.
Kept kept;

void* MapBlock(size_t size) {
    // Mapped with room to cut it to a 2 MiB boundary.
    void* at = mmap(nullptr, size + kMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(at);
    uintptr_t aligned = (start + kMapped - 1) & ~(uintptr_t{kMapped} - 1);
    if (aligned > start) munmap(at, aligned - start);
    if (uintptr_t end = start + size + kMapped; end > aligned + size)
        munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

void DropBlock(void* block, size_t size) {
    if (size >= kMapped)
        munmap(block, size);
    else
        std::free(block);
}

} // namespace

size_t SQLBlockSize(size_t bytes) {
    size_t size = kSQLSmallestBlock;
    while (size < bytes && size < (kSQLSmallestBlock << (kClasses - 1))) size <<= 1;
    if (size >= bytes) return size;
    // Past the classes: whole 2 MiB pages.
    return (bytes + kMapped - 1) & ~(kMapped - 1);
}

void* SQLTakeBlock(size_t size) {
    SQLAllocationHook hook = detail::sqlAllocationHook.load(std::memory_order_relaxed);
    if (hook && !hook(size)) return nullptr;
    int c = ClassOf(size);
    if (c < kClasses && size == (kSQLSmallestBlock << c) && !Kept::gone.load()) {
        std::lock_guard<std::mutex> hold(kept.lock);
        if (void* block = kept.free[c]) {
            VORN_UNPOISON_BLOCK(block, size);
            kept.free[c] = *static_cast<void**>(block);
            kept.bytes -= size;
            return block;
        }
    }
    return size >= kMapped ? MapBlock(size) : std::malloc(size);
}

void SQLGiveBlock(void* block, size_t size) {
    if (!block) return;
    int c = ClassOf(size);
    if (c < kClasses && size == (kSQLSmallestBlock << c) && !Kept::gone.load()) {
        std::lock_guard<std::mutex> hold(kept.lock);
        if (kept.bytes + size <= kSQLKeptBlockBytes) {
            *static_cast<void**>(block) = kept.free[c];
            kept.free[c] = block;
            kept.bytes += size;
            VORN_POISON_BLOCK(static_cast<char*>(block) + sizeof(void*), size - sizeof(void*));
            return;
        }
    }
    DropBlock(block, size);
}

size_t SQLKeptBlockBytes() {
    std::lock_guard<std::mutex> hold(kept.lock);
    return kept.bytes;
}

} // namespace vorn
