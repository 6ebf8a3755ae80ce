// Helpers shared by the tables that keep names as string-pool indexes in
// bucket chains stored in compiled files (variable scopes, language and
// message tables): the bucket of a name, the order of a chain, and the checks
// a stored table passes before anything follows its links.
#pragma once

#include <cstdint>

namespace vorn {

class TaggedFile;

// A bucket record stores its bucket index in 16 bits, so a stored table has
// at most 2^16 buckets.
inline constexpr int32_t kStoredBucketBitsMax = 16;
// Tables built in memory hold to the bucket-bit range of the hash tables.
inline constexpr int32_t kTableBucketBitsMax = 30;

// HashLookup2NoCase of the name with initval 0, masked to 2^bits buckets.
int32_t NameBucket(const char* name, int32_t length, int32_t bits);

// Order of a chain entry's name against a key: the shorter name first, names
// of equal length by CompareTextNoCase. Negative, 0 or positive.
int CompareNameOrder(const char* entry, int32_t entryLength, const char* key, int32_t keyLength);

// Reads exactly n bytes of the selected section; false on a short read.
bool ReadSectionBytes(TaggedFile& file, void* buffer, int64_t n);

// Bytes of the selected section not read yet.
int64_t SectionBytesLeft(const TaggedFile& file);

// Applies records of 6 bytes {u16 bucket index, u32 first slot}: every index
// must name one of bucketCount buckets and every first slot one of slots
// slots. buckets must be filled with -1 before. Returns the number of
// non-empty buckets, or -1 when a record is out of range.
int32_t ApplyBucketRecords(const uint8_t* records, int32_t recordCount, int32_t* buckets, int32_t bucketCount,
                           int32_t slots);

// Stored chains are sound when every bucket head and link is -1 or below
// count and no slot is reached twice, which rules out cycles and chains that
// run into one another.
bool ChainsAreSound(const int32_t* buckets, int32_t bucketCount, const int32_t* next, int32_t count);

// ChainsAreSound for buckets filled by ApplyBucketRecords from these records:
// the same answer, walking only the buckets the records name instead of all
// of them (a stored table may hold 2^16 buckets and a dozen names).
bool StoredChainsAreSound(const uint8_t* records, int32_t recordCount, int32_t* buckets, const int32_t* next,
                          int32_t count);

} // namespace vorn
