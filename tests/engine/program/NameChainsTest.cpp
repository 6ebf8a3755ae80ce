#include "engine/program/NameChains.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/foundation/LittleEndian.h"

namespace vorn {
namespace {

struct Stored {
    std::vector<uint8_t> records;
    std::vector<int32_t> next;
};

void Record(Stored& s, uint16_t bucket, uint32_t first) {
    uint8_t r[6];
    PutU16(r, bucket);
    PutU32(r + 2, first);
    s.records.insert(s.records.end(), r, r + 6);
}

// Both checks on the same stored table: the walk from the records must say
// what the walk over every bucket says, and leave the buckets as they were.
void ExpectSameVerdict(const Stored& s, int32_t bucketCount, const char* what) {
    int32_t recordCount = static_cast<int32_t>(s.records.size() / 6);
    int32_t count = static_cast<int32_t>(s.next.size());
    std::vector<int32_t> buckets(static_cast<size_t>(bucketCount), -1);
    ASSERT_GE(ApplyBucketRecords(s.records.data(), recordCount, buckets.data(), bucketCount, count), 0) << what;
    std::vector<int32_t> before = buckets;
    bool all = ChainsAreSound(buckets.data(), bucketCount, s.next.data(), count);
    EXPECT_EQ(StoredChainsAreSound(s.records.data(), recordCount, buckets.data(), s.next.data(), count), all)
        << what;
    EXPECT_EQ(buckets, before) << what;
}

TEST(NameChains, StoredCheckAgreesWithTheFullWalk) {
    struct Case {
        const char* what;
        std::vector<std::pair<uint16_t, uint32_t>> records;
        std::vector<int32_t> next;
        bool sound;
    } cases[] = {
        {"two chains", {{1, 0}, {5, 2}}, {1, -1, -1}, true},
        {"a bucket named twice keeps its last head", {{3, 0}, {3, 1}}, {-1, -1}, true},
        {"the same head twice", {{3, 0}, {3, 0}}, {1, -1}, true},
        {"two buckets run into one chain", {{1, 0}, {2, 1}}, {1, -1}, false},
        {"a loop", {{0, 0}}, {1, 0}, false},
        {"a loop no bucket reaches", {{0, 0}}, {-1, 2, 1}, true},
        {"a link out of range", {{0, 0}}, {7}, false},
        {"no records", {}, {0, -1}, true},
    };
    for (const Case& c : cases) {
        Stored s;
        for (auto [bucket, first] : c.records) Record(s, bucket, first);
        s.next = c.next;
        ExpectSameVerdict(s, 8, c.what);
        std::vector<int32_t> buckets(8, -1);
        ApplyBucketRecords(s.records.data(), static_cast<int32_t>(c.records.size()), buckets.data(), 8,
                           static_cast<int32_t>(s.next.size()));
        EXPECT_EQ(StoredChainsAreSound(s.records.data(), static_cast<int32_t>(c.records.size()), buckets.data(),
                                       s.next.data(), static_cast<int32_t>(s.next.size())),
                  c.sound)
            << c.what;
    }

    // Random tables, most of them damaged somewhere.
    std::mt19937 random(5);
    for (int round = 0; round < 2000; ++round) {
        Stored s;
        int32_t count = 1 + static_cast<int32_t>(random() % 12);
        for (int32_t i = 0; i < count; ++i)
            s.next.push_back(random() % 3 == 0 ? -1 : static_cast<int32_t>(random() % (count + 1)) - 1);
        for (int n = static_cast<int>(random() % 6); n > 0; --n)
            Record(s, static_cast<uint16_t>(random() % 16), static_cast<uint32_t>(random() % count));
        ExpectSameVerdict(s, 16, "random");
    }
}

} // namespace
} // namespace vorn
