// The engine's conversions and LIKE, table by table; LIKE against a regular
// expression on random subjects and patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>

#include "sqllib/engine/SqlValue.h"

namespace vorn {
namespace {

TEST(SqlValue, TextToDouble) {
    struct Case {
        const char* text;
        double value;
        int error;
    };
    const Case cases[] = {
        {"12", 12, 0},          {"  12", 12, 0},     {"12 ", 0, 1},       {"12abc", 0, 1},   {"", 0, 0},
        {"-1.5", -1.5, 0},      {"+2", 2, 0},        {".5", 0.5, 0},      {"5.", 5, 0},      {"1e3", 1000, 0},
        {"1e", 0, 1},           {".", 0, 1},         {"0x10", 0, 1},      {"1,5", 0, 1},     {"--1", 0, 1},
        {" ", 0, 1},            {"1e-400", 0, 0},    {"-0", -0.0, 0},     {"abc", 0, 1},     {"1.2.3", 0, 1},
    };
    for (const Case& c : cases) {
        int error = -1;
        double x = SQLTextToDouble(c.text, -1, &error);
        EXPECT_EQ(x, c.value) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
    int error = 0;
    EXPECT_TRUE(std::isinf(SQLTextToDouble("1e999", -1, &error)) && error == 1);
    EXPECT_TRUE(std::isinf(SQLTextToDouble("-1e999", 6, &error)) && error == 1);
    for (const char* word : {"inf", "Infinity", "INF"}) {
        EXPECT_EQ(SQLTextToDouble(word, -1, &error), HUGE_VAL) << word;
        EXPECT_EQ(error, 0);
    }
    EXPECT_EQ(SQLTextToDouble("-INFINITY", -1, &error), -HUGE_VAL);
    double nan = SQLTextToDouble("-NaN", -1, &error);
    EXPECT_TRUE(std::isnan(nan) && std::signbit(nan) && error == 0);
    EXPECT_TRUE(std::isnan(SQLTextToDouble("nan", 3, &error)));
    // The length bounds the text: "12" of "123".
    EXPECT_EQ(SQLTextToDouble("123", 2, &error), 12);
    EXPECT_EQ(SQLTextToDouble("infx", 3, &error), HUGE_VAL);
}

TEST(SqlValue, TextToInteger) {
    struct Case {
        const char* text;
        int32_t value;
        int error;
    };
    const Case cases[] = {
        {"42", 42, 0},        {"-7", -7, 0},      {"-", 0, 0},        {"", 0, 1},          {"+1", 0, 1},
        {" 1", 0, 1},         {"1.5", 0, 1},      {"2147483647", 2147483647, 0},
        {"2147483648", INT32_MIN, 0},             {"4294967297", 1, 0},                    {"-2147483648", INT32_MIN, 0},
    };
    for (const Case& c : cases) {
        int error = -1;
        EXPECT_EQ(SQLTextToInteger(c.text, -1, &error), c.value) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
    int32_t length = 0, size = 0;
    char* text = SQLIntegerToText(INT32_MIN, &length, &size);
    EXPECT_STREQ(text, "-2147483648");
    EXPECT_EQ(size, length + 1);
    std::free(text);
}

TEST(SqlValue, DoubleToText) {
    struct Case {
        double x;
        int32_t decimals;
        const char* text;
    };
    const Case cases[] = {
        {1.5, 2, "1.50"},        {0.1, -1, "0.1"},       {1.0 / 3, -1, "0.3333333333333333"},
        {2.5, 0, "2"},           {3.5, 0, "4"},          {1e-30, -1, "0"},     {-1e-30, -1, "-0"},
        {123456, -1, "123456"},  {1e21, -1, "1000000000000000000000"},         {-0.0, -1, "-0"},
        {0.125, 2, "0.12"},      {-0.001, 2, "-0.00"},   {42, 3, "42.000"},    {HUGE_VAL, 2, "Infinity"},
        {-HUGE_VAL, -1, "-Infinity"}, {std::nan(""), -1, "NaN"},             {-std::nan(""), 4, "-NaN"},
        {7, 0, "7"},             {0.5, 0, "0"},          {100.25, 1, "100.2"},
    };
    for (const Case& c : cases) {
        int32_t length = 0, size = 0;
        char* text = SQLDoubleToText(c.x, c.decimals, &length, &size);
        EXPECT_STREQ(text, c.text) << c.x << " " << c.decimals;
        EXPECT_EQ(length, static_cast<int32_t>(std::strlen(c.text)));
        std::free(text);
    }
}

TEST(SqlValue, TruthOfTexts) {
    for (const char* no : {"", "0", "00", "0.0", ".", "0."}) EXPECT_FALSE(SQLTextIsTrue(no, static_cast<int32_t>(std::strlen(no)))) << no;
    for (const char* yes : {"F", "1", "0.0.0", "a", " 0", "-0"}) EXPECT_TRUE(SQLTextIsTrue(yes, static_cast<int32_t>(std::strlen(yes)))) << yes;
    SQLResult value;
    value.SetText("0.0", -1, 4, false, false);
    EXPECT_FALSE(value.IsTrue());
    value.SetText("F", -1, 2, false, false);
    EXPECT_TRUE(value.IsTrue());
    value.SetInteger(0);
    EXPECT_FALSE(value.IsTrue());
    EXPECT_FALSE(value.IsNull());
    SQLResult empty;
    EXPECT_TRUE(empty.IsNull());
    int32_t length = -1;
    EXPECT_STREQ(empty.Text(&length), "");
    EXPECT_EQ(length, 0);
}

bool Like(const std::string& subject, const std::string& pattern) {
    return SQLLike(subject.data(), static_cast<int32_t>(subject.size()), pattern.data(),
                   static_cast<int32_t>(pattern.size()));
}

TEST(SqlValue, LikeMatchesAsARegularExpression) {
    const struct {
        const char* subject;
        const char* pattern;
        bool match;
    } cases[] = {{"abc", "a%c", true}, {"abc", "a_c", true}, {"abc", "%", true}, {"", "%", true},
                 {"abc", "A%", false}, {"", "", true},       {"a", "", false},   {"", "_", false},
                 {"a%b", "a%%b", true}, {"ab", "%b%", true}, {"aXbXc", "%b_c", true}};
    for (const auto& c : cases) EXPECT_EQ(Like(c.subject, c.pattern), c.match) << c.subject << " " << c.pattern;

    std::mt19937 random(22);
    const char alphabet[] = "ab%_";
    for (int i = 0; i < 3000; ++i) {
        std::string subject, pattern, expression;
        for (int n = static_cast<int>(random() % 9); n > 0; --n) subject += "ab"[random() % 2];
        for (int n = static_cast<int>(random() % 7); n > 0; --n) {
            char c = alphabet[random() % 4];
            pattern += c;
            expression += c == '%' ? ".*" : c == '_' ? "." : std::string(1, c);
        }
        bool expected = std::regex_match(subject, std::regex(expression));
        ASSERT_EQ(Like(subject, pattern), expected) << "'" << subject << "' LIKE '" << pattern << "'";
    }
}

TEST(SqlValue, LikeHasNoRestartLimitAndStaysLinear) {
    std::string pattern, subject(200, 'a');
    for (int i = 0; i < 100; ++i) pattern += "%a";
    EXPECT_TRUE(Like(subject, pattern));
    EXPECT_FALSE(Like(subject, pattern + "b"));
    // Many '%' before a tail that never matches: steps grow with subject x pattern only.
    std::string hard = "%a%a%a%a%a%a%a%a%a%a%ab";
    std::string many(4000, 'a');
    EXPECT_FALSE(Like(many, hard));
}

} // namespace
} // namespace vorn
