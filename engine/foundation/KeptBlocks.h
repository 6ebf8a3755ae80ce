// Blocks a thread frees and makes again at every request, kept for its next
// one: they are larger than the C library's per-thread caches take. Under
// AddressSanitizer a kept block is poisoned until it is taken again, so a
// use after its release is still reported.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VORN_POISON_BLOCK(block, size) ASAN_POISON_MEMORY_REGION(block, size)
#define VORN_UNPOISON_BLOCK(block, size) ASAN_UNPOISON_MEMORY_REGION(block, size)
#else
#define VORN_POISON_BLOCK(block, size) ((void)(block), (void)(size))
#define VORN_UNPOISON_BLOCK(block, size) ((void)(block), (void)(size))
#endif

namespace vorn {

// Up to Most malloc'ed blocks of Size bytes a thread; a kept block's first
// bytes link it to the next.
template <size_t Size, int Most> class KeptBlocks {
    static_assert(Size >= sizeof(void*));

  public:
    static void* Take() {
        List& list = kept;
        if (!list.first) return std::malloc(Size);
        void* block = list.first;
        VORN_UNPOISON_BLOCK(block, Size);
        std::memcpy(&list.first, block, sizeof(void*));
        --list.count;
        return block;
    }

    static void Give(void* block) {
        if (!block) return;
        List& list = kept;
        if (list.count >= Most) {
            std::free(block);
            return;
        }
        std::memcpy(block, &list.first, sizeof(void*));
        VORN_POISON_BLOCK(block, Size);
        list.first = block;
        ++list.count;
    }

  private:
    struct List {
        void* first = nullptr;
        int count = 0;
        ~List() {
            while (first) {
                VORN_UNPOISON_BLOCK(first, Size);
                void* next;
                std::memcpy(&next, first, sizeof next);
                std::free(first);
                first = next;
            }
        }
    };
    static thread_local List kept;
};

template <size_t Size, int Most> thread_local typename KeptBlocks<Size, Most>::List KeptBlocks<Size, Most>::kept;

} // namespace vorn
