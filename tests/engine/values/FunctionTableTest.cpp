#include "engine/values/FunctionManager.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/program/Dictionary.h"
#include "engine/program/Segment.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/VariableHash.h"
#include "tests/engine/files/MemoryFile.h"
#include "tests/engine/program/ContainerBytes.h"

namespace vorn {
namespace {

using test::Bytes;
using test::Container;
using test::MemoryFile;
using test::U16;
using test::U32;
using test::U8;

// A whole program written out byte by byte. The buckets were worked out
// apart from the engine's hash: lookup2 over the lower-cased name with
// initval 0, masked to 8 bits, gives "Main" 28 (0x1c), "Helper" 9 and "Min"
// 9, and "x" 51 (0x33) in an 8-bit local table. Chains run shorter names
// first, so bucket 9 holds Min (slot 2), then Helper (slot 1).
const Bytes kGolden = {
    // header: magic, version 0x1000A, 16-byte block, directory at 0x11B, 3 entries
    'V', 'o', 'r', 'n', 0x0A, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0x1B, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
    // "dict" at 0x20, 71 bytes: N 5, D 19, word 0
    0x05, 0x00, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, // 0 Main
    0x04, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, // 1 Helper
    0x0A, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, // 2 Min
    0x0D, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, // 3 x
    0x0E, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, // 4 hello
    'M', 'a', 'i', 'n', 'H', 'e', 'l', 'p', 'e', 'r', 'M', 'i', 'n', 'x', 'h', 'e', 'l', 'l', 'o',
    // "segs" at 0x67, 42 bytes: N 2, entry 0, {0, 10}, {10, 8}
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00,
    0x0A, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
    0x01, 0x40, 0x04, 0x00, 0x00, 0x00, 0x15, 0x00, 0x43, 0x00, // pushc 4; out; exit
    0x06, 0x40, 0x00, 0x00, 0x00, 0x00, 0x3B, 0x00,             // pushl 0; ret
    // "func" at 0x91, 138 bytes: 31 of head, then slots of 27, 53 and 27 bytes
    0x02, 0x00, 0x08, 0x03, 0x00, 0x00, 0x00,                   // B 2, bits 8, S 3
    0x09, 0x00, 0x02, 0x00, 0x00, 0x00,                         // bucket 9 -> slot 2
    0x1C, 0x00, 0x00, 0x00, 0x00, 0x00,                         // bucket 28 -> slot 0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, // links
    // slot 0: Main, no parameters, segment 0 offset 0, empty locals
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
    // slot 1: Helper, one parameter, segment 1 offset 0
    0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // x, by value, slot 0
    0x01, 0x00, 0x08, 0x01, 0x00, 0x00, 0x00,                               // locals: 1 bucket, 1 entry
    0x33, 0x00, 0x00, 0x00, 0x00, 0x00,                                     // bucket 51 -> entry 0
    0x03, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,                         // x, end of chain
    // slot 2: Min, external, no bytecode
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
    // directory
    'd', 'i', 'c', 't', 0x20, 0x00, 0x00, 0x00, 0x47, 0x00, 0x00, 0x00,
    's', 'e', 'g', 's', 0x67, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00,
    'f', 'u', 'n', 'c', 0x91, 0x00, 0x00, 0x00, 0x8A, 0x00, 0x00, 0x00,
};

struct Program {
    Dictionary pool;
    SegmentManager segments;
    FunctionManager functions{&pool, 8};
    TaggedFile file{nullptr};

    bool Load(const Bytes& bytes) {
        auto* memory = new MemoryFile(bytes);
        if (!file.OpenRead("p.vrc", memory)) {
            delete memory;
            return false;
        }
        return pool.ReadChunk(file) && segments.Load(file) && functions.ReadChunk(file);
    }
};

std::string NameOf(const Dictionary& pool, int32_t id) {
    int32_t length = 0;
    const char* p = pool.Get(id, &length);
    return p ? std::string(p, static_cast<size_t>(length)) : "<none>";
}

TEST(FunctionTableTest, GoldenFileLoads) {
    ASSERT_EQ(kGolden.size(), 0x11Bu + 36);
    Program p;
    ASSERT_TRUE(p.Load(kGolden)) << p.functions.ErrorText().Text();
    EXPECT_EQ(p.functions.Used(), 3);
    EXPECT_EQ(p.functions.Bits(), 8);
    EXPECT_EQ(p.functions.NonEmptyBuckets(), 2);
    EXPECT_EQ(p.functions.BucketHead(9), 2);
    EXPECT_EQ(p.functions.NextSlot(2), 1);

    Function* main = p.functions.Find("MAIN", -1);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->index, 0);
    EXPECT_EQ(main->segment, 0);
    EXPECT_EQ(p.functions.Find("main", 4), main);
    Function* helper = p.functions.Find("helper", -1);
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(helper->segment, 1);
    ASSERT_EQ(helper->Parameters().Count(), 1);
    EXPECT_STREQ(helper->Parameters().First()->name.Text(), "x");
    EXPECT_EQ(helper->Parameters().First()->slot, 0);
    EXPECT_EQ(helper->Locals()->Count(), 1);
    Function* min = p.functions.Find("Min", -1);
    ASSERT_NE(min, nullptr);
    EXPECT_TRUE(min->IsExternal());
    EXPECT_EQ(min->segment, -1);
    EXPECT_EQ(min->offset, -1);
    EXPECT_EQ(p.functions.Find("Max", -1), nullptr);
    EXPECT_EQ(p.functions.Find("Helpers", -1), nullptr);

    EXPECT_EQ(p.segments.CurrentSegment()->Used(), 10);
    EXPECT_EQ(NameOf(p.pool, 4), "hello");
}

TEST(FunctionTableTest, WritersProduceTheGoldenFile) {
    Dictionary pool;
    SegmentManager segments;
    FunctionManager functions(&pool, 8);
    Segment* main = segments.CurrentSegment();
    Segment* helperCode = segments.AddSegment();
    functions.AddFunction("Main", -1, 0, main->Index(), 0);
    Function* helper = functions.AddFunction("Helper", -1, 0, helperCode->Index(), 0);
    functions.AddExternal("Min", -1, 0);
    EXPECT_EQ(helper->AddParameter(0, "x", -1), 0);
    int32_t hello = pool.Add("hello", -1);
    int32_t at = main->WriteU16(0, 0x4001);
    at = main->WriteU32(at, static_cast<uint32_t>(hello));
    at = main->WriteU16(at, 0x0015);
    main->WriteU16(at, 0x0043);
    helperCode->WriteU16(helperCode->WriteU32(helperCode->WriteU16(0, 0x4006), 0), 0x003b);

    auto* out = new MemoryFile;
    TaggedFile writer(nullptr);
    ASSERT_TRUE(writer.OpenWriteFile(out, nullptr, 0));
    ASSERT_TRUE(pool.WriteChunk(writer));
    ASSERT_TRUE(segments.Save(writer));
    ASSERT_TRUE(functions.WriteChunk(writer)) << functions.ErrorText().Text();
    ASSERT_TRUE(writer.Finish());
    EXPECT_EQ(out->bytes, kGolden);
}

TEST(FunctionTableTest, ChainsFollowLengthThenCompareTextNoCase) {
    Dictionary pool;
    FunctionManager table(&pool, 0); // one bucket: every name in one chain
    EXPECT_EQ(table.BucketCount(), 1);
    for (const char* name : {"abcd", "ab", "ABD", "abc", "Abc", "b"}) table.AddExternal(name, -1, 0);
    std::vector<std::string> chain;
    for (int32_t slot = table.BucketHead(0); slot >= 0; slot = table.NextSlot(slot))
        chain.push_back(table.At(slot)->name.Text());
    // Equal names keep their insertion order.
    EXPECT_EQ(chain, (std::vector<std::string>{"b", "ab", "abc", "Abc", "ABD", "abcd"}));
    EXPECT_EQ(table.Find("ABC", -1)->name, String("abc"));
    EXPECT_EQ(table.Find("abe", -1), nullptr);
    EXPECT_EQ(table.Find("abcde", -1), nullptr);
    EXPECT_EQ(table.Find(nullptr, 0), nullptr);
    EXPECT_EQ(table.NonEmptyBuckets(), 1);

    // 64 slots, then 128.
    FunctionManager grow(&pool, 8);
    for (int i = 0; i < 64; ++i) grow.AddExternal(("f" + std::to_string(i)).c_str(), -1, 2);
    EXPECT_EQ(grow.Capacity(), 64);
    Function* extra = grow.AddExternal("one-more", -1, 2);
    EXPECT_EQ(grow.Capacity(), 128);
    EXPECT_EQ(extra->flags, 3u);
    EXPECT_EQ(extra->index, 64);
    for (int i = 0; i < 64; ++i) EXPECT_NE(grow.Find(("F" + std::to_string(i)).c_str(), -1), nullptr);

    // A copy carries flags, name and parameters, without bytecode.
    Function* source = grow.Find("f3", -1);
    source->AddParameter(1, "ref", -1);
    source->AddParameter(0, "val", -1);
    Function* copy = table.AddCopy(*source);
    EXPECT_EQ(table.Find("F3", -1), copy);
    EXPECT_EQ(copy->flags, 3u);
    EXPECT_EQ(copy->segment, -1);
    ASSERT_EQ(copy->Parameters().Count(), 2);
    EXPECT_EQ(copy->Parameters().First()->flags, 1u);
    EXPECT_STREQ(copy->Parameters().Next()->name.Text(), "val");
}

// The golden file with its "func" section replaced.
Bytes WithFunc(const Bytes& func) {
    Bytes dict(kGolden.begin() + 0x20, kGolden.begin() + 0x67);
    Bytes segs(kGolden.begin() + 0x67, kGolden.begin() + 0x91);
    return Container({{"dict", dict}, {"segs", segs}, {"func", func}});
}

Bytes Func(uint32_t b, int bits, uint32_t s, const std::vector<std::pair<uint32_t, uint32_t>>& buckets,
           const std::vector<uint32_t>& links, const Bytes& slots) {
    Bytes f;
    U16(f, b);
    U8(f, static_cast<uint32_t>(bits));
    U32(f, s);
    for (auto [bucket, first] : buckets) {
        U16(f, bucket);
        U32(f, first);
    }
    for (uint32_t link : links) U32(f, link);
    test::Append(f, slots);
    return f;
}

// A function record with no parameters and an empty local table.
Bytes Slot(uint32_t name, uint32_t parameters = 0) {
    Bytes s;
    for (uint32_t v : {name, parameters, 0u, 0u, 0u}) U32(s, v);
    return s;
}
Bytes EmptyLocals() { return Bytes{0, 0, 8, 0, 0, 0, 0}; }
Bytes SlotWithLocals(uint32_t name) {
    Bytes s = Slot(name);
    test::Append(s, EmptyLocals());
    return s;
}

TEST(FunctionTableTest, HostileTablesAreRefused) {
    const char* corrupt = "File is either corrupt or not a valid compiled Vorn Script file";
    Bytes two = SlotWithLocals(0);
    test::Append(two, SlotWithLocals(1));
    Bytes badParameterSlot = Slot(1, 1);
    for (uint32_t v : {3u, 0u, 5u}) U32(badParameterSlot, v); // slot 5 of an empty table
    test::Append(badParameterSlot, EmptyLocals());
    Bytes badParameterName = Slot(1, 1);
    for (uint32_t v : {99u, 0u, 0u}) U32(badParameterName, v);
    test::Append(badParameterName, EmptyLocals());
    Bytes manyParameters = Slot(1, 0x15555556); // x 12 wraps 32 bits
    test::Append(manyParameters, EmptyLocals());

    struct Case {
        const char* what;
        Bytes func;
    };
    const Case cases[] = {
        {"bits -1", Func(0, -1, 0, {}, {}, {})},
        {"bits 31", Func(0, 31, 0, {}, {}, {})},
        {"bits 30 for a tiny section", Func(0, 30, 0, {}, {}, {})},
        {"bucket index out of range", Func(1, 2, 2, {{4, 0}}, {0xFFFFFFFF, 0xFFFFFFFF}, two)},
        {"first slot out of range", Func(1, 2, 2, {{1, 2}}, {0xFFFFFFFF, 0xFFFFFFFF}, two)},
        {"next link out of range", Func(1, 2, 2, {{1, 0}}, {7, 0xFFFFFFFF}, two)},
        {"link to itself", Func(1, 2, 2, {{1, 0}}, {0, 0xFFFFFFFF}, two)},
        {"two-slot cycle", Func(1, 2, 2, {{1, 0}}, {1, 0}, two)},
        {"chains share a slot", Func(2, 2, 2, {{1, 0}, {2, 1}}, {1, 0xFFFFFFFF}, two)},
        {"slot count beyond the section", Func(0, 2, 0x10000000, {}, {}, {})},
        {"slot count of 2^32 - 1", Func(0, 2, 0xFFFFFFFF, {}, {}, {})},
        {"bucket records beyond the section", Func(0xFFFF, 2, 0, {}, {}, {})},
        {"name not in the pool", Func(0, 2, 1, {}, {0xFFFFFFFF}, SlotWithLocals(5))},
        {"parameter slot outside locals", Func(0, 2, 1, {}, {0xFFFFFFFF}, badParameterSlot)},
        {"parameter name not in the pool", Func(0, 2, 1, {}, {0xFFFFFFFF}, badParameterName)},
        {"parameter count beyond the section", Func(0, 2, 1, {}, {0xFFFFFFFF}, manyParameters)},
    };
    for (const Case& c : cases) {
        Program p;
        EXPECT_FALSE(p.Load(WithFunc(c.func))) << c.what;
        EXPECT_STREQ(p.functions.ErrorText().Text(), corrupt) << c.what;
        // Nothing half-built is left for lookups to trip over.
        EXPECT_EQ(p.functions.Used(), 0) << c.what;
        EXPECT_EQ(p.functions.Find("Main", -1), nullptr);
        EXPECT_NE(p.functions.AddExternal("Later", -1, 0), nullptr);
        EXPECT_NE(p.functions.Find("later", -1), nullptr);
    }

    // Bits 0 and a plain empty table are fine.
    Program empty;
    ASSERT_TRUE(empty.Load(WithFunc(Func(0, 0, 0, {}, {}, {}))));
    EXPECT_EQ(empty.functions.BucketCount(), 1);
    EXPECT_EQ(empty.functions.Find("Main", -1), nullptr);

    Program missing;
    auto* memory = new MemoryFile(Container({{"dict", Bytes(kGolden.begin() + 0x20, kGolden.begin() + 0x67)}}));
    ASSERT_TRUE(missing.file.OpenRead("m.vrc", memory));
    ASSERT_TRUE(missing.pool.ReadChunk(missing.file));
    EXPECT_FALSE(missing.functions.ReadChunk(missing.file));
    EXPECT_STREQ(missing.functions.ErrorText().Text(), "Invalid section");
}

TEST(FunctionTableTest, TruncationsAndFlipsFailCleanly) {
    for (size_t n = 0; n < kGolden.size(); ++n) {
        Program p;
        EXPECT_FALSE(p.Load(Bytes(kGolden.begin(), kGolden.begin() + static_cast<long>(n)))) << n;
    }
    // Cut inside the "func" section of an otherwise sound file.
    Bytes func(kGolden.begin() + 0x91, kGolden.begin() + 0x11B);
    for (size_t n = 0; n < func.size(); ++n) {
        Program p;
        EXPECT_FALSE(p.Load(WithFunc(Bytes(func.begin(), func.begin() + static_cast<long>(n))))) << n;
        EXPECT_FALSE(p.functions.ErrorText().IsEmpty());
        EXPECT_EQ(p.functions.Find("Helper", -1), nullptr);
    }
    std::mt19937 random(2024);
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = kGolden;
        int flips = 1 + static_cast<int>(random() % 3);
        for (int k = 0; k < flips; ++k) damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1 + random() % 255);
        Program p;
        bool loaded = p.Load(damaged);
        // Whatever loaded stays inside its buffers (ASan checks the reads).
        for (int32_t i = 0; i < p.pool.Count(); ++i) NameOf(p.pool, i);
        for (int32_t i = 0; i < p.segments.Count(); ++i)
            if (Segment* s = p.segments.SegmentAt(i)) std::string(s->Code(), s->Code() + s->Used());
        if (loaded) {
            for (const char* name : {"Main", "Helper", "Min", "x"}) p.functions.Find(name, -1);
            for (int32_t i = 0; i < p.functions.Used(); ++i) ASSERT_NE(p.functions.At(i), nullptr);
        }
    }
}

} // namespace
} // namespace vorn
