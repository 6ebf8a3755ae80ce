#include "engine/foundation/HashTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace vorn;

namespace {

// Keyed through Name() returning a NUL-terminated text.
struct Entry {
    static int live;
    std::string name;
    int tag;
    Entry(const char* n, int t = 0) : name(n), tag(t) { ++live; }
    virtual ~Entry() { --live; }
    const char* Name() const { return name.c_str(); }
};
int Entry::live = 0;

// A table that shows its chains and counts key comparisons.
struct Probe : HashTable<Entry> {
    mutable int compares = 0;
    Probe(bool owns, bool ci, int32_t bits) : HashTable<Entry>(owns, ci, bits, 512) {}
    int CompareKey(const Entry* item, const char* key, int32_t length) const override {
        ++compares;
        return HashTable<Entry>::CompareKey(item, key, length);
    }
    std::vector<std::string> Chain(int32_t bucket) const {
        std::vector<std::string> out;
        for (int32_t e = buckets_[bucket]; e != -1; e = next_[e]) out.push_back(items_[e]->name);
        return out;
    }
    int32_t CountWord() const { return count_; }
    // Every chain in use is sorted by key, equal keys oldest first.
    bool ChainsSorted() const {
        for (int32_t b = 0; b < BucketsInUse(); ++b)
            for (int32_t e = buckets_[b]; e != -1 && next_[e] != -1; e = next_[e])
                if (CompareItems(items_[e], items_[next_[e]]) > 0 ||
                    (CompareItems(items_[e], items_[next_[e]]) == 0 && items_[e]->tag > items_[next_[e]]->tag))
                    return false;
        return true;
    }
};

} // namespace

TEST(HashTable, ChainsAreSortedSoAMissEndsEarly) {
    Entry a("abcde"), b("xyz"), c("abcdd");
    Probe t(false, true, 0); // one bucket: every key shares a chain
    t.Insert(&a);
    t.Insert(&b);
    t.Insert(&c);
    EXPECT_EQ(t.Chain(0), (std::vector<std::string>{"xyz", "abcdd", "abcde"}));
    t.compares = 0;
    EXPECT_EQ(t.Find("abcd"), nullptr); // stops at the first length-5 entry
    EXPECT_EQ(t.compares, 2);
    t.compares = 0;
    EXPECT_EQ(t.Find("zzzzzz"), nullptr); // longer than all: walks to the end
    EXPECT_EQ(t.compares, 3);
    EXPECT_EQ(t.Find("ABCDE"), &a);
    EXPECT_EQ(t.Find("abcdexyz", 5), &a); // explicit length
}

TEST(HashTable, EqualKeysKeepInsertionOrder) {
    Entry first("dup", 1), second("DUP", 2), other("dux");
    Probe t(false, true, 12);
    t.Insert(&first);
    t.Insert(&other);
    t.Insert(&second);
    EXPECT_EQ(t.Find("Dup"), &first);
    EXPECT_EQ(t.Remove("dup"), &first);
    EXPECT_EQ(t.Find("dup"), &second);
    EXPECT_EQ(t.Remove("dup"), &second);
    EXPECT_EQ(t.Find("dup"), nullptr);
    EXPECT_EQ(t.Remove("dup"), nullptr);
    EXPECT_EQ(t.Find("dux"), &other);
}

TEST(HashTable, CaseRulesForHashAndOrder) {
    Probe ci(false, true, 12);
    EXPECT_EQ(ci.HashKey("Name", -1), ci.HashKey("NAME", 4));
    Entry name("Name");
    ci.Insert(&name);
    EXPECT_EQ(ci.Find("NAME"), &name);
    EXPECT_EQ(ci.HashItem(&name), ci.HashKey("name", -1));

    Probe cs(false, false, 12);
    cs.Insert(&name);
    EXPECT_EQ(cs.Find("NAME"), nullptr);
    EXPECT_EQ(cs.Find("Name"), &name);
    EXPECT_EQ(cs.HashKey("Name", 4), static_cast<int32_t>(HashLookup2("Name", 4, 0) & 4095));

    // Chain order: case-insensitive tables fold and take bytes as signed,
    // case-sensitive ones compare like memcmp.
    Entry lb("b"), ub("B"), la("a"), hi("\xe9");
    Probe one(false, true, 0), two(false, false, 0);
    for (Entry* e : {&lb, &ub, &la, &hi}) {
        one.Insert(e);
        two.Insert(e);
    }
    EXPECT_EQ(one.Chain(0), (std::vector<std::string>{"\xe9", "a", "b", "B"}));
    EXPECT_EQ(two.Chain(0), (std::vector<std::string>{"B", "a", "b", "\xe9"}));
}

TEST(HashTable, RemovedSlotsAreNotReusedUntilClear) {
    Entry e("only");
    Probe t(false, true, 12);
    EXPECT_EQ(t.Capacity(), 512);
    for (int i = 0; i < 513; ++i) {
        t.Insert(&e);
        ASSERT_EQ(t.Remove("only"), &e);
    }
    EXPECT_EQ(t.Used(), 513);
    EXPECT_EQ(t.Capacity(), 1024);
    EXPECT_EQ(t.Find("only"), nullptr);
    for (int32_t s = 0; s < t.Used(); ++s) EXPECT_EQ(t.ItemAt(s), nullptr);
    t.Clear();
    EXPECT_EQ(t.Used(), 0);
    EXPECT_EQ(t.Capacity(), 1024);
    t.Insert(&e);
    EXPECT_EQ(t.Used(), 1);
    EXPECT_EQ(t.ItemAt(0), &e);
    EXPECT_EQ(t.Find("ONLY"), &e);
}

// Items coming and going, with equal keys among them: compacting keeps the
// insertion order, the chains and the oldest-first rule, and the slots stay
// within the items plus one growth step.
TEST(HashTable, CompactingWhenSparseKeepsOrderAndChains) {
    std::mt19937 random(11);
    std::vector<std::unique_ptr<Entry>> made;
    std::vector<Entry*> live; // insertion order
    Probe t(false, true, 2);
    for (int i = 0; i < 6000; ++i) {
        if (live.empty() || random() % 3 != 0) {
            made.push_back(std::make_unique<Entry>(("k" + std::to_string(random() % 40)).c_str(), i));
            t.Insert(made.back().get());
            live.push_back(made.back().get());
        }
        if (live.size() > 30 || random() % 2 == 0) {
            // The oldest of its key goes, as Remove takes it.
            Entry* gone = t.Remove(live[random() % live.size()]->Name());
            ASSERT_NE(gone, nullptr);
            live.erase(std::find(live.begin(), live.end(), gone));
            t.CompactWhenSparse();
        }
        ASSERT_LE(t.Used(), 2 * static_cast<int32_t>(live.size()) + 513);
    }
    std::vector<Entry*> walked;
    for (int32_t s = 0; s < t.Used(); ++s)
        if (t.ItemAt(s)) walked.push_back(t.ItemAt(s));
    EXPECT_EQ(walked, live);
    EXPECT_TRUE(t.ChainsSorted());
    for (Entry* e : live)
        EXPECT_EQ(t.Find(e->Name()), *std::find_if(live.begin(), live.end(), [&](Entry* x) {
            return x->name == e->name;
        }));
}

TEST(HashTable, GrowthKeepsItemsAndOwnedItemsAreDeletedOnce) {
    Entry::live = 0;
    {
        Probe t(true, false, 0); // one long chain across growth
        for (int i = 0; i < 1500; ++i) t.Insert(new Entry(std::to_string(i).c_str(), i));
        EXPECT_EQ(t.Capacity(), 1536);
        EXPECT_EQ(t.CountWord(), 1); // raised only when a bucket was empty
        for (int i = 0; i < 1500; i += 7) ASSERT_EQ(t.Find(std::to_string(i).c_str())->tag, i);
        delete t.Remove("700");
        EXPECT_EQ(t.CountWord(), 0); // lowered by every removal
        EXPECT_EQ(t.ItemAt(700), nullptr);
        EXPECT_EQ(t.ItemAt(701)->tag, 701); // slots stay in insertion order
        EXPECT_EQ(Entry::live, 1499);
        t.Clear();
        EXPECT_EQ(Entry::live, 0);
        EXPECT_EQ(t.CountWord(), 0);
        for (int i = 0; i < 3; ++i) t.Insert(new Entry("again"));
    }
    EXPECT_EQ(Entry::live, 0); // the destructor deleted the rest
}

namespace {
struct TextKey {
    const char* bytes;
    int32_t length;
    const char* Text() const { return bytes; }
    int32_t Length() const { return length; }
};
struct Header {
    TextKey key;
    const TextKey& Name() const { return key; }
};
struct Library {
    char path[16];
};
} // namespace

namespace vorn {
template <>
struct HashTableKey<Library> {
    static HashKeyView Of(const Library* l) { return {l->path, -1}; }
};
} // namespace vorn

TEST(HashTable, KeyCustomisationPoints) {
    // A Name() object with Text() and Length(): the length counts, not the NUL.
    Header h{{"Content-Typeextra", 12}};
    HashTable<Header> headers(false, true, 12, 512);
    headers.Insert(&h);
    EXPECT_EQ(headers.Find("content-type"), &h);
    EXPECT_EQ(headers.Find("Content-Typeextra"), nullptr);

    Library lib{"crypto"};
    HashTable<Library> libs(false, false, 12, 512);
    libs.Insert(&lib);
    EXPECT_EQ(libs.Find("crypto"), &lib);
    EXPECT_EQ(libs.Find(nullptr), nullptr); // a null key is the empty key
    EXPECT_EQ(libs.Remove("crypto", 6), &lib);
}

TEST(HashTable, GrowsOnDemandAndBehavesAsItsNominalSize) {
    // A model of the table: live items in insertion order. Keys collide on
    // purpose (a small alphabet, mixed case) so that equal keys, shared
    // nominal buckets and removals meet growth of buckets and slots.
    Entry::live = 0;
    std::mt19937 random(12);
    std::vector<std::unique_ptr<Entry>> made;
    std::vector<Entry*> slots; // what ItemAt must give, null for removed
    std::map<int32_t, int> perBucket;
    int32_t expectedCount = 0;
    Probe t(false, true, 12);
    EXPECT_EQ(t.BucketsInUse(), 0); // nothing allocated before the first insert
    auto folded = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    auto oldest = [&](const std::string& key) -> Entry* {
        for (Entry* e : slots)
            if (e && folded(e->name) == folded(key)) return e;
        return nullptr;
    };
    for (int step = 0; step < 6000; ++step) {
        std::string key;
        for (int n = 1 + static_cast<int>(random() % 3); n > 0; --n) key += "aBcD"[random() % 4];
        key += std::to_string(random() % 400);
        if (random() % 4 == 0) {
            Entry* expected = oldest(key);
            ASSERT_EQ(t.Remove(key.c_str()), expected) << key;
            if (expected) {
                *std::find(slots.begin(), slots.end(), expected) = nullptr;
                --perBucket[t.HashKey(key.c_str(), -1)];
                --expectedCount;
            }
        } else {
            made.push_back(std::make_unique<Entry>(key.c_str(), step));
            int32_t h = t.HashKey(key.c_str(), -1);
            if (perBucket[h]++ == 0) ++expectedCount;
            t.Insert(made.back().get());
            slots.push_back(made.back().get());
        }
        if (step % 500 == 0) {
            ASSERT_TRUE(t.ChainsSorted());
        }
    }
    EXPECT_TRUE(t.ChainsSorted());
    EXPECT_EQ(t.Bits(), 12);
    EXPECT_EQ(t.BucketsInUse(), 4096); // grown to, and held at, the nominal count
    EXPECT_EQ(t.Capacity(), (static_cast<int32_t>(slots.size()) + 511) / 512 * 512);
    EXPECT_EQ(t.CountWord(), expectedCount);
    ASSERT_EQ(t.Used(), static_cast<int32_t>(slots.size()));
    for (int32_t s = 0; s < t.Used(); ++s) ASSERT_EQ(t.ItemAt(s), slots[static_cast<size_t>(s)]);
    for (const auto& e : made) ASSERT_EQ(t.Find(e->name.c_str()), oldest(e->name)) << e->name;

    // A small table stays small; Clear keeps what was allocated.
    Probe few(false, false, 12);
    Entry a("a"), b("b");
    few.Insert(&a);
    few.Insert(&b);
    EXPECT_EQ(few.BucketsInUse(), 8);
    EXPECT_EQ(few.Capacity(), 512);
    few.Clear();
    EXPECT_EQ(few.Find("a"), nullptr);
    few.Insert(&b);
    EXPECT_EQ(few.Find("b"), &b);
    EXPECT_EQ(few.ItemAt(0), &b);
}
