#include "engine/foundation/TagLookup.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>

using namespace vorn;

namespace {

struct Expected {
    uint32_t id;
    const char* name;
};

// Written out independently of the table under test.
// clang-format off
const Expected kNames[] = {
    {0x00, "vrif"}, {0x01, "vrelse"}, {0x02, "vrimport"}, {0x03, "vrimportstop"}, {0x04, "vrexport"},
    {0x05, "vrassign"}, {0x06, "vreval"}, {0x07, "vrhide"}, {0x08, "vrpop"}, {0x09, "vrpopstop"},
    {0x0a, "vrpopdelete"}, {0x0b, "vrsmtp"}, {0x0c, "vrwhile"}, {0x0d, "vrwhilestop"}, {0x0e, "vrcall"},
    {0x0f, "vrcallstop"}, {0x10, "vrfunction"}, {0x11, "vrfuncreturn"}, {0x11, "vrfunctionreturn"},
    {0x12, "vrelseif"}, {0x13, "vrcommerce"}, {0x14, "vrcommercestop"}, {0x15, "vrcomment"}, {0x16, "vrdo"},
    {0x17, "vrlockfile"}, {0x18, "vrlocalized"}, {0x19, "vrlocalized-token"}, {0x1a, "vrlocalized-text"},
    {0x1b, "vrexit"}, {0x1c, "vropen"}, {0x1d, "vrclose"}, {0x1e, "vrskip"}, {0x1f, "vrgo"},
    {0x20, "vrprimary"}, {0x21, "vrfind"}, {0x22, "vrsetindex"}, {0x23, "vrupdate"}, {0x24, "vrdelete"},
    {0x25, "vrundelete"}, {0x26, "vradd"}, {0x27, "vrmakeindex"}, {0x28, "vrpack"}, {0x29, "vrreindex"},
    {0x2a, "vrcreate"}, {0x2b, "vrrevealstructure"}, {0x2c, "vropenview"}, {0x2d, "vrcloseview"},
    {0x2e, "vrquery"}, {0x2f, "vrfilter"}, {0x30, "vorn"}, {0x31, "vrassignarray"}, {0x32, "vrdimension"},
    {0x33, "vrmember"}, {0x34, "vrcommit"}, {0x35, "vrrollback"}, {0x36, "vrinclude"}, {0x37, "vrtransact"},
    {0x38, "vrreference"}, {0x39, "vrreferencearray"}, {0x3a, "vrdbcommand"}, {0x3b, "vrcapture"},
    {0x3c, "vrifdef"}, {0x3d, "vrifndef"}, {0x3e, "expression"}, {0x3f, "vrimportcontinue"},
    {0x40, "vrpopcontinue"}, {0x41, "vrwhilecontinue"}, {0x42, "vrcallcontinue"},
    {0x43, "vrcommercecontinue"}, {0x44, "vrforeach"}, {0x45, "vrforeachstop"}, {0x46, "vrforeachcontinue"},
    {0x47, "vrfor"}, {0x48, "vrforstop"}, {0x49, "vrforcontinue"}, {0x4a, "vrassembly"},
};

const char* const kPlain[] = {
    "vrimportstop", "vrpopstop", "vrpopdelete", "vrwhilestop", "vrcallstop", "vrcommercestop", "vrcomment",
    "vrlocalized-text", "vrexit", "vrdimension", "vrmember", "expression", "vrimportcontinue",
    "vrpopcontinue", "vrwhilecontinue", "vrcallcontinue", "vrcommercecontinue", "vrforeachstop",
    "vrforeachcontinue", "vrforstop", "vrforcontinue", "vrassembly",
};
// clang-format on

std::string Recase(std::string s, int step) {
    for (size_t i = 0; i < s.size(); i += step)
        s[i] = static_cast<char>(toupper(static_cast<unsigned char>(s[i])));
    return s;
}

} // namespace

TEST(TagLookup, EveryNameInEveryCase) {
    ASSERT_EQ(sizeof(kNames) / sizeof(kNames[0]), 76u);
    TagLookup lookup;
    std::set<const TagNameRow*> rows;
    for (const Expected& e : kNames) {
        const std::string lower = e.name;
        for (const std::string& text : {lower, Recase(lower, 1), Recase(lower, 2)}) {
            const TagNameRow* row = lookup.Find(text.c_str(), -1);
            ASSERT_NE(row, nullptr) << text;
            EXPECT_EQ(row->tagId, e.id) << text;
            EXPECT_STREQ(row->name, e.name);
            // Explicit length, text going on after the name.
            EXPECT_EQ(lookup.Find((text + "xyz").c_str(), static_cast<int32_t>(text.size())), row) << text;
        }
        rows.insert(lookup.Find(e.name, -1));
    }
    EXPECT_EQ(rows.size(), 76u); // each name has its own row
}

TEST(TagLookup, KindsAndCounts) {
    TagLookup lookup;
    std::set<std::string> plain(std::begin(kPlain), std::end(kPlain));
    for (const Expected& e : kNames) {
        const TagNameRow* row = lookup.Find(e.name, -1);
        ASSERT_NE(row, nullptr);
        if (plain.count(e.name)) {
            EXPECT_EQ(row->kind, 0) << e.name;
            EXPECT_EQ(row->count1, -1) << e.name;
            EXPECT_EQ(row->count2, -1) << e.name;
        } else {
            EXPECT_EQ(row->kind, 2) << e.name;
            EXPECT_GE(row->count1, 0) << e.name;
            EXPECT_GE(row->count2, 0) << e.name;
        }
    }
    const struct {
        const char* name;
        int32_t c1, c2;
    } counts[] = {{"vrif", 1, 0}, {"VrCall", 2, 8}, {"vrsmtp", 3, 6}, {"VORN", 0, 6}};
    for (const auto& c : counts) {
        EXPECT_EQ(lookup.Find(c.name, -1)->count1, c.c1) << c.name;
        EXPECT_EQ(lookup.Find(c.name, -1)->count2, c.c2) << c.name;
    }
}

TEST(TagLookup, SharedIdAndConstants) {
    TagLookup lookup;
    const TagNameRow* a = lookup.Find("vrfuncreturn", -1);
    const TagNameRow* b = lookup.Find("VRFUNCTIONRETURN", -1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->tagId, 0x11u);
    EXPECT_EQ(b->tagId, 0x11u);
    EXPECT_EQ(kTagFunctionReturn, 0x11u);
    EXPECT_EQ(lookup.Find("expression", -1)->tagId, kTagExpression);
    EXPECT_EQ(kTagExpression, 0x3eu);
    EXPECT_EQ(kTagOpen, 28u);
    EXPECT_EQ(kTagFilter, 47u);
    EXPECT_EQ(kTagCommit, 52u);
    EXPECT_EQ(kTagDbCommand, 58u);
    EXPECT_EQ(kTagAssembly, kTagIdCount - 1);
}

TEST(TagLookup, RejectsNearMisses) {
    TagLookup lookup;
    EXPECT_EQ(lookup.Find("vrif ", -1), nullptr);
    EXPECT_EQ(lookup.Find("vri", -1), nullptr);
    EXPECT_EQ(lookup.Find("vrifx", -1), nullptr);
    EXPECT_EQ(lookup.Find("", -1), nullptr);
    EXPECT_EQ(lookup.Find("vrif", 0), nullptr);
    EXPECT_EQ(lookup.Find(nullptr, -1), nullptr);
    // Only A-Z fold: a byte that folds to 'i' under Latin-1 rules does not match.
    EXPECT_EQ(lookup.Find("vr\xc9"
                          "f",
                          -1),
              nullptr);
    EXPECT_EQ(lookup.Find("vrif\0x", 6), nullptr);

    // The longest name is found; any 19 bytes are rejected, also when they start with it.
    ASSERT_EQ(strlen("vrcommercecontinue"), 18u);
    EXPECT_NE(lookup.Find("VRCOMMERCECONTINUE", -1), nullptr);
    EXPECT_EQ(lookup.Find("vrcommercecontinue ", 19), nullptr);
    const std::string longText(4096, 'a');
    EXPECT_EQ(lookup.Find(longText.c_str(), -1), nullptr);
}

TEST(TagLookup, RandomBytesNeverCrash) {
    TagLookup lookup;
    std::mt19937 rng(20240607);
    for (int i = 0; i < 20000; ++i) {
        const int32_t n = static_cast<int32_t>(rng() % 24);
        // Exactly n bytes, in a heap block of that size, so any overread is caught.
        std::unique_ptr<char[]> bytes(new char[n > 0 ? n : 1]);
        for (int32_t k = 0; k < n; ++k)
            bytes[k] = static_cast<char>(rng() % 3 == 0 ? rng() : 'a' + rng() % 26);
        const TagNameRow* row = lookup.Find(bytes.get(), n);
        if (row != nullptr) {
            ASSERT_EQ(row->length, n);
            for (int32_t k = 0; k < n; ++k)
                ASSERT_EQ(tolower(static_cast<unsigned char>(bytes[k])), row->name[k]);
        }
    }
}
