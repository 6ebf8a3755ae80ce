// Index files: the header and page format, the key order, the B-tree
// operations against a multiset and an independent checker, walks while
// other writers change the tree, and hostile files.
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <set>

#include "tests/database/format/XBaseTestSupport.h"

namespace vorn::test {
namespace {

class KPZIndexTest : public XBaseTest {
protected:
    void Make(KPZIndexFile& index, const char* name, uint32_t flags, const char* expression = "KEY") {
        ASSERT_TRUE(index.CreateFile(LocationData, name, expression, flags)) << index.ErrorText().Text();
    }
    void Insert(KPZIndexFile& index, int32_t record, const std::string& key) {
        ASSERT_TRUE(index.Insert(record, key.data(), static_cast<int32_t>(key.size()))) << index.ErrorText().Text();
    }
    // The entries in walk order, first to last.
    static std::vector<IndexEntry> Walk(KPZIndexFile& index) {
        std::vector<IndexEntry> out;
        int32_t record = 0;
        const char* key = nullptr;
        EXPECT_TRUE(index.First(&record, 1)) << index.ErrorText().Text();
        if (record) out.push_back({index.Stack().Top()->Key(index.Stack().Top()->cursor), record});
        while (record) {
            EXPECT_TRUE(index.Next(&record, &key, 1)) << index.ErrorText().Text();
            if (record) out.push_back({key, record});
        }
        return out;
    }
    static std::vector<IndexEntry> WalkBack(KPZIndexFile& index) {
        std::vector<IndexEntry> out;
        int32_t record = 0;
        const char* key = nullptr;
        EXPECT_TRUE(index.Last(&record, 1));
        if (record) out.push_back({index.Stack().Top()->Key(index.Stack().Top()->cursor), record});
        while (record) {
            EXPECT_TRUE(index.Previous(&record, &key, 1));
            if (record) out.push_back({key, record});
        }
        return out;
    }
};

TEST_F(KPZIndexTest, NewIndexHasTheFormatsBytes) {
    KPZIndexFile index(&opener);
    Make(index, "a.vrx", 5, "UPPER(NAME)");
    std::string bytes = Bytes("a.vrx");
    ASSERT_EQ(bytes.size(), 2048u);
    const unsigned char head[] = {0x4B, 0x50, 0x5A, 0x49, 0x03, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01,
                                  0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x04, 0x6C, 0x00, 0x05, 0x00, 0x00, 0x00};
    EXPECT_EQ(bytes.substr(0, sizeof head), std::string(reinterpret_cast<const char*>(head), sizeof head));
    EXPECT_EQ(bytes.substr(27, 12), std::string("UPPER(NAME)\0", 12));
    EXPECT_EQ(bytes.substr(427), std::string(2048 - 427, '\0'));
    EXPECT_STREQ(index.Expression().Text(), "UPPER(NAME)");

    std::string longest(399, 'x');
    KPZIndexFile other(&opener);
    Make(other, "b.vrx", 0, longest.c_str());
    EXPECT_EQ(other.Expression().Length(), 399);
    std::string tooLong(400, 'x');
    ScratchTree::WriteFile(DataPath("c.vrx"), "keep");
    std::string none;
    MemoryFaults faults;
    MemoryStore store(&none, &faults);
    EXPECT_FALSE(other.Create(&store, "c.vrx", tooLong.c_str(), 0));
    EXPECT_STREQ(other.ErrorText().Text(), "Error creating 'c.vrx': the key expression is longer than 399 characters");
    EXPECT_EQ(faults.writes, 0);
}

TEST_F(KPZIndexTest, OpenChecksTheHeader) {
    KPZIndexFile index(&opener);
    Make(index, "h.vrx", 0);
    index.Close();
    const std::string good = Bytes("h.vrx");
    auto with = [&](size_t at, std::initializer_list<uint8_t> values) {
        std::string s = good;
        size_t i = at;
        for (uint8_t v : values) s[i++] = static_cast<char>(v);
        return s;
    };
    const char* corruptSizes = "Error reading from 'h.vrx': File is corrupt (the page size or the entry size is out of range)";
    const char* corruptMax = "Error reading from 'h.vrx': File is corrupt (the maximum entries per page is out of range)";
    const char* corruptRoot = "Error reading from 'h.vrx': File is corrupt (the root page is out of range)";
    const std::pair<std::string, const char*> cases[] = {
        {with(0, {'A', 'B', 'C', 'D'}), "'h.vrx' is either corrupt or is not a valid index file"},
        {with(4, {4}), "'h.vrx' was created by a newer version of the software"},
        {with(4, {0}), nullptr},
        {with(19, {0xAA, 0x01}), corruptSizes},  // page size 426
        {with(21, {8, 0}), corruptSizes},        // entry size 8
        {with(17, {1, 0}), corruptMax},          // 1 entry a page
        {with(17, {10, 0}), corruptMax},         // more than (1024 - 8) / 108
        {with(17, {9, 0}), nullptr},             // as many as fit
        {with(13, {0, 0, 0, 0}), corruptRoot},   // root 0
        {with(13, {2, 0, 0, 0}), corruptRoot},   // root = page count
        {good.substr(0, 426), "Error reading from 'h.vrx': File is corrupt (unexpected end of file)"},
    };
    for (const auto& [bytes, message] : cases) {
        ScratchTree::WriteFile(DataPath("h.vrx"), bytes);
        KPZIndexFile reader(&opener);
        EXPECT_EQ(reader.Open(LocationData, "h.vrx", 3), message == nullptr) << (message ? message : "accepted");
        if (message) {
            EXPECT_STREQ(reader.ErrorText().Text(), message);
        }
    }
}

TEST_F(KPZIndexTest, KeysCompareByTheMixedRule) {
    struct Case {
        const char* search;
        const char* entry;
        int exact;
        uint32_t flags;
        int sign;
    };
    const Case cases[] = {
        {"9", "10", 1, 0, -1},          {"9", "10", 1, kIndexString, 1},  {"1.0", "1", 1, 0, 0},
        {"-2", "1", 1, 0, -1},          {" 5", "5", 1, 0, 0},             {"5 ", "5", 1, 0, 1},
        {"1e3", "999", 1, 0, 1},        {".5", "0.50", 1, 0, 0},          {"+7", "7", 1, 0, 0},
        {"", "0", 1, 0, 0},             {"", "-1", 1, 0, 1},              {"0x10", "9", 1, 0, -1},
        {"inf", "9", 1, 0, 1},          {"nan", "9", 1, 0, 1},            {"1e999", "9", 1, 0, -1},
        {"9", "1e999", 1, 0, 1},        {"1e-999", "0", 1, 0, 0},         {"1e", "1", 1, 0, 1},
        {"abc", "abd", 1, 0, -1},       {"ab", "abc", 1, 0, -1},          {"\xe9", "z", 1, 0, 1},
        {"AB", "ABC", 0, 0, 0},         {"AB", "AA", 0, 0, 1},            {"ABC", "AB", 0, 0, 1},
        {"9", "10", 0, 0, 1},           {"9", "10", 1, kIndexDescending, 1}, {"a", "b", 1, kIndexDescending, 1},
        {"AB", "ABC", 0, kIndexDescending, 0},
    };
    for (const Case& c : cases) {
        int result = CompareKeys(c.search, static_cast<int32_t>(std::strlen(c.search)), c.entry,
                                 static_cast<int32_t>(std::strlen(c.entry)), c.exact, c.flags);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.search << " / " << c.entry;
        if (c.exact) {
            EXPECT_EQ((result > 0) - (result < 0), OracleCompare(c.search, c.entry, c.flags)) << c.search;
        }
    }
    // Zero-padded digits as numeric keys are stored, of as many digits or
    // not; past 15 digits two texts can be one double.
    EXPECT_EQ(CompareKeys("10000000000000001", 17, "10000000000000000", 17, 1, 0), 0);
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        auto digits = [&](int length) {
            std::string text;
            for (int k = 0; k < length; ++k) text += static_cast<char>('0' + (k < length - 3 ? random() % 2 : random() % 10));
            if (random() % 8 == 0 && !text.empty()) text[random() % text.size()] = "-. x"[random() % 4];
            return text;
        };
        int length = 1 + static_cast<int>(random() % 18);
        std::string a = digits(length), b = digits(random() % 4 ? length : 1 + static_cast<int>(random() % 18));
        uint32_t flags = random() % 4 == 0 ? kIndexDescending : 0;
        int result = CompareKeys(a.data(), static_cast<int32_t>(a.size()), b.data(), static_cast<int32_t>(b.size()), 1, flags);
        ASSERT_EQ((result > 0) - (result < 0), OracleCompare(a.c_str(), b.c_str(), flags)) << a << " / " << b;
    }
    // Either side overflowing makes the pair text, so the order stays one way.
    EXPECT_EQ(CompareNumericTexts("1e999", 5, "1", 1), -2);
    EXPECT_EQ(CompareNumericTexts("1", 1, "-1e999", 6), -2);
    EXPECT_EQ(CompareNumericTexts("nan", 3, "1", 1), -2);
    EXPECT_EQ(CompareNumericTexts("2.5", 3, "25e-1", 5), 0);
}

TEST_F(KPZIndexTest, TheTreeSplitsFindsAndRefusesAsDescribed) {
    KPZIndexFile index(&opener);
    Make(index, "s.vrx", 0);
    for (int32_t r = 1; r <= 9; ++r) Insert(index, r, "K" + std::to_string(r));
    std::string bytes = Bytes("s.vrx");
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(GetU32(b + 9), 4u);
    EXPECT_EQ(GetU32(b + 13), 3u);
    EXPECT_EQ(GetU32(b + 5), 9u);
    EXPECT_EQ(GetU32(b + 1024), 4u);
    EXPECT_EQ(GetU32(b + 2048), 4u);
    EXPECT_EQ(GetU32(b + 3072), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 3072 + 12)), "K5");
    std::vector<IndexEntry> entries;
    EXPECT_TRUE(CheckIndex(bytes, &entries));

    // Unique: an equal key is refused, numerically unless the string bit is set.
    struct Case {
        uint32_t flags;
        const char* first;
        const char* second;
        bool refused;
    };
    const Case cases[] = {{kIndexUnique, "1.0", "1", true},
                          {kIndexUnique | kIndexString, "1.0", "1", false},
                          {kIndexUnique, "abc", "abc", true},
                          {0, "abc", "abc", false}};
    for (const Case& c : cases) {
        KPZIndexFile u(&opener);
        Make(u, "u.vrx", c.flags);
        Insert(u, 1, c.first);
        std::string before = Bytes("u.vrx");
        EXPECT_EQ(u.Insert(2, c.second, -1), c.refused ? 0 : 1) << c.flags;
        if (c.refused) {
            EXPECT_EQ(std::string(u.ErrorText().Text()), std::string("Index 'u.vrx' was created with the UNIQUE flag and the key '") + c.second + "' already exists in the index file");
            EXPECT_EQ(Bytes("u.vrx"), before);
        }
    }
    // The order of 10 and 9 depends on the string bit; descending reverses.
    const std::pair<uint32_t, std::vector<int32_t>> orders[] = {
        {0, {2, 1, 3}}, {kIndexString, {1, 3, 2}}, {kIndexDescending, {3, 1, 2}}};
    for (const auto& [flags, expected] : orders) {
        KPZIndexFile o(&opener);
        Make(o, "o.vrx", flags);
        Insert(o, 1, "10");
        Insert(o, 2, "9");
        Insert(o, 3, "100");
        std::vector<int32_t> records;
        for (const IndexEntry& e : Walk(o)) records.push_back(e.record);
        EXPECT_EQ(records, expected) << flags;
    }
    // Deleting an entry that is not there.
    KPZIndexFile d(&opener);
    Make(d, "d.vrx", 0);
    Insert(d, 8, "X");
    EXPECT_FALSE(d.Delete(7, "X", 1));
    EXPECT_STREQ(d.ErrorText().Text(), "Record is not in index");
    // A prefix search finds the leftmost entry that starts with the key; an
    // exact one without a match stands on the entry before.
    KPZIndexFile p(&opener);
    Make(p, "p.vrx", 0);
    const char* keys[] = {"AA", "ABX", "AB", "ABA", "AC", "B"};
    for (int32_t r = 1; r <= 6; ++r) Insert(p, r, keys[r - 1]);
    int32_t record = 0;
    int found = 0;
    ASSERT_TRUE(p.Find("AB", 2, 0, &record, &found, 1));
    EXPECT_EQ(found, 1);
    EXPECT_EQ(record, 3);
    ASSERT_TRUE(p.Find("ABB", 3, 1, &record, &found, 1));
    EXPECT_EQ(found, 0);
    EXPECT_EQ(record, 4); // ABA
    ASSERT_TRUE(p.Next(&record, nullptr, 1));
    EXPECT_EQ(record, 2); // ABX
    ASSERT_TRUE(p.Find("0", 1, 1, &record, &found, 1));
    EXPECT_EQ(record, 0);
    ASSERT_TRUE(p.Next(&record, nullptr, 1));
    EXPECT_EQ(record, 1); // from before the first entry to the first
}

// Seeded runs of inserts and deletes against a multiset, with the writer and
// the reader as two index objects (two requests): after every batch the
// checker passes, both walks give the multiset in order, and finds agree.
TEST_F(KPZIndexTest, RandomRunsKeepTheTreeAndTheMultisetEqual) {
    struct Run {
        const char* name;
        uint32_t flags;
        std::function<std::string(std::mt19937&)> key;
    };
    const Run runs[] = {
        {"text", 0, [](std::mt19937& g) { return std::string(1 + g() % 3, static_cast<char>('a' + g() % 6)) + std::to_string(g() % 40); }},
        {"numbers", 0, [](std::mt19937& g) {
             const char* forms[] = {"%d", "%d.5", "-%d", "%de1", "0%d"};
             char text[32];
             std::snprintf(text, sizeof text, forms[g() % 5], static_cast<int>(g() % 300));
             return std::string(text);
         }},
        {"few keys descending", kIndexDescending, [](std::mt19937& g) { return std::string(1, static_cast<char>('A' + g() % 4)); }},
        {"long string keys", kIndexString, [](std::mt19937& g) { return std::string(90 + g() % 20, static_cast<char>('a' + g() % 26)) + std::to_string(g() % 1000); }},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        std::mt19937 g(2024);
        KPZIndexFile writer(&opener);
        Make(writer, "r.vrx", run.flags);
        KPZIndexFile reader(&opener);
        ASSERT_TRUE(reader.Open(LocationData, "r.vrx", 3));
        std::multiset<IndexEntry> expected;
        std::vector<IndexEntry> live;
        int32_t nextRecord = 1;
        for (int batch = 0; batch < 12; ++batch) {
            int inserts = batch < 8 ? 60 : 10;
            int deletes = batch < 4 ? 10 : 50;
            for (int i = 0; i < inserts; ++i) {
                std::string key = run.key(g).substr(0, 99);
                Insert(writer, nextRecord, key);
                expected.insert({key, nextRecord});
                live.push_back({key, nextRecord++});
            }
            for (int i = 0; i < deletes && !live.empty(); ++i) {
                size_t at = g() % live.size();
                IndexEntry gone = live[at];
                live.erase(live.begin() + static_cast<long>(at));
                ASSERT_TRUE(writer.Delete(gone.record, gone.key.data(), static_cast<int32_t>(gone.key.size())))
                    << writer.ErrorText().Text() << " " << gone.key << "/" << gone.record;
                expected.erase(expected.find(gone));
            }
            std::vector<IndexEntry> tree;
            ASSERT_TRUE(CheckIndex(Bytes("r.vrx"), &tree)) << "batch " << batch;
            std::multiset<IndexEntry> seen(tree.begin(), tree.end());
            ASSERT_TRUE(seen == expected) << "batch " << batch;
            EXPECT_TRUE(Walk(reader) == tree);
            std::vector<IndexEntry> back = WalkBack(reader);
            std::reverse(back.begin(), back.end());
            EXPECT_TRUE(back == tree);
            for (int probe = 0; probe < 10 && !live.empty(); ++probe) {
                const IndexEntry& e = live[g() % live.size()];
                int32_t record = 0;
                int found = 0;
                ASSERT_TRUE(reader.Find(e.key.data(), static_cast<int32_t>(e.key.size()), 1, &record, &found, 1));
                EXPECT_EQ(found, 1) << e.key;
                EXPECT_TRUE(reader.Reposition(e.key.data(), static_cast<int32_t>(e.key.size()), e.record, 1)) << e.key;
            }
            // Keys present or not, whole or a prefix, against a scan of the
            // entries in order: the first one not before the key, else the one
            // before it. (Mixed numbers and texts have no one order to scan.)
            if (std::strcmp(run.name, "numbers") == 0) continue;
            for (int probe = 0; probe < 20; ++probe) {
                std::string key = run.key(g).substr(0, 99);
                int exact = probe % 4 == 0 ? 0 : 1;
                if (!exact) key = key.substr(0, 1 + g() % 2);
                size_t at = 0;
                int c = 1;
                while (at < tree.size() &&
                       (c = CompareKeys(key.data(), static_cast<int32_t>(key.size()), tree[at].key.data(),
                                        static_cast<int32_t>(tree[at].key.size()), exact, run.flags)) > 0)
                    ++at;
                int expectFound = at < tree.size() && c == 0;
                int32_t expectRecord = expectFound ? tree[at].record : at > 0 ? tree[at - 1].record : 0;
                int32_t record = -1;
                int found = -1;
                ASSERT_TRUE(reader.Find(key.data(), static_cast<int32_t>(key.size()), exact, &record, &found, 1));
                EXPECT_EQ(found, expectFound) << key << " exact " << exact;
                EXPECT_EQ(record, expectRecord) << key << " exact " << exact;
            }
        }
    }
}

TEST_F(KPZIndexTest, WalksGoOnAfterOtherWritersChangedTheTree) {
    KPZIndexFile walker(&opener);
    Make(walker, "w.vrx", 0);
    KPZIndexFile other(&opener);
    ASSERT_TRUE(other.Open(LocationData, "w.vrx", 3));
    // Keys A (records 1-3), B (4), C (5).
    const std::pair<int32_t, const char*> entries[] = {{1, "A"}, {2, "A"}, {3, "A"}, {4, "B"}, {5, "C"}};
    for (const auto& [r, k] : entries) Insert(other, r, k);
    int32_t record = 0;
    const char* key = nullptr;
    // Reposition stops at the first entry of another key.
    EXPECT_FALSE(walker.Reposition("A", 1, 4, 1));
    EXPECT_STREQ(walker.ErrorText().Text(), "Record is not in index");
    // Standing on (B, 4): another request inserts before it; Next finds it again.
    ASSERT_TRUE(walker.Reposition("B", 1, 4, 1));
    Insert(other, 6, "AA");
    ASSERT_TRUE(walker.Next(&record, &key, 1));
    EXPECT_EQ(record, 5);
    // Standing on (B, 4) again: it is re-keyed away; Next goes on after B.
    ASSERT_TRUE(walker.Reposition("B", 1, 4, 1));
    ASSERT_TRUE(other.Delete(4, "B", 1));
    Insert(other, 4, "Z");
    ASSERT_TRUE(walker.Next(&record, &key, 1));
    EXPECT_EQ(record, 5);
    EXPECT_STREQ(key, "C");
    // Previous from a vanished (C, 5) goes to the entry before C.
    ASSERT_TRUE(walker.Reposition("C", 1, 5, 1));
    ASSERT_TRUE(other.Delete(5, "C", 1));
    ASSERT_TRUE(walker.Previous(&record, &key, 1));
    EXPECT_EQ(record, 6);
    EXPECT_STREQ(key, "AA");
    // Standing on (A, 2) of A3, A2, A1: when it goes, Previous goes to the
    // entry before all the A's, and from before the first entry Next gives
    // the first one after another request inserted in front.
    Insert(other, 7, "1");
    ASSERT_TRUE(walker.Reposition("A", 1, 2, 1));
    ASSERT_TRUE(other.Delete(2, "A", 1));
    ASSERT_TRUE(walker.Previous(&record, &key, 1));
    EXPECT_EQ(record, 7);
    int found = 0;
    ASSERT_TRUE(walker.Find("0", 1, 1, &record, &found, 1));
    EXPECT_EQ(record, 0);
    Insert(other, 8, "0");
    ASSERT_TRUE(walker.Next(&record, &key, 1));
    EXPECT_EQ(record, 8);
    // The walker's own change counts too: its stack is found again.
    ASSERT_TRUE(walker.Reposition("AA", 2, 6, 1));
    Insert(walker, 9, "AB");
    ASSERT_TRUE(walker.Next(&record, &key, 1));
    EXPECT_EQ(record, 9);
    ASSERT_TRUE(walker.Next(&record, &key, 1));
    EXPECT_STREQ(key, "Z");
}

// Another process's writer, asking once: can it take the change lock now?
bool WriterGetsTheLock(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    struct flock request{};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_len = kIndexHeaderSize;
    bool got = fcntl(fd, F_OFD_SETLK, &request) == 0;
    close(fd);
    return got;
}

// A held batch keeps writers out until it is given back, sees their changes
// after, and ends when its own object changes the tree.
TEST_F(KPZIndexTest, HeldWalksExcludeWritersUntilReleased) {
    KPZIndexFile reader(&opener);
    Make(reader, "h.vrx", 0);
    KPZIndexFile other(&opener);
    ASSERT_TRUE(other.Open(LocationData, "h.vrx", 3));
    for (int32_t r = 1; r <= 40; ++r) Insert(other, r, "K" + std::to_string(100 + r));
    ASSERT_TRUE(reader.HoldShared()) << reader.ErrorText().Text();
    EXPECT_FALSE(WriterGetsTheLock(DataPath("h.vrx")));
    int32_t record = 0;
    int found = 0;
    const char* key = nullptr;
    // The walks of the batch, asking for the lock or not, leave it held.
    ASSERT_TRUE(reader.Find("K120", 4, 1, &record, &found, 1));
    EXPECT_EQ(record, 20);
    ASSERT_TRUE(reader.Next(&record, &key, 1));
    EXPECT_STREQ(key, "K121");
    ASSERT_TRUE(reader.Find("K105", 4, 1, &record, &found, 0));
    EXPECT_EQ(record, 5);
    EXPECT_TRUE(reader.Held());
    EXPECT_FALSE(WriterGetsTheLock(DataPath("h.vrx")));
    reader.ReleaseHold();
    EXPECT_TRUE(WriterGetsTheLock(DataPath("h.vrx")));
    // A change made between batches shows in the next one, pages and all.
    for (int32_t r = 41; r <= 60; ++r) Insert(other, r, "K0" + std::to_string(r));
    ASSERT_TRUE(reader.HoldShared());
    ASSERT_TRUE(reader.Find("K050", 4, 1, &record, &found, 1));
    EXPECT_EQ(found, 1);
    EXPECT_EQ(record, 50);
    ASSERT_TRUE(reader.First(&record, 1));
    EXPECT_EQ(record, 41);
    // Its own change gives the held lock back before it takes its own.
    Insert(reader, 61, "K999");
    EXPECT_FALSE(reader.Held());
    EXPECT_TRUE(WriterGetsTheLock(DataPath("h.vrx")));
    ASSERT_TRUE(reader.Last(&record, 1));
    EXPECT_EQ(record, 61);
}

TEST_F(KPZIndexTest, WalksAndChangesFailWithTheirMessages) {
    MemoryOpener memory;
    KPZIndexFile index(&memory);
    ASSERT_TRUE(index.CreateFile(0, "m.vrx", "K", 0));
    for (int32_t r = 1; r <= 20; ++r) ASSERT_TRUE(index.Insert(r, std::to_string(r).c_str(), -1));
    int32_t record = 0;
    int found = 0;
    const char* key = nullptr;
    std::function<int()> walks[] = {
        [&] { return index.Find("5", 1, 1, &record, &found, 1); }, [&] { return index.First(&record, 1); },
        [&] { return index.Last(&record, 1); },                     [&] { return index.Next(&record, &key, 1); },
        [&] { return index.Previous(&record, &key, 1); },           [&] { return index.Reposition("5", 1, 5, 1); },
    };
    memory.faults.failLocks = true;
    for (auto& walk : walks) {
        EXPECT_EQ(walk(), 0);
        EXPECT_STREQ(index.ErrorText().Text(), "Error locking 'm.vrx' for read: memory store failure");
    }
    EXPECT_FALSE(index.Insert(30, "30", 2));
    EXPECT_STREQ(index.ErrorText().Text(), "Error locking 'm.vrx' for write: memory store failure");
    EXPECT_FALSE(index.Delete(3, "3", 1));
    memory.faults.failLocks = false;
    memory.faults.failReads = true;
    for (auto& walk : walks) {
        EXPECT_EQ(walk(), 0);
        EXPECT_STREQ(index.ErrorText().Text(), "Error reading from 'm.vrx': memory store failure");
    }
    memory.faults.failReads = false;
    // A write failing part way through a split (after the header with the
    // new page count and the left half) still moves the change counter, so
    // other readers drop what they cached.
    ASSERT_TRUE(index.CreateFile(0, "s.vrx", "K", 0));
    for (int32_t r = 1; r <= 8; ++r) ASSERT_TRUE(index.Insert(r, std::to_string(r).c_str(), -1));
    const uint8_t* header = reinterpret_cast<const uint8_t*>(memory.files["s.vrx"].data());
    memory.faults.writes = 0;
    memory.faults.failWrite = 2;
    EXPECT_FALSE(index.Insert(9, "9", 1));
    memory.faults.failWrite = -1;
    header = reinterpret_cast<const uint8_t*>(memory.files["s.vrx"].data());
    EXPECT_EQ(GetU32(header + 5), 9u);
    EXPECT_EQ(GetU32(header + 9), 3u);
}

// Damaged index files: clear errors, no crash, and no write from a walk.
TEST_F(KPZIndexTest, HostileIndexFilesAreRefused) {
    MemoryOpener memory;
    KPZIndexFile maker(&memory);
    ASSERT_TRUE(maker.CreateFile(0, "x.vrx", "K", 0));
    for (int32_t r = 1; r <= 40; ++r) ASSERT_TRUE(maker.Insert(r, ("k" + std::to_string(r)).c_str(), -1));
    maker.Close();
    const std::string good = memory.files["x.vrx"];
    const uint32_t root = GetU32(reinterpret_cast<const uint8_t*>(good.data()) + 13);
    auto put = [&](uint32_t page, size_t at, uint32_t value) {
        std::string s = good;
        PutU32(reinterpret_cast<uint8_t*>(s.data()) + page * 1024 + at, value);
        return s;
    };
    struct Case {
        const char* what;
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {"ten entries", put(root, 0, 10),
         "Error reading from 'x.vrx': File is corrupt (the number of entries is larger than the maximum entries possible)."},
        {"child at the page count", put(root, 4, 12), "Error 'x.vrx' is corrupt (the page number is larger than the total pages )"},
        {"child page 0 beside others", put(root, 4 + 108, 0), nullptr},
        {"cycle to the root", put(GetU32(reinterpret_cast<const uint8_t*>(good.data()) + root * 1024 + 4), 4, root),
         "Error reading from 'x.vrx': File is corrupt"},
    };
    for (const Case& c : cases) {
        memory.files["x.vrx"] = c.bytes;
        KPZIndexFile index(&memory);
        ASSERT_TRUE(index.Open(0, "x.vrx", 3)) << c.what;
        int32_t record = 0;
        int found = 0;
        bool walked = index.First(&record, 1) && index.Find("k9", 2, 1, &record, &found, 1);
        if (c.message) {
            EXPECT_FALSE(walked) << c.what;
            EXPECT_STREQ(index.ErrorText().Text(), c.message) << c.what;
            EXPECT_FALSE(index.Insert(99, "k0", 2)) << c.what;
            EXPECT_FALSE(index.Delete(1, "k1", 2)) << c.what;
        }
    }
    // A key without its NUL is read within its field.
    uint32_t leftmost = GetU32(reinterpret_cast<const uint8_t*>(good.data()) + root * 1024 + 4);
    std::string full = good;
    std::memset(full.data() + leftmost * 1024 + 12, 'q', 100);
    memory.files["x.vrx"] = full;
    KPZIndexFile index(&memory);
    ASSERT_TRUE(index.Open(0, "x.vrx", 3));
    int32_t record = 0;
    ASSERT_TRUE(index.First(&record, 1));
    EXPECT_EQ(index.Stack().Top()->KeyLength(0), 100);

    // Every truncation and random damage: each operation ends cleanly, and
    // walks never write.
    std::mt19937 random(7);
    for (size_t round = 0; round < 1500; ++round) {
        std::string& bytes = memory.files["x.vrx"] = good;
        if (round < 300) {
            bytes.resize(round * good.size() / 300);
        } else {
            for (int f = 0; f < 1 + static_cast<int>(random() % 6); ++f)
                bytes[random() % bytes.size()] ^= static_cast<char>(1 + random() % 255);
        }
        KPZIndexFile damaged(&memory);
        if (!damaged.Open(0, "x.vrx", 3)) continue;
        int found = 0;
        const char* key = nullptr;
        memory.faults.writes = 0;
        if (damaged.First(&record, 1))
            for (int i = 0; i < 50 && record; ++i) damaged.Next(&record, &key, 1);
        damaged.Last(&record, 1);
        damaged.Previous(&record, &key, 1);
        damaged.Find("k17", 3, 1, &record, &found, 1);
        ASSERT_EQ(memory.faults.writes, 0) << round;
        damaged.Insert(77, "k5", 2);
        damaged.Delete(5, "k5", 2);
        damaged.Delete(77, "k5", 2);
    }
}

} // namespace
} // namespace vorn::test
