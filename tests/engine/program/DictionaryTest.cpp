#include "engine/program/Dictionary.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/program/TaggedFile.h"
#include "tests/engine/files/MemoryFile.h"
#include "tests/engine/program/ContainerBytes.h"

namespace vorn {
namespace {

using test::Bytes;
using test::Container;
using test::MemoryFile;
using test::U32;

std::string Entry(const Dictionary& d, int32_t i) {
    int32_t length = -7;
    const char* p = d.Get(i, &length);
    return p ? std::string(p, static_cast<size_t>(length)) : std::string("<null>");
}

Bytes DictSection(uint32_t n, uint32_t d, uint32_t word, const std::vector<std::pair<uint32_t, uint32_t>>& records,
                  const std::string& data) {
    Bytes b;
    U32(b, n);
    U32(b, d);
    U32(b, word);
    for (auto [offset, length] : records) {
        U32(b, offset);
        U32(b, length);
    }
    test::Text(b, data);
    return b;
}

// Loads a "dict" section given as bytes; the TaggedFile keeps the file.
bool Load(Dictionary& pool, TaggedFile& tf, const Bytes& section) {
    EXPECT_TRUE(tf.OpenRead("t.vrc", new MemoryFile(Container({{"dict", section}}))));
    return pool.ReadChunk(tf);
}

TEST(DictionaryTest, AddSharesBytesWithinTheCurrentBlock) {
    Dictionary pool;
    EXPECT_EQ(pool.Add("abc", -1), 0);
    EXPECT_EQ(pool.Add("bc", 2), 1);
    int32_t length = 0;
    const char* abc = pool.Get(0, &length);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(pool.Get(1), abc + 1);
    // The same text again is a new entry on the same bytes.
    EXPECT_EQ(pool.Add("abc", 3), 2);
    EXPECT_EQ(pool.Get(2), abc);
    // An empty text is valid and points at offset 0 of its block.
    EXPECT_EQ(pool.Add("", 0), 3);
    EXPECT_EQ(pool.Get(3, &length), abc);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(pool.Add(nullptr, 5), -1);
    EXPECT_EQ(pool.Add("x", -2), -1);

    EXPECT_EQ(pool.Get(-1, &length), nullptr);
    EXPECT_EQ(pool.Get(pool.Count(), &length), nullptr);
    EXPECT_EQ(length, 0); // untouched
}

TEST(DictionaryTest, BlocksAreMadeAsTextsNeedThem) {
    Dictionary pool;
    std::string big(9000, 'q');
    pool.Add(big.c_str(), 9000);
    const char* first = pool.Get(0);
    // The 16384-byte block has room for 7000 more bytes, then a new one starts.
    std::string fill(7384, 'r');
    pool.Add(fill.c_str(), 7384);
    EXPECT_EQ(pool.Get(1), first + 9000);
    pool.Add("zz", 2);
    const char* third = pool.Get(2);
    EXPECT_TRUE(third < first || third >= first + 16384);
    // A short text equal to one in the old block is stored again.
    pool.Add("qq", 2);
    EXPECT_EQ(pool.Get(3), third + 2);
    // Entry arrays grow in steps of 128.
    for (int i = 0; i < 300; ++i) pool.Add("w", 1);
    EXPECT_EQ(pool.Count(), 304);
    EXPECT_EQ(Entry(pool, 303), "w");
    EXPECT_EQ(Entry(pool, 0), big);
}

TEST(DictionaryTest, SharingFindsWhatAFullScanFinds) {
    // Texts from a small alphabet, many of them pieces of earlier ones, some
    // across the joins of appended texts: every Add must land where a plain
    // scan of the block's bytes puts it (where found, else at the end).
    std::mt19937 random(7);
    Dictionary pool;
    std::string bytes; // the current block as a model
    const char* base = nullptr;
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        if (!bytes.empty() && random() % 2 == 0) {
            size_t at = random() % bytes.size();
            text = bytes.substr(at, 1 + random() % 12);
        } else {
            for (int n = 1 + static_cast<int>(random() % 10); n > 0; --n) text += "abcxyz_"[random() % 7];
        }
        if (random() % 5 == 0) text += bytes.substr(0, 2); // may span a join once appended
        int32_t n = static_cast<int32_t>(text.size());
        int32_t scanned = n <= static_cast<int32_t>(bytes.size())
                              ? FindBytesSkip(text.data(), n, bytes.data(), static_cast<int32_t>(bytes.size()))
                              : -1;
        size_t found = scanned < 0 ? std::string::npos : static_cast<size_t>(scanned);
        int32_t id = pool.Add(text.c_str(), static_cast<int32_t>(text.size()));
        ASSERT_EQ(Entry(pool, id), text);
        if (!base) base = pool.Get(id) - (found == std::string::npos ? bytes.size() : found);
        if (found == std::string::npos) {
            if (bytes.size() + text.size() > 8192) break; // the block is full: a new one starts
            ASSERT_EQ(pool.Get(id), base + bytes.size()) << text;
            bytes += text;
        } else {
            ASSERT_EQ(pool.Get(id), base + found) << text;
        }
    }
    EXPECT_GT(bytes.size(), 2000u);
}

TEST(DictionaryTest, ReadChunkLoadsAndClamps) {
    Dictionary pool;
    pool.Add("before", -1);
    TaggedFile tf(nullptr);
    Bytes section = DictSection(5, 10, 0xCAFEF00D, {{0, 5}, {5, 5}, {3, 4}, {12, 7}, {2, 0x7FFFFFFF}}, "helloworld");
    ASSERT_TRUE(Load(pool, tf, section));
    EXPECT_EQ(pool.Count(), 5);
    EXPECT_EQ(pool.HeaderWord(), 0xCAFEF00Du);
    EXPECT_EQ(Entry(pool, 0), "hello");
    EXPECT_EQ(Entry(pool, 1), "world");
    EXPECT_EQ(Entry(pool, 2), "lowo");
    EXPECT_EQ(Entry(pool, 3), "d"); // offset beyond D: D - 1, at most 1 byte
    EXPECT_EQ(Entry(pool, 4), "lloworld");
    // Texts already in the loaded data still go into a new block.
    EXPECT_EQ(pool.Add("world", 5), 5);
    const char* loaded = pool.Get(1);
    const char* added = pool.Get(5);
    EXPECT_TRUE(added < loaded - 5 || added > loaded + 10);
}

TEST(DictionaryTest, HostileCountsOffsetsAndLengths) {
    const char* corrupt = "File is either corrupt or not a valid compiled Vorn Script file";
    struct Case {
        Bytes section;
        bool loads;
    };
    Bytes nTooBig = DictSection(3, 0, 0, {{0, 0}}, "");
    Bytes nOverflow = DictSection(0x20000001, 0, 0, {{0, 0}}, "");
    Bytes nHuge = DictSection(0xFFFFFFFF, 0, 0, {}, "");
    Bytes dTooBig = DictSection(1, 50, 0, {{0, 1}}, "abc");
    Bytes dHuge = DictSection(0, 0xFFFFFFF0, 0, {}, "");
    for (const Bytes& bad : {nTooBig, nOverflow, nHuge, dTooBig, dHuge}) {
        Dictionary pool;
        pool.Add("old", -1);
        TaggedFile tf(nullptr);
        EXPECT_FALSE(Load(pool, tf, bad));
        EXPECT_STREQ(pool.ErrorText().Text(), corrupt);
        EXPECT_EQ(pool.Count(), 0); // nothing half-loaded survives
        EXPECT_EQ(pool.Get(0), nullptr);
        EXPECT_EQ(pool.Add("new", -1), 0);
    }

    // Only empty strings and no text data: every entry is the empty text at
    // the block's start, never before it.
    Dictionary empties;
    TaggedFile tf(nullptr);
    ASSERT_TRUE(Load(empties, tf, DictSection(3, 0, 0, {{0, 0}, {5, 0}, {0x80000000u, 0xFFFFFFFFu}}, "")));
    const char* base = empties.Get(0);
    for (int i = 0; i < 3; ++i) {
        int32_t length = -1;
        EXPECT_EQ(empties.Get(i, &length), base);
        EXPECT_EQ(length, 0);
    }

    // Offsets and lengths of 2^31 and more are clamped into the data.
    Dictionary clamps;
    TaggedFile tf2(nullptr);
    ASSERT_TRUE(Load(clamps, tf2,
                     DictSection(4, 4, 0, {{0x80000000u, 2}, {0xFFFFFFFFu, 1}, {1, 0x80000000u}, {3, 0xFFFFFFFFu}},
                                 "wxyz")));
    EXPECT_EQ(Entry(clamps, 0), "wx");
    EXPECT_EQ(Entry(clamps, 1), "w");
    EXPECT_EQ(Entry(clamps, 2), "xyz");
    EXPECT_EQ(Entry(clamps, 3), "z");
}

TEST(DictionaryTest, ReadChunkErrorsComeFromTheContainer) {
    Dictionary pool;
    TaggedFile tf(nullptr);
    ASSERT_TRUE(tf.OpenRead("t.vrc", new MemoryFile(Container({{"segs", Bytes(8, 0)}}))));
    EXPECT_FALSE(pool.ReadChunk(tf));
    EXPECT_STREQ(pool.ErrorText().Text(), "Invalid section");

    Dictionary cut;
    TaggedFile tf2(nullptr);
    EXPECT_FALSE(Load(cut, tf2, Bytes{1, 0, 0, 0, 0}));
    EXPECT_STREQ(cut.ErrorText().Text(), "Read past end of section boundary");
}

TEST(DictionaryTest, WriteChunkRoundTrip) {
    Dictionary pool;
    pool.Add("alpha", -1);
    pool.Add("lph", -1);
    pool.Add("", 0);
    std::string big(9000, 'b');
    pool.Add(big.c_str(), 9000); // a second block
    pool.Add("alpha", -1);       // stored again, in the second block
    pool.SetHeaderWord(77);

    auto* out = new MemoryFile;
    TaggedFile writer(nullptr);
    ASSERT_TRUE(writer.OpenWriteFile(out, nullptr, 0));
    ASSERT_TRUE(pool.WriteChunk(writer));
    ASSERT_TRUE(writer.Finish());

    // "alpha" once per block: 5 + 9000 + 5 bytes of text data.
    const Bytes& b = out->bytes;
    EXPECT_EQ(b[32], 5);            // N
    EXPECT_EQ(b[36] | b[37] << 8, 9010); // D
    EXPECT_EQ(b[40], 77);

    Dictionary back;
    TaggedFile reader(nullptr);
    ASSERT_TRUE(reader.OpenRead("r.vrc", new MemoryFile(b)));
    ASSERT_TRUE(back.ReadChunk(reader));
    ASSERT_EQ(back.Count(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Entry(back, i), Entry(pool, i)) << i;
    EXPECT_EQ(back.Get(1), back.Get(0) + 1);
    EXPECT_EQ(back.HeaderWord(), 77u);
}

TEST(DictionaryTest, EveryCutSectionFailsCleanly) {
    Dictionary pool;
    for (const char* s : {"one", "two", "three", "fourteen"}) pool.Add(s, -1);
    auto* out = new MemoryFile;
    TaggedFile writer(nullptr);
    ASSERT_TRUE(writer.OpenWriteFile(out, nullptr, 0));
    ASSERT_TRUE(pool.WriteChunk(writer));
    ASSERT_TRUE(writer.Finish());
    Bytes whole = out->bytes;
    // A section cut short inside a well-formed file.
    Bytes section(whole.begin() + 32, whole.end() - 12);
    for (size_t n = 0; n < section.size(); ++n) {
        Dictionary d;
        TaggedFile tf(nullptr);
        EXPECT_FALSE(Load(d, tf, Bytes(section.begin(), section.begin() + static_cast<long>(n)))) << n;
        EXPECT_EQ(d.Count(), 0);
    }
}

} // namespace
} // namespace vorn
