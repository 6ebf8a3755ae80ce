#include "engine/foundation/Hash.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vorn;

namespace {
uint32_t H(const char* s, uint32_t init = 0) { return HashLookup2(s, static_cast<uint32_t>(strlen(s)), init); }
} // namespace

// Values computed with an independent transcription of the published algorithm.
TEST(Lookup2, PublishedValues) {
    EXPECT_EQ(H(""), 0xbd49d10du);
    EXPECT_EQ(H("a"), 0x29eec818u);
    EXPECT_EQ(H("hello world"), 0x1aa919e6u);   // 11 bytes: tail only
    EXPECT_EQ(H("hello world!"), 0x1eccb293u);  // one full block
    EXPECT_EQ(H("hello world!!"), 0x448a230cu); // block and one tail byte
    EXPECT_EQ(H("Content-Type"), 0x348acc6au);
    EXPECT_EQ(H("vrif", 256), 0x82056d38u);
    EXPECT_EQ(H("\xe9t\xe9"), 0xbe275798u);
}

TEST(Lookup2, NoCaseFoldsAsciiOnly) {
    EXPECT_EQ(HashLookup2NoCase("Content-Type", 12, 0), HashLookup2NoCase("CONTENT-TYPE", 12, 0));
    EXPECT_EQ(HashLookup2NoCase("Content-Type", 12, 0), H("content-type"));
    EXPECT_NE(H("Content-Type"), H("CONTENT-TYPE"));
    // High bytes are left alone: 0xC9 is not the upper case of 0xE9 here.
    EXPECT_NE(HashLookup2NoCase("\xc9", 1, 0), HashLookup2NoCase("\xe9", 1, 0));
    EXPECT_EQ(HashLookup2NoCase("\xe9t\xe9", 3, 0), H("\xe9t\xe9"));
}

TEST(CompareTextNoCase, OrderAndFolding) {
    EXPECT_EQ(CompareTextNoCase("abc", "ABD", 3), -1);
    EXPECT_EQ(CompareTextNoCase("abc", "ABD", 2), 0);
    EXPECT_EQ(CompareTextNoCase("ABD", "abc", 3), 1);
    EXPECT_EQ(CompareTextNoCase("\xe9", "a", 1), -1); // signed bytes sort below ASCII
    EXPECT_EQ(CompareTextNoCase("a", "\xe9", 1), 1);
    EXPECT_EQ(CompareTextNoCase("x", "y", 0), 0);
    EXPECT_EQ(CompareTextNoCase("[", "a", 1), -1); // '[' (0x5B) is below 'a', not folded
    EXPECT_EQ(CompareTextNoCase("[", "A", 1), -1);
}
