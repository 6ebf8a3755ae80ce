#include "engine/program/Segment.h"

#include <gtest/gtest.h>


#include "engine/program/TaggedFile.h"
#include "tests/engine/files/MemoryFile.h"
#include "tests/engine/program/ContainerBytes.h"

namespace vorn {
namespace {

using test::Bytes;
using test::Container;
using test::MemoryFile;
using test::U32;

Bytes SegsSection(uint32_t n, uint32_t entry, const std::vector<std::pair<uint32_t, uint32_t>>& records,
                  const Bytes& code) {
    Bytes b;
    U32(b, n);
    U32(b, entry);
    for (auto [offset, length] : records) {
        U32(b, offset);
        U32(b, length);
    }
    test::Append(b, code);
    return b;
}

bool Load(SegmentManager& manager, TaggedFile& tf, const Bytes& section) {
    EXPECT_TRUE(tf.OpenRead("t.vrc", new MemoryFile(Container({{"segs", section}}))));
    return manager.Load(tf);
}

Bytes Code(int n, uint8_t first) {
    Bytes b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
    return b;
}

TEST(SegmentTest, WritesGrowInWholeSteps) {
    Segment fresh(0);
    EXPECT_EQ(fresh.Capacity(), 8192);
    EXPECT_EQ(fresh.Used(), 0);
    EXPECT_EQ(fresh.WriteU32(8190, 0x11223344), 8194);
    EXPECT_EQ(fresh.Capacity(), 16384);
    EXPECT_EQ(fresh.Used(), 8194);
    EXPECT_EQ(fresh.Code()[8190], 0x44);
    EXPECT_EQ(fresh.Code()[8193], 0x11);
    EXPECT_EQ(fresh.Code()[8194], 0); // beyond used: zero

    Segment loaded(3, 40);
    EXPECT_EQ(loaded.Index(), 3);
    EXPECT_EQ(loaded.Used(), 40);
    EXPECT_EQ(loaded.WriteU16(0, 0xBEEF), 2);
    EXPECT_EQ(loaded.Used(), 40);
    EXPECT_EQ(loaded.Code()[0], 0xEF);
    // Writing right up to the end still grows (position + width >= capacity).
    EXPECT_EQ(loaded.WriteU32(36, 7), 40);
    EXPECT_EQ(loaded.Capacity(), 8192);
    EXPECT_EQ(loaded.WriteDouble(40, 1.5), 48);
    EXPECT_EQ(loaded.Used(), 48);
    EXPECT_EQ(loaded.WriteBytes(48, "ab", 2), 50);
    EXPECT_EQ(loaded.Code()[49], 'b');

    // Out-of-range positions write nothing.
    EXPECT_EQ(loaded.WriteU16(-1, 1), -1);
    EXPECT_EQ(loaded.WriteU32(INT32_MAX - 2, 1), -1);
    EXPECT_EQ(loaded.Used(), 50);
    loaded.Grow(100); // never shrinks
    EXPECT_EQ(loaded.Capacity(), 8192);
}

TEST(SegmentTest, LoadsTheSection) {
    SegmentManager manager;
    TaggedFile tf(nullptr);
    Bytes code = Code(16, 1);
    ASSERT_TRUE(Load(manager, tf, SegsSection(2, 1, {{0, 10}, {10, 6}}, code)));
    EXPECT_EQ(manager.Count(), 2);
    EXPECT_EQ(manager.Current(), 1);
    Segment* entry = manager.CurrentSegment();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Index(), 1);
    EXPECT_EQ(entry->Used(), 6);
    EXPECT_EQ(entry->Code()[0], 11); // section offset 24 + 10
    EXPECT_EQ(manager.SegmentAt(0)->Used(), 10);
    EXPECT_EQ(manager.SegmentAt(0)->Code()[9], 10);
    EXPECT_EQ(manager.SegmentAt(2), nullptr);
    EXPECT_EQ(manager.SegmentAt(-1), nullptr);

    Segment* added = manager.AddSegment();
    EXPECT_EQ(added->Index(), 2);
    EXPECT_EQ(manager.TableCapacity(), 2 + 64);
    EXPECT_EQ(manager.Count(), 3);
}

TEST(SegmentTest, FreshManagerMakesTheMainSegment) {
    SegmentManager manager;
    EXPECT_EQ(manager.Count(), 1);
    EXPECT_EQ(manager.SegmentAt(0), nullptr);
    Segment* main = manager.CurrentSegment();
    EXPECT_EQ(manager.CurrentSegment(), main);
    EXPECT_EQ(main->Capacity(), 8192);
    for (int i = 1; i < 70; ++i) EXPECT_EQ(manager.AddSegment()->Index(), i);
    EXPECT_EQ(manager.TableCapacity(), 128);
    EXPECT_FALSE(manager.SetCurrent(70));
    EXPECT_TRUE(manager.SetCurrent(69));
    EXPECT_EQ(manager.CurrentSegment()->Index(), 69);
}

TEST(SegmentTest, HostileSectionsAreRefused) {
    const char* corrupt = "File is either corrupt or not a valid compiled Vorn Script file";
    Bytes code = Code(16, 1);
    std::vector<Bytes> cases = {
        SegsSection(2, 2, {{0, 10}, {10, 6}}, code),                 // entry segment not below N
        SegsSection(2, 0xFFFFFFFF, {{0, 10}, {10, 6}}, code),        // entry far out
        SegsSection(0, 0, {}, code),                                 // no segments at all
        SegsSection(2, 0, {{0, 10}, {10, 7}}, code),                 // runs past the section
        SegsSection(2, 0, {{0x80000000u, 1}, {0, 1}}, code),         // offset of 2^31
        SegsSection(2, 0, {{0, 0xFFFFFFFFu}, {0, 1}}, code),         // length of 2^32 - 1
        SegsSection(0x20000001, 0, {{0, 1}}, code),                  // N x 8 overflows 32 bits
        SegsSection(3, 0, {{0, 16}, {0, 16}, {0, 16}}, code),        // overlapping: more than the area
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SegmentManager manager;
        TaggedFile tf(nullptr);
        EXPECT_FALSE(Load(manager, tf, cases[i])) << i;
        EXPECT_STREQ(manager.ErrorText().Text(), corrupt) << i;
        // The manager is still usable: its entry segment is inside its table.
        ASSERT_NE(manager.CurrentSegment(), nullptr);
        EXPECT_LT(manager.Current(), manager.Count());
    }

    SegmentManager missing;
    TaggedFile tf(nullptr);
    ASSERT_TRUE(tf.OpenRead("t.vrc", new MemoryFile(Container({{"dict", Bytes(12, 0)}}))));
    EXPECT_FALSE(missing.Load(tf));
    EXPECT_STREQ(missing.ErrorText().Text(), "Invalid section");
}

TEST(SegmentTest, SaveRoundTripAndTruncation) {
    SegmentManager manager;
    manager.CurrentSegment()->WriteBytes(0, "\x01\x40\x05\x00\x00\x00", 6);
    manager.AddSegment(); // left empty
    Segment* third = manager.AddSegment();
    third->WriteU16(0, 0x003b);
    ASSERT_TRUE(manager.SetCurrent(2));

    auto* out = new MemoryFile;
    TaggedFile writer(nullptr);
    ASSERT_TRUE(writer.OpenWriteFile(out, nullptr, 0));
    ASSERT_TRUE(manager.Save(writer));
    ASSERT_TRUE(writer.Finish());
    Bytes section(out->bytes.begin() + 32, out->bytes.end() - 12);
    Bytes expected = SegsSection(3, 2, {{0, 6}, {6, 0}, {6, 2}}, Bytes{1, 0x40, 5, 0, 0, 0, 0x3b, 0});
    EXPECT_EQ(section, expected);

    SegmentManager back;
    TaggedFile reader(nullptr);
    ASSERT_TRUE(Load(back, reader, section));
    EXPECT_EQ(back.Count(), 3);
    EXPECT_EQ(back.CurrentSegment()->Used(), 2);
    EXPECT_EQ(back.SegmentAt(1)->Used(), 0);
    EXPECT_EQ(back.SegmentAt(0)->Code()[1], 0x40);

    for (size_t n = 0; n < section.size(); ++n) {
        SegmentManager cut;
        TaggedFile tf(nullptr);
        EXPECT_FALSE(Load(cut, tf, Bytes(section.begin(), section.begin() + static_cast<long>(n)))) << n;
        ASSERT_NE(cut.CurrentSegment(), nullptr);
    }
}

} // namespace
} // namespace vorn
