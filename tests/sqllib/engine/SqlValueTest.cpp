// The engine's conversions and LIKE, table by table; LIKE against a regular
// expression on random subjects and patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "sqllib/engine/SqlValue.h"
#include "sqllib/front/SqlMemory.h"

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
    // Digits with a point, as columns hold them: the value strtod rounds to, bit for bit.
    std::mt19937 random(11);
    for (int i = 0; i < 20000; ++i) {
        std::string text = random() % 4 ? "" : "-";
        int digits = 1 + static_cast<int>(random() % 18), point = static_cast<int>(random() % (digits + 2));
        for (int k = 0; k < digits; ++k) {
            if (k == point) text += '.';
            text += static_cast<char>('0' + random() % 10);
        }
        int error = 1;
        double x = SQLTextToDouble(text.data(), static_cast<int32_t>(text.size()), &error);
        double expected = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(error, 0) << text;
        ASSERT_EQ(std::memcmp(&x, &expected, sizeof x), 0) << text << ": " << x << " against " << expected;
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

// Whether pattern matches subject, by the table of prefix pairs.
bool LikeByTable(const std::string& subject, const std::string& pattern) {
    std::vector<char> row(subject.size() + 1, 0), next(subject.size() + 1);
    row[0] = 1;
    for (char p : pattern) {
        next.assign(next.size(), 0);
        for (size_t s = 0; s <= subject.size(); ++s) {
            if (p == '%')
                next[s] = row[s] || (s > 0 && next[s - 1]);
            else if (s > 0)
                next[s] = row[s - 1] && (p == '_' || p == subject[s - 1]);
        }
        row.swap(next);
    }
    return row[subject.size()];
}

TEST(SqlValue, LikeWithLongSegmentsAgreesWithTheTable) {
    // Segments past 16 bytes, with and without '_', over two letters so that
    // near misses abound; some patterns are cut from the subject itself.
    std::mt19937 random(7);
    for (int i = 0; i < 1500; ++i) {
        std::string subject, pattern;
        for (int n = static_cast<int>(random() % 300); n > 0; --n)
            subject += "ab"[random() % 8 == 0];
        for (int segments = 1 + static_cast<int>(random() % 4); segments > 0; --segments) {
            if (random() % 4) pattern += '%';
            size_t length = random() % 90;
            if (random() % 2 && subject.size() > length) {
                std::string cut = subject.substr(random() % (subject.size() - length), length);
                for (char& c : cut)
                    if (random() % 16 == 0) c = '_';
                pattern += cut;
            } else {
                for (size_t k = 0; k < length; ++k)
                    pattern += "aab_"[random() % 4];
            }
        }
        if (random() % 2) pattern += '%';
        ASSERT_EQ(Like(subject, pattern), LikeByTable(subject, pattern))
            << "'" << subject << "' LIKE '" << pattern << "'";
    }
}

TEST(SqlValue, LikeHasNoRestartLimitAndItsWorkStaysLinear) {
    std::string pattern, subject(200, 'a');
    for (int i = 0; i < 100; ++i) pattern += "%a";
    EXPECT_TRUE(Like(subject, pattern));
    EXPECT_FALSE(Like(subject, pattern + "b"));

    // The stop is asked once per kSQLLikePollWork steps: its calls count the work.
    struct Polls {
        int64_t calls = 0;
        int64_t stopAt = -1; // the call that says stop (-1: none)
        SQLLikeStop stop{[](void* self) {
                             auto* polls = static_cast<Polls*>(self);
                             return ++polls->calls == polls->stopAt;
                         },
                         this};
    };
    const std::string many(300000, 'a');
    std::string shortSegments = "%";
    for (int i = 0; i < 2000; ++i)
        shortSegments += "aaaaaaaaaaaaaa%";
    const struct {
        std::string subject, pattern;
        int match;
    } hostile[] = {
        {many, "%" + std::string(30000, 'a') + "b", 0},
        {many, "%" + std::string(30000, 'a') + "b%", 0},
        {many, "%" + std::string(30000, 'a') + "%b", 0},
        {many, "%" + std::string(30000, 'a') + "%", 1},
        {many + "b", "%" + std::string(30000, 'a') + "b%", 1},
        {many, shortSegments + "b%", 0},
        {many, "%" + std::string(15, 'a') + "b%", 0},
        {many, "%a_" + std::string(30000, 'a') + "%", 1},
        {many, "%" + std::string(30, 'a') + "_b%", 0},
    };
    for (const auto& c : hostile) {
        Polls polls;
        EXPECT_EQ(SQLMatchLike(c.subject.data(), static_cast<int32_t>(c.subject.size()), c.pattern.data(),
                               static_cast<int32_t>(c.pattern.size()), &polls.stop),
                  c.match)
            << c.pattern.substr(0, 40);
        EXPECT_LE(polls.calls,
                  2 * static_cast<int64_t>(c.subject.size() + c.pattern.size()) / kSQLLikePollWork + 2)
            << c.pattern.substr(0, 40);
    }

    // A long segment with '_' may take (subject x segment) / 64 steps: the stop ends it.
    const std::string wild = "%" + std::string(29999, 'a') + "_b%";
    Polls stopped;
    stopped.stopAt = 3;
    EXPECT_EQ(SQLMatchLike(many.data(), static_cast<int32_t>(many.size()), wild.data(),
                           static_cast<int32_t>(wild.size()), &stopped.stop),
              -1);
    EXPECT_EQ(stopped.calls, 3);
    EXPECT_FALSE(Like(std::string(3000, 'a'), "%" + std::string(299, 'a') + "_b%"));
    EXPECT_TRUE(Like(std::string(3000, 'a') + "xb", "%" + std::string(299, 'a') + "_b%"));
}

TEST(SqlValue, BlocksAreKeptForTheNextStatementWithinABound) {
    EXPECT_EQ(SQLBlockSize(1), kSQLSmallestBlock);
    EXPECT_EQ(SQLBlockSize(kSQLSmallestBlock + 1), 2 * kSQLSmallestBlock);
    EXPECT_EQ(SQLBlockSize(size_t{3} << 20), size_t{4} << 20);
    EXPECT_EQ(SQLBlockSize((size_t{100} << 20) + 1), size_t{102} << 20);

    // A block given back is the next one taken of its size, unless the hook refuses.
    void* small = SQLTakeBlock(kSQLSmallestBlock);
    ASSERT_NE(small, nullptr);
    std::memset(small, 1, kSQLSmallestBlock);
    SQLGiveBlock(small, kSQLSmallestBlock);
    SetSQLAllocationHook([](size_t) { return false; });
    EXPECT_EQ(SQLTakeBlock(kSQLSmallestBlock), nullptr);
    SetSQLAllocationHook(nullptr);
    void* again = SQLTakeBlock(kSQLSmallestBlock);
    EXPECT_EQ(again, small);
    SQLGiveBlock(again, kSQLSmallestBlock);

    // Past the bound, blocks go back to the system.
    const size_t big = size_t{2} << 20;
    std::vector<void*> blocks;
    for (size_t taken = 0; taken < 2 * kSQLKeptBlockBytes; taken += big) {
        blocks.push_back(SQLTakeBlock(big));
        ASSERT_NE(blocks.back(), nullptr);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(blocks.back()) % big, 0u);
        static_cast<char*>(blocks.back())[big - 1] = 1;
    }
    for (void* block : blocks) SQLGiveBlock(block, big);
    EXPECT_LE(SQLKeptBlockBytes(), kSQLKeptBlockBytes);
    EXPECT_GE(SQLKeptBlockBytes(), kSQLKeptBlockBytes - big);

    // An arena rewound keeps its first chunk and its charge, and gives back the rest.
    SQLArenaBudget budget;
    {
        SQLArena arena(&budget);
        char* first = arena.Bytes(3);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(arena.Allocate(8)) % 8, 0u);
        ASSERT_NE(arena.Allocate(kSQLSmallestBlock), nullptr);
        EXPECT_GT(budget.used, static_cast<int64_t>(kSQLSmallestBlock));
        arena.Rewind();
        EXPECT_EQ(budget.used, static_cast<int64_t>(kSQLSmallestBlock));
        EXPECT_EQ(arena.Bytes(3), first);
    }
    EXPECT_EQ(budget.used, 0);
}

} // namespace
} // namespace vorn
