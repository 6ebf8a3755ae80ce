#include "engine/program/NameChains.h"

#include <cstring>
#include <vector>

#include "engine/foundation/Hash.h"
#include "engine/foundation/LittleEndian.h"
#include "engine/program/TaggedFile.h"

namespace vorn {

namespace {

// The name this thread hashed last and its hash: a lookup by name hashes the
// same name again in each scope it tries.
struct LastHashed {
    static constexpr int32_t kRoom = 32;
    char text[kRoom];
    int32_t length = -1;
    uint32_t hash = 0;
};
thread_local LastHashed lastHashed;

uint32_t NameHash(const char* name, int32_t length) {
    LastHashed& last = lastHashed;
    if (length == last.length && std::memcmp(name, last.text, static_cast<size_t>(length)) == 0) return last.hash;
    uint32_t h = HashLookup2NoCase(name, static_cast<uint32_t>(length), 0);
    if (length <= LastHashed::kRoom) {
        std::memcpy(last.text, name, static_cast<size_t>(length));
        last.length = length;
        last.hash = h;
    }
    return h;
}

} // namespace

int32_t NameBucket(const char* name, int32_t length, int32_t bits) {
    if (!name || length < 0) length = 0;
    uint32_t h = NameHash(name ? name : "", length);
    uint32_t mask = (static_cast<uint32_t>(1) << bits) - 1u;
    return static_cast<int32_t>(h & mask);
}

int CompareNameOrder(const char* entry, int32_t entryLength, const char* key, int32_t keyLength) {
    if (entryLength != keyLength) return entryLength < keyLength ? -1 : 1;
    if (entryLength <= 0) return 0;
    return CompareTextNoCase(entry, key, entryLength);
}

bool ReadSectionBytes(TaggedFile& file, void* buffer, int64_t n) {
    if (n == 0) return true;
    if (n < 0 || n > INT32_MAX) return false;
    return file.Read(buffer, static_cast<int32_t>(n)) == n;
}

int64_t SectionBytesLeft(const TaggedFile& file) {
    const TaggedFileEntry* entry = file.Selected();
    if (!entry) return 0;
    int64_t left = static_cast<int64_t>(entry->length) - file.Position();
    return left > 0 ? left : 0;
}

int32_t ApplyBucketRecords(const uint8_t* records, int32_t recordCount, int32_t* buckets, int32_t bucketCount,
                           int32_t slots) {
    int32_t used = 0;
    for (int32_t i = 0; i < recordCount; ++i) {
        const uint8_t* p = records + static_cast<size_t>(i) * 6;
        uint32_t bucket = GetU16(p);
        uint32_t first = GetU32(p + 2);
        if (bucket >= static_cast<uint32_t>(bucketCount) || first >= static_cast<uint32_t>(slots)) return -1;
        if (buckets[bucket] == -1) ++used;
        buckets[bucket] = static_cast<int32_t>(first);
    }
    return used;
}

bool ChainsAreSound(const int32_t* buckets, int32_t bucketCount, const int32_t* next, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        if (next[i] < -1 || next[i] >= count) return false;
    std::vector<bool> seen(static_cast<size_t>(count), false);
    for (int32_t b = 0; b < bucketCount; ++b) {
        for (int32_t e = buckets[b]; e != -1; e = next[e]) {
            if (e < 0 || e >= count || seen[static_cast<size_t>(e)]) return false;
            seen[static_cast<size_t>(e)] = true;
        }
    }
    return true;
}

bool StoredChainsAreSound(const uint8_t* records, int32_t recordCount, int32_t* buckets, const int32_t* next,
                          int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        if (next[i] < -1 || next[i] >= count) return false;
    std::vector<bool> seen(static_cast<size_t>(count), false);
    // A bucket named twice is walked once: a walked head is marked (below -1)
    // and every mark undone before returning.
    bool sound = true;
    for (int32_t r = 0; r < recordCount && sound; ++r) {
        int32_t b = GetU16(records + static_cast<size_t>(r) * 6);
        if (buckets[b] < 0) continue;
        for (int32_t e = buckets[b]; e != -1; e = next[e]) {
            if (e < 0 || e >= count || seen[static_cast<size_t>(e)]) {
                sound = false;
                break;
            }
            seen[static_cast<size_t>(e)] = true;
        }
        buckets[b] = -2 - buckets[b];
    }
    for (int32_t r = 0; r < recordCount; ++r) {
        int32_t b = GetU16(records + static_cast<size_t>(r) * 6);
        if (buckets[b] < -1) buckets[b] = -2 - buckets[b];
    }
    return sound;
}

} // namespace vorn
