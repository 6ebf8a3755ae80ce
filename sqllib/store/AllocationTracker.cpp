#include "sqllib/store/AllocationTracker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/Hash.h"

namespace vorn {

AllocHashTable::AllocHashTable(bool ownsRecords, bool, int32_t bits, int32_t growthStep)
    : owns(ownsRecords), growth(growthStep > 0 ? growthStep : 512) {
    if (bits < 0) bits = 0;
    if (bits > 24) bits = 24;
    bucketCount = 1 << bits;
    buckets = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(bucketCount)));
    for (int32_t i = 0; buckets && i < bucketCount; ++i)
        buckets[i] = -1;
}

AllocHashTable::~AllocHashTable() {
    RemoveAll();
    std::free(buckets);
    std::free(entries);
    std::free(next);
}

int32_t AllocHashTable::Bucket(const void* address) const {
    uintptr_t value = reinterpret_cast<uintptr_t>(address);
    return static_cast<int32_t>(HashLookup2(&value, sizeof value, 0) &
                                static_cast<uint32_t>(bucketCount - 1));
}

void AllocHashTable::Insert(AllocationRecord* record) {
    if (!buckets) return;
    if (used == capacity) {
        int32_t grown = capacity + growth;
        auto* moreEntries = static_cast<AllocationRecord**>(
            std::realloc(entries, sizeof(void*) * static_cast<size_t>(grown)));
        if (!moreEntries) return;
        entries = moreEntries;
        auto* moreNext =
            static_cast<int32_t*>(std::realloc(next, sizeof(int32_t) * static_cast<size_t>(grown)));
        if (!moreNext) return;
        next = moreNext;
        capacity = grown;
    }
    int32_t slot = used++;
    entries[slot] = record;
    int32_t b = Bucket(record->address);
    // Sorted by address: before the first greater one, after equal ones.
    int32_t previous = -1;
    int32_t e = buckets[b];
    if (e == -1) ++usedBuckets;
    while (e != -1 &&
           reinterpret_cast<uintptr_t>(entries[e]->address) <= reinterpret_cast<uintptr_t>(record->address)) {
        previous = e;
        e = next[e];
    }
    next[slot] = e;
    if (previous == -1)
        buckets[b] = slot;
    else
        next[previous] = slot;
    ++count;
}

AllocationRecord* AllocHashTable::Remove(const void* address) {
    if (!buckets) return nullptr;
    int32_t b = Bucket(address);
    int32_t previous = -1;
    for (int32_t e = buckets[b]; e != -1; previous = e, e = next[e]) {
        uintptr_t at = reinterpret_cast<uintptr_t>(entries[e]->address);
        if (at > reinterpret_cast<uintptr_t>(address)) break;
        if (at != reinterpret_cast<uintptr_t>(address)) continue;
        if (previous == -1)
            buckets[b] = next[e];
        else
            next[previous] = next[e];
        if (buckets[b] == -1) --usedBuckets;
        AllocationRecord* record = entries[e];
        entries[e] = nullptr;
        --count;
        return record;
    }
    return nullptr;
}

AllocationRecord* AllocHashTable::First() {
    cursor = 0;
    return Next();
}

AllocationRecord* AllocHashTable::Next() {
    while (cursor < used) {
        AllocationRecord* record = entries[cursor++];
        if (record) return record;
    }
    return nullptr;
}

void AllocHashTable::RemoveAll() {
    for (int32_t i = 0; i < used; ++i)
        if (owns) std::free(entries[i]);
    used = 0;
    count = 0;
    usedBuckets = 0;
    for (int32_t i = 0; buckets && i < bucketCount; ++i)
        buckets[i] = -1;
}

AllocHashTable& Allocations() {
    // Built when the library is loaded, destroyed when it is unloaded.
    static AllocHashTable table(true, false, 12, 512);
    return table;
}

namespace {
// Built at load, not on first use.
[[maybe_unused]] AllocHashTable& loaded = Allocations();
} // namespace

void* TrackedAllocate(int64_t size, const char* file, int32_t line) {
    if (size < 0) return nullptr;
    void* block = std::malloc(static_cast<size_t>(size > 0 ? size : 1));
    if (!block) return nullptr;
    auto* record = static_cast<AllocationRecord*>(std::malloc(sizeof(AllocationRecord)));
    if (!record) return block;
    std::memset(record, 0, sizeof *record);
    if (file) std::strncpy(record->file, file, sizeof record->file - 1);
    record->line = line;
    record->address = block;
    record->size = size;
    AllocHashTable& table = Allocations();
    std::lock_guard<std::mutex> guard(table.Lock());
    table.Insert(record);
    return block;
}

void TrackedFree(void* block) {
    AllocHashTable& table = Allocations();
    {
        std::lock_guard<std::mutex> guard(table.Lock());
        std::free(table.Remove(block));
    }
    std::free(block);
}

void ForgetAllocations() {
    AllocHashTable& table = Allocations();
    std::lock_guard<std::mutex> guard(table.Lock());
    table.RemoveAll();
}

void DumpAllocations(const char* path) {
    AllocHashTable& table = Allocations();
    std::lock_guard<std::mutex> guard(table.Lock());
    FILE* out = path ? std::fopen(path, "a") : nullptr;
    if (!out) return;
    std::fputs("----------[Begin Session]----------\n", out);
    for (AllocationRecord* r = table.First(); r; r = table.Next()) {
        std::fprintf(out, "%s( %d ): %lld bytes @ %p\n\t", r->file, r->line, static_cast<long long>(r->size),
                     r->address);
        const auto* bytes = static_cast<const unsigned char*>(r->address);
        int64_t shown = r->size < 50 ? r->size : 50;
        for (int64_t i = 0; i < shown; ++i) {
            if (bytes[i] >= 0x20 && bytes[i] < 0x7F)
                std::fputc(bytes[i], out);
            else
                std::fprintf(out, "<0x%02x>", bytes[i]);
        }
        std::fputc('\n', out);
    }
    std::fputs("----------[End Session]----------\n", out);
    std::fclose(out);
}

} // namespace vorn
