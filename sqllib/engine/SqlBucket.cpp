#include "sqllib/engine/SqlBucket.h"

#include <cstring>
#include <new>

#include "engine/foundation/Hash.h"

namespace vorn {

SQLBucket::~SQLBucket() {
    for (SQLBucketRecord* record : records)
        for (int32_t i = 0; i < slots; ++i) record->slots[i].~SQLBucketEntry();
}

int SQLBucket::Record(const char* key, int32_t length) {
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
