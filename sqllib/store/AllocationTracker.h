// A diagnostic of the library: a process-wide table of live memory blocks,
// each with the source position that allocated it, and a dump of the table
// to a text file. No other part of the library calls it.
#pragma once

#include <cstdint>
#include <mutex>

namespace vorn {

struct AllocationRecord {
    char file[128]; // at most 127 characters and a NUL
    int32_t line;
    void* address;
    int64_t size;
};

// Records keyed by address: a bucket array of 2^bits entry indexes (-1
// empty), an entry array with a parallel array of next indexes grown by the
// growth step, each chain sorted by address. Its arrays live in the runtime
// heap; every operation holds the table's own lock.
class AllocHashTable {
  public:
    AllocHashTable(bool ownsRecords, bool caseInsensitive, int32_t bits, int32_t growth);
    ~AllocHashTable();
    AllocHashTable(const AllocHashTable&) = delete;
    AllocHashTable& operator=(const AllocHashTable&) = delete;

    // Takes the record over.
    void Insert(AllocationRecord* record);
    // The record of the address, unlinked (the caller frees it), or null.
    AllocationRecord* Remove(const void* address);
    // Iteration in entry order, empty slots skipped.
    AllocationRecord* First();
    AllocationRecord* Next();
    void RemoveAll();
    int32_t Count() const { return count; }
    std::mutex& Lock() { return lock; }

  private:
    int32_t Bucket(const void* address) const;

    bool owns;
    int32_t bucketCount;
    int32_t* buckets;
    AllocationRecord** entries = nullptr;
    int32_t* next = nullptr;
    int32_t capacity = 0;
    int32_t used = 0;
    int32_t growth;
    int32_t count = 0;
    int32_t usedBuckets = 0;
    int32_t cursor = 0;
    std::mutex lock;
};

void* TrackedAllocate(int64_t size, const char* file, int32_t line);
void TrackedFree(void* block);
void ForgetAllocations();
void DumpAllocations(const char* path);
// The one table, for tests.
AllocHashTable& Allocations();

} // namespace vorn
