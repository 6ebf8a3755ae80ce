#include "engine/foundation/Number.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace vorn;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

struct Formatted {
    std::string text;
    int32_t length, size;
};

Formatted Fmt(double v, int32_t digits = -1) {
    Formatted f;
    char* p = FormatDouble(v, &f.length, &f.size, digits);
    f.text = p;
    EXPECT_EQ(static_cast<int32_t>(f.text.size()), f.length);
    EXPECT_LT(f.length, f.size);
    std::free(p);
    return f;
}

std::string F(double v, int32_t digits = -1) {
    return Fmt(v, digits).text;
}

double P(const char* s, int32_t* invalid) {
    return ParseDouble(s, -1, 0, invalid);
}

// Fractional digits that the shortest round-trip form of v needs.
int ShortestDecimals(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    const char* e = std::find(buf, r.ptr, 'e');
    return static_cast<int>(e - buf) - (e - buf > 1 ? 2 : 1) - std::atoi(e + 1);
}

} // namespace

TEST(FormatDouble, DefaultDigitsShortest) {
    const std::pair<double, const char*> cases[] = {
        {0.1, "0.1"},
        {3.0, "3"},
        {-0.5, "-0.5"},
        {2.5, "2.5"},
        {0.0, "0"},
        {-0.0, "-0"},
        {1e21, "1000000000000000000000"}, // never an exponent
        {123456789012.5, "123456789012.5"},
        {0.30000000000000004, "0.30000000000000004"},
        {1e-20, "0.00000000000000000001"},
        {1.5e-20, "0.00000000000000000002"}, // 20 decimals at most
        {1e-30, "0"},
        {-1e-30, "-0"},
        {std::pow(2.0, 60), "1152921504606847000"}, // shortest digits, then zeros
        {std::numeric_limits<double>::denorm_min(), "0"}};
    for (auto& [v, text] : cases)
        EXPECT_EQ(F(v), text) << v;
}

TEST(FormatDouble, FixedDigits) {
    const std::tuple<double, int32_t, const char*> cases[] = {
        {123.456, 2, "123.46"},
        {5, 3, "5.000"},
        {2.5, 3, "2.500"},
        {2.5, 0, "2"},
        {3.5, 0, "4"},
        {0.996, 2, "1.00"},
        {0.006, 2, "0.01"},
        {0.001, 2, "0.00"},
        {0.3, 0, "0"},
        {-0.3, 0, "-0"},
        {0.1, 20, "0.10000000000000000000"}, // shortest digits padded, not the binary expansion
        {-1234.5, 1, "-1234.5"},
        {2.25, 1, "2.2"},
        {7, -5, "7"}}; // other negative counts: the default
    for (auto& [v, digits, text] : cases)
        EXPECT_EQ(F(v, digits), text) << v << " with " << digits;
}

TEST(FormatDouble, SpecialValuesAndSizes) {
    EXPECT_EQ(Fmt(kInf).text, "Infinity");
    EXPECT_EQ(Fmt(kInf).size, 9);
    EXPECT_EQ(Fmt(-kInf).text, "-Infinity");
    EXPECT_EQ(Fmt(-kInf).size, 10);
    EXPECT_EQ(Fmt(std::numeric_limits<double>::quiet_NaN()).text, "NaN");
    EXPECT_EQ(Fmt(-std::numeric_limits<double>::quiet_NaN()).text, "-NaN");
    // k + 3 (or p + 3) + decimals, +1 when p is 0.
    EXPECT_EQ(Fmt(123.456, 2).size, 5 + 3 + 2); // digits 12346, p 3
    EXPECT_EQ(Fmt(5, 3).size, 1 + 3 + 3);
    EXPECT_EQ(Fmt(0.5).size, 1 + 3 + 20 + 1);
}

TEST(FormatDouble, Extremes) {
    std::string max = F(std::numeric_limits<double>::max());
    EXPECT_EQ(max, "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(F(-std::numeric_limits<double>::max(), 3), "-" + max + ".000");
    // The shortest digits ("5e-324") fit in 1100 decimals, so they are preferred.
    std::string tiny = F(std::numeric_limits<double>::denorm_min(), 1100);
    EXPECT_EQ(tiny, "0." + std::string(323, '0') + "5" + std::string(1100 - 324, '0'));
    EXPECT_EQ(F(1.0, 2000000000).size(), 1102u); // absurd digit counts are capped
}

// A negative value rounding to zero needs room for its sign as well.
TEST(FormatDouble, NegativeRoundingToZeroFitsBuffer) {
    Formatted f = Fmt(-1e-30, 2);
    EXPECT_EQ(f.text, "-0.00");
    EXPECT_GE(f.size, 6);
    EXPECT_EQ(F(-1e-300, 1), "-0.0");
    EXPECT_EQ(F(-4e-9, 8), "-0.00000000");
    EXPECT_EQ(F(-0.001, 5), "-0.00100");
}

// Where the shortest form does not fit, the result is correctly rounded, as %.*f gives it.
TEST(FormatDouble, MatchesCorrectRoundingWhenFixed) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> dist(-1000.0, 1000.0);
    char expect[128];
    for (int iter = 0; iter < 20000; ++iter) {
        double v = dist(rng) * std::pow(10.0, static_cast<int>(rng() % 7) - 5);
        int digits = static_cast<int>(rng() % 9);
        if (ShortestDecimals(v) <= digits) continue;
        std::snprintf(expect, sizeof expect, "%.*f", digits, v);
        ASSERT_EQ(F(v, digits), expect) << v << " with " << digits;
    }
}

TEST(FormatInteger, TextAndSizes) {
    const std::pair<int32_t, const char*> cases[] = {{0, "0"},
                                                     {-7, "-7"},
                                                     {10, "10"},
                                                     {999999999, "999999999"},
                                                     {1000000000, "1000000000"},
                                                     {2147483647, "2147483647"},
                                                     {-2147483647 - 1, "-2147483648"}};
    for (auto& [v, text] : cases) {
        int32_t length, size;
        char* p = FormatInteger(v, &length, &size);
        EXPECT_STREQ(p, text);
        EXPECT_EQ(length, static_cast<int32_t>(std::strlen(text)));
        EXPECT_EQ(size, length + 1);
        std::free(p);
    }
}

// The forms written into a caller's buffer give the allocating forms' texts,
// or -1 when the text does not fit.
TEST(FormatDouble, IntoABufferAsAllocated) {
    std::mt19937_64 rng(7);
    std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 3.0, 40000.0, -123456.0, 999999999999999.0,
                                  1e15, -1e15, 9007199254740992.0, 1e21, 0.5, -2.25, 1e-7, 0.1 + 0.2,
                                  kInf, -kInf, std::numeric_limits<double>::quiet_NaN(),
                                  std::numeric_limits<double>::max()};
    for (int i = 0; i < 2000; ++i) {
        values.push_back(static_cast<double>(static_cast<int64_t>(rng() >> (rng() % 64))) *
                         (rng() % 2 ? 1 : -1));
        values.push_back(std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 80) - 60));
    }
    for (double v : values) {
        for (int32_t digits : {-1, 0, 2}) {
            std::string expected = F(v, digits);
            char out[32];
            int32_t n = FormatDoubleTo(v, out, sizeof out, digits);
            if (expected.size() + 1 > sizeof out) {
                EXPECT_EQ(n, -1) << v;
                continue;
            }
            ASSERT_EQ(n, static_cast<int32_t>(expected.size())) << v << " with " << digits;
            EXPECT_EQ(std::string(out, static_cast<size_t>(n)), expected);
            EXPECT_EQ(out[n], '\0');
        }
    }
    char tight[4];
    EXPECT_EQ(FormatDoubleTo(2.5, tight, sizeof tight), 3);
    EXPECT_EQ(FormatDoubleTo(-2.5, tight, sizeof tight), -1);
    for (int32_t v : {0, -7, 2147483647, -2147483647 - 1}) {
        char out[kIntegerTextSize];
        int32_t length = 0, size = 0;
        char* p = FormatInteger(v, &length, &size);
        EXPECT_EQ(FormatIntegerTo(v, out), length);
        EXPECT_STREQ(out, p);
        std::free(p);
    }
}

TEST(ParseDouble, SpecialWordsOnlyAtTheirLengths) {
    int32_t invalid = -1;
    EXPECT_EQ(ParseDouble("inf", 3, 3, &invalid), kInf);
    EXPECT_EQ(invalid, 0);
    EXPECT_EQ(P("INFINITY", &invalid), kInf);
    EXPECT_EQ(P("-Inf", &invalid), -kInf);
    EXPECT_EQ(P("-infinity", &invalid), -kInf);
    EXPECT_FALSE(std::signbit(P("NaN", &invalid)));
    double negNan = P("-nan", &invalid);
    EXPECT_TRUE(std::isnan(negNan) && std::signbit(negNan));
    EXPECT_EQ(invalid, 0);
    for (const char* bad : {"+inf", " inf", "infin", "nan(1)", "-nanx", "+INFINITY", "inf ", "infinityy"}) {
        EXPECT_EQ(P(bad, &invalid), 0.0) << bad;
        EXPECT_EQ(invalid, 1) << bad;
    }
}

TEST(ParseDouble, DecimalFormsOnly) {
    int32_t invalid = -1;
    const std::pair<const char*, double> good[] = {
        {"0", 0.0},   {"1.5", 1.5},    {"-2.25", -2.25},  {"+3", 3.0},    {"  \t\n7", 7.0},
        {"5.", 5.0},  {".5", 0.5},     {"1e3", 1000.0},   {"1E-2", 0.01}, {"-1.5e+2", -150.0},
        {"0.1", 0.1}, {"00012", 12.0}, {"1e-310", 1e-310}};
    for (auto& [text, value] : good) {
        EXPECT_EQ(P(text, &invalid), value) << text;
        EXPECT_EQ(invalid, 0) << text;
    }
    for (const char* bad : {"1.5x", "x", ".", "-", "+", "e5", "1e", "1e+", "0x1p3", "0x10", "1 ", "1,5",
                            "--1", "1.2.3", " ", "1e5.0", "\xe9"}) {
        EXPECT_EQ(P(bad, &invalid), 0.0) << bad;
        EXPECT_EQ(invalid, 1) << bad;
    }
    EXPECT_EQ(P("", &invalid), 0.0); // nothing to convert and nothing left over
    EXPECT_EQ(invalid, 0);
    EXPECT_TRUE(std::signbit(P("-0", &invalid)));
}

TEST(ParseDouble, OverflowIsInvalidUnderflowIsNot) {
    int32_t invalid = -1;
    for (const char* big : {"1e999", "1.7976931348623159e308", "0.000000000001e99999999999999999999"}) {
        EXPECT_EQ(P(big, &invalid), kInf) << big;
        EXPECT_EQ(invalid, 1) << big;
    }
    EXPECT_EQ(P("-1e999", &invalid), -kInf);
    EXPECT_EQ(invalid, 1);
    EXPECT_EQ(P("1.7976931348623157e308", &invalid), std::numeric_limits<double>::max());
    EXPECT_EQ(invalid, 0);
    // Underflow gives zero (keeping the sign) or the nearest denormal.
    for (const char* tiny : {"1e-999", "1000e-999999999999", "-1e-999", "0e999999"}) {
        double v = P(tiny, &invalid);
        EXPECT_EQ(v, 0.0) << tiny;
        EXPECT_EQ(std::signbit(v), tiny[0] == '-') << tiny;
        EXPECT_EQ(invalid, 0) << tiny;
    }
    EXPECT_EQ(P("3e-324", &invalid), std::numeric_limits<double>::denorm_min());
}

TEST(ParseDouble, GivenLengthsAreHonoured) {
    int32_t invalid = -1;
    const char exact[4] = {'1', '.', '5', '9'}; // not terminated at the length
    EXPECT_EQ(ParseDouble(exact, 3, 3, &invalid), 1.5);
    EXPECT_EQ(invalid, 0);
    std::string longText(200, '1');
    EXPECT_EQ(ParseDouble((longText + "99").data(), 200, 200, &invalid), std::stod(longText));
    EXPECT_EQ(ParseDouble("inf", 2, 2, &invalid), 0.0);
    EXPECT_EQ(invalid, 1);
    EXPECT_EQ(ParseDouble("12\0"
                          "3",
                          4, 5, &invalid),
              0.0); // an embedded NUL ends the number
    EXPECT_EQ(invalid, 1);
}

TEST(ParseDouble, RoundTripOfShortestForms) {
    std::mt19937_64 rng(0x5eed);
    int checked = 0;
    for (int iter = 0; iter < 400000 && checked < 100000; ++iter) {
        double v;
        if (iter % 2) {
            uint64_t bits = rng();
            std::memcpy(&v, &bits, sizeof v);
        } else {
            v = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 100);
            if (rng() % 2) v = -v;
        }
        if (!std::isfinite(v) || ShortestDecimals(v) > 20) continue;
        ++checked;
        int32_t invalid = -1;
        std::string text = F(v);
        double back = P(text.c_str(), &invalid);
        ASSERT_EQ(invalid, 0) << text;
        ASSERT_EQ(back, v) << text;
        ASSERT_EQ(std::signbit(back), std::signbit(v)) << text;
    }
    EXPECT_GT(checked, 50000);
}

TEST(ParseInteger, DigitsAndWrapAround) {
    int32_t invalid = -1;
    const std::pair<const char*, int32_t> good[] = {{"-12", -12},
                                                    {"0", 0},
                                                    {"-", 0},
                                                    {"2147483647", 2147483647},
                                                    {"-2147483648", -2147483647 - 1},
                                                    {"2147483648", -2147483647 - 1},
                                                    {"4294967297", 1},
                                                    {"-4294967297", -1}, // modulo 2^32
                                                    {"100000000000000000000000000000000000000000007", 7}};
    for (auto& [text, value] : good) {
        EXPECT_EQ(ParseInteger(text, -1, &invalid), value) << text;
        EXPECT_EQ(invalid, 0) << text;
    }
    EXPECT_EQ(ParseInteger("123", 2, &invalid), 12);
    for (const char* bad : {"12a", "", "+5", " 5", "5 ", "a1", "--1", "1-", "0x10"}) {
        EXPECT_EQ(ParseInteger(bad, -1, &invalid), 0) << bad;
        EXPECT_EQ(invalid, 1) << bad;
    }
}

TEST(PowerBySquaring, Exponents) {
    EXPECT_EQ(PowerBySquaring(2.0, -2), 0.25);
    EXPECT_EQ(PowerBySquaring(3.7, 0), 1.0);
    EXPECT_EQ(PowerBySquaring(-2.0, 3), -8.0);
    EXPECT_EQ(PowerBySquaring(1.0, -2147483647 - 1), 1.0);
    EXPECT_EQ(PowerBySquaring(2.0, -2147483647 - 1), 0.0);
    EXPECT_EQ(PowerBySquaring(-1.0, -2147483647), -1.0);
}

TEST(NumberHostile, RandomBytesDoNotCrash) {
    std::mt19937 rng(99);
    const char pool[] = "0123456789+-.eE \t\nxinfINFaty\0\xff";
    for (int iter = 0; iter < 30000; ++iter) {
        size_t n = rng() % 40;
        // Exact-size heap buffers let the address checker catch any read past the length.
        char* buf = static_cast<char*>(std::malloc(n ? n : 1));
        for (size_t i = 0; i < n; ++i)
            buf[i] = iter % 2 ? static_cast<char>(rng()) : pool[rng() % (sizeof pool - 1)];
        int32_t invalid = -1;
        double d = ParseDouble(buf, static_cast<int32_t>(n), static_cast<int32_t>(n), &invalid);
        ASSERT_TRUE(invalid == 0 || (invalid == 1 && (d == 0.0 || std::isinf(d))));
        int32_t i = ParseInteger(buf, static_cast<int32_t>(n), &invalid);
        ASSERT_TRUE(invalid == 0 || (invalid == 1 && i == 0));
        std::free(buf);
    }
}
