#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "engine/app/VornApplication.h"

namespace vorn {
namespace {

using Codec = char* (*)(const char*, int32_t, int32_t*, int32_t*);

struct Result {
    std::string text;
    int32_t size = 0;
};

// Runs a codec and checks the buffer contract: NUL-terminated at the reported
// length, within the reported size.
Result Apply(Codec codec, const std::string& in, int32_t length = -2) {
    int32_t outLength = -7;
    int32_t outSize = -7;
    char* out =
        codec(in.data(), length == -2 ? static_cast<int32_t>(in.size()) : length, &outLength, &outSize);
    EXPECT_NE(out, nullptr);
    if (!out) return {};
    EXPECT_GE(outLength, 0);
    EXPECT_LT(outLength, outSize);
    EXPECT_EQ(out[outLength], '\0');
    Result r{std::string(out, static_cast<size_t>(outLength)), outSize};
    std::free(out);
    return r;
}

TEST(EntityCodecTest, EncodesTheSixCharacters) {
    EXPECT_EQ(Apply(EntityEncode, "(a<b)").text, "&#40;a&lt;b&#41;");
    EXPECT_EQ(Apply(EntityEncode, "x>y & \"z\"").text, "x&gt;y &amp; &quot;z&quot;");
    EXPECT_EQ(Apply(EntityEncode, std::string("a\0b\xff", 4)).text, std::string("a\0b\xff", 4));
    EXPECT_EQ(Apply(EntityEncode, "").text, "");
    EXPECT_EQ(Apply(EntityEncode, "abc").size, 3 + 512);
    EXPECT_EQ(Apply(EntityEncode, "<b>", -1).text, "&lt;b&gt;");
}

TEST(EntityCodecTest, BufferGrowsInSteps) {
    // 200 quotation marks need 1200 bytes: the 712-byte start grows by one step.
    Result r = Apply(EntityEncode, std::string(200, '"'));
    EXPECT_EQ(r.text.size(), 1200u);
    EXPECT_EQ(r.size, 712 + 512);
}

TEST(EntityCodecTest, DecodesKnownEntitiesAndCopiesTheRest) {
    const struct {
        const char* in;
        const char* out;
    } table[] = {
        {"&AMP;", "&"},
        {"&lt;&Gt;&amp;&quot;&#40;&#41;", "<>&\"()"},
        {"&amp x;", "&amp x;"}, // white space ends the look-ahead: copied as is
        {"a&lt", "a<"},         // at the very end no ';' is needed
        {"&unknown;rest", "&unknown;rest"},
        {"&", "&"},
        {"&;", "&;"},
        {"&&lt;", "&&lt;"}, // the first '&' swallows up to the ';'
        {"x &lt;y", "x <y"},
        {"&#41", ")"},
        {"&quotx;", "&quotx;"},
    };
    for (const auto& row : table) {
        Result r = Apply(EntityDecode, row.in);
        EXPECT_EQ(r.text, row.out) << row.in;
        EXPECT_EQ(r.size, static_cast<int32_t>(std::string(row.in).size()) + 1) << row.in;
    }
}

TEST(AttributeCodecTest, EncodesSpacesPunctuationAndHighBytes) {
    EXPECT_EQ(Apply(AttributeEncode, "a b/c").text, "a+b%2Fc");
    EXPECT_EQ(Apply(AttributeEncode, "Az09*-.@_\x7f").text, "Az09*-.@_\x7f");
    EXPECT_EQ(Apply(AttributeEncode, std::string("\0\x1f\x80\xff", 4)).text, "%00%1F%80%FF");
    EXPECT_EQ(Apply(AttributeEncode, "~`!#$%^&()+={}[]|\\:;'<>,?/\"").text,
              "%7E%60%21%23%24%25%5E%26%28%29%2B%3D%7B%7D%5B%5D%7C%5C%3A%3B%27%3C%3E%2C%3F%2F%22");
    Result big = Apply(AttributeEncode, std::string(300, '/'));
    EXPECT_EQ(big.text.size(), 900u);
    EXPECT_EQ(big.size, 812 + 512);
}

TEST(AttributeCodecTest, DecodesOnlyCompleteEscapes) {
    const struct {
        const char* in;
        const char* out;
    } table[] = {
        {"a+b%2Fc", "a b/c"}, {"%4", "%4"},     {"%", "%"},     {"%41%4a%4A", "AJJ"},
        {"%zz%4g", "%zz%4g"}, {"100%", "100%"}, {"%%41", "%A"}, {"++", "  "},
    };
    for (const auto& row : table)
        EXPECT_EQ(Apply(AttributeDecode, row.in).text, row.out) << row.in;
    EXPECT_EQ(Apply(AttributeDecode, "%00").text, std::string(1, '\0'));
    // The two digits must lie inside the given length.
    EXPECT_EQ(Apply(AttributeDecode, "%41", 2).text, "%4");
}

TEST(TextCodecTest, RandomBytesRoundTrip) {
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        std::string in(random() % 200, '\0');
        for (char& c : in)
            c = static_cast<char>(random() % 256);
        // Make the interesting characters common.
        for (size_t i = 0; i < in.size(); i += 3)
            in[i] = "&;<>()\" %+"[random() % 10];
        EXPECT_EQ(Apply(EntityDecode, Apply(EntityEncode, in).text).text, in);
        EXPECT_EQ(Apply(AttributeDecode, Apply(AttributeEncode, in).text).text, in);
        // Decoding arbitrary bytes never reads or writes out of bounds.
        Apply(EntityDecode, in);
        Apply(AttributeDecode, in);
    }
}

TEST(TextCodecTest, NullsNegativeLengthsAndNulStripping) {
    for (Codec codec : {EntityEncode, EntityDecode, AttributeEncode, AttributeDecode}) {
        int32_t length = -1;
        char* out = codec(nullptr, 10, &length, nullptr);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(length, 0);
        std::free(out);
        out = codec("abc", -5, &length, nullptr);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(length, 0);
        std::free(out);
        out = codec("abc", -1, nullptr, nullptr); // out-parameters are optional
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, "abc");
        std::free(out);
    }

    Result r = Apply(CopyWithoutNuls, std::string("\0a\0\0bc\0", 7));
    EXPECT_EQ(r.text, "abc");
    EXPECT_EQ(r.size, 8);
    EXPECT_EQ(Apply(CopyWithoutNuls, std::string(5, '\0')).text, "");
    int32_t length = -1;
    char* out = CopyWithoutNuls(nullptr, 4, &length, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(length, 0);
    std::free(out);
}

} // namespace
} // namespace vorn
