// The buckets of GROUP BY and DISTINCT: one record per key, in a hash of
// 4096 chains each ordered by key, walked in the order the keys first came;
// each record holds the group's value slots and the aggregates' sums.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "engine/foundation/Hash.h"
#include "sqllib/engine/SqlRecordWalk.h"
#include "sqllib/engine/SqlValue.h"

namespace vorn {

struct SQLBucketEntry {
    SQLResult value;
    int32_t count = 0;
    double total = 0.0;

    void Count() { value.SetInteger(value.Integer() + 1); }
    void Sum(double x) {
        total += x;
        value.SetDouble(total);
    }
    void Average(double x) {
        total += x;
        count += 1;
        value.SetDouble(total / count);
    }
};

struct SQLBucketRecord {
    const char* key;
    int32_t keyLength;
    SQLBucketRecord* next;
    SQLBucketEntry* slots;
};

class SQLBucket : public SQLRecordWalk<SQLBucketRecord> {
  public:
    static constexpr int32_t kChains = 4096;

    SQLBucket(int32_t slots, SQLArenaBudget* budget)
        : slots(slots), arena(budget), chains(new SQLBucketRecord*[kChains]()) {}
    ~SQLBucket();
    SQLBucket(const SQLBucket&) = delete;
    SQLBucket& operator=(const SQLBucket&) = delete;

    // 1 found, 0 made, -1 out of memory; either way the record is current.
    int Record(const char* key, int32_t length);
    // The current record's slot, or null.
    SQLBucketEntry* Slot(int32_t slot) const {
        return current && slot >= 0 && slot < slots ? &current->slots[slot] : nullptr;
    }

    int32_t slots;
    SQLArena arena;

  private:
    std::unique_ptr<SQLBucketRecord*[]> chains;
};

// Inline: it runs for every row of a GROUP BY.
inline int SQLBucket::Record(const char* key, int32_t length) {
    uint32_t chain = HashLookup2NoCase(key, static_cast<uint32_t>(length), 0) & (kChains - 1);
    SQLBucketRecord** link = &chains[chain];
    for (; *link; link = &(*link)->next) {
        SQLBucketRecord* at = *link;
        int c = at->keyLength != length ? (at->keyLength < length ? -1 : 1)
                                        : std::memcmp(at->key, key, static_cast<size_t>(length));
        if (c == 0) {
            current = at;
            return 1;
        }
        if (c > 0) break;
    }
    auto* made = static_cast<SQLBucketRecord*>(arena.Allocate(sizeof(SQLBucketRecord)));
    char* copy = made ? arena.Copy(key, length) : nullptr;
    void* entries = copy ? arena.Allocate(sizeof(SQLBucketEntry) * static_cast<size_t>(slots > 0 ? slots : 1))
                         : nullptr;
    if (!entries) return -1;
    made->key = copy;
    made->keyLength = length;
    made->slots = static_cast<SQLBucketEntry*>(entries);
    for (int32_t i = 0; i < slots; ++i) new (&made->slots[i]) SQLBucketEntry();
    made->next = *link;
    *link = made;
    records.push_back(made);
    current = made;
    return 0;
}

} // namespace vorn
