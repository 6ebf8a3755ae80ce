#include "engine/foundation/String.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

using namespace vorn;

namespace {

std::string Str(const String& s) {
    return std::string(s.Text(), static_cast<size_t>(s.Length()));
}

// Every operation must leave the byte at Length() a terminator.
void ExpectTerminated(const String& s) {
    if (!s.IsNull()) {
        EXPECT_LT(s.Length(), s.Capacity());
        EXPECT_EQ(s.Data()[s.Length()], '\0');
    }
}

} // namespace

TEST(StringForms, NullAndAllocatedEmpty) {
    String none;
    EXPECT_TRUE(none.IsNull());
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_EQ(none.Capacity(), 0);
    EXPECT_STREQ(none.Text(), "");

    String a("", -1), b(nullptr, 0), c(static_cast<const char*>(nullptr));
    for (const String* s : {&a, &b, &c}) {
        EXPECT_FALSE(s->IsNull());
        EXPECT_EQ(s->Capacity(), 24);
        EXPECT_EQ(s->Length(), 0);
        ExpectTerminated(*s);
    }
    String copy(none); // copying the null form allocates
    EXPECT_EQ(copy.Capacity(), 24);
    EXPECT_TRUE(none == a);

    String moved(std::move(a));
    EXPECT_TRUE(a.IsNull());
    EXPECT_EQ(moved.Capacity(), 24);
}

TEST(StringCapacity, AssignAndAppendRounding) {
    EXPECT_EQ(RoundUp24(1), 24);
    EXPECT_EQ(RoundUp24(24), 24);
    EXPECT_EQ(RoundUp24(25), 48);
    EXPECT_EQ(String(std::string(23, 'x').c_str()).Capacity(), 24);
    EXPECT_EQ(String(std::string(24, 'x').c_str()).Capacity(), 48);

    String s(std::string(21, 'x').c_str());
    s.AppendChar('y'); // 21 + 2 < 24: in place
    EXPECT_EQ(s.Capacity(), 24);
    EXPECT_EQ(s.Length(), 22);
    s.AppendChar('z'); // 22 + 2 == 24: grows one step
    EXPECT_EQ(s.Capacity(), 48);
    EXPECT_EQ(Str(s), std::string(21, 'x') + "yz");
    ExpectTerminated(s);

    String t("0123456789");
    t.Append(std::string(30, 'a').c_str(), 30);
    EXPECT_EQ(t.Capacity(), 48);
    EXPECT_EQ(t.Length(), 40);
    ExpectTerminated(t);

    // A shorter assignment reuses the buffer; the string never shrinks.
    t.Assign("ab", 2);
    EXPECT_EQ(t.Capacity(), 48);
    EXPECT_EQ(Str(t), "ab");

    // Reserved room takes appends up to that length without a new buffer.
    String r;
    r.Reserve(40);
    EXPECT_FALSE(r.IsNull());
    EXPECT_EQ(r.Capacity(), 48);
    const char* buffer = r.Text();
    r.Append(std::string(39, 'r').c_str(), 39);
    r.AppendChar('s');
    EXPECT_EQ(r.Text(), buffer);
    r.Reserve(10); // never shrinks
    EXPECT_EQ(r.Capacity(), 48);
    EXPECT_EQ(Str(r), std::string(39, 'r') + "s");
    ExpectTerminated(r);

    String n;
    n.AppendChar('q');
    EXPECT_EQ(n.Capacity(), 24);
    EXPECT_EQ(Str(n), "q");
    String m;
    m.Append("", 0); // appending to the null form is an assignment
    EXPECT_FALSE(m.IsNull());
}

TEST(StringOwnership, AdoptDetachFree) {
    char* five = static_cast<char*>(std::malloc(5));
    std::memcpy(five, "abcde", 5);
    String s = String::Adopted(five, 5, 5); // no room for the terminator: copied
    EXPECT_EQ(s.Capacity(), 24);
    EXPECT_NE(s.Data(), five);
    EXPECT_EQ(Str(s), "abcde");
    ExpectTerminated(s);

    char* six = static_cast<char*>(std::malloc(6));
    std::memcpy(six, "abcde", 5);
    s.Adopt(six, 5, 6); // kept as is, capacity not rounded
    EXPECT_EQ(s.Data(), six);
    EXPECT_EQ(s.Capacity(), 6);
    ExpectTerminated(s);

    char* raw = s.Detach();
    EXPECT_EQ(raw, six);
    EXPECT_TRUE(s.IsNull());
    std::free(raw);

    s.Assign("x", 1);
    s.Free();
    EXPECT_TRUE(s.IsNull());
    EXPECT_EQ(s.Capacity(), 0);
}

TEST(StringAssign, OverlappingOwnText) {
    String s("hello world");
    s.Assign(s.Data() + 6, 5);
    EXPECT_EQ(Str(s), "world");
    s.Append(s.Data(), s.Length()); // grows while reading its own buffer
    EXPECT_EQ(Str(s), "worldworld");
    s.Append(s.Data(), 3);
    EXPECT_EQ(Str(s), "worldworldwor");
    String& same = s; // self-assignment, past the compilers' warning
    s = same;
    EXPECT_EQ(Str(s), "worldworldwor");
    ExpectTerminated(s);
}

TEST(StringAppend, IntegersAndConcatenation) {
    String s("n=");
    s.AppendInteger(-2147483647 - 1);
    EXPECT_EQ(Str(s), "n=-2147483648");
    String none;
    EXPECT_EQ(Str("pre" + String("a") + none + String("b") + 'c' + "xyz" + 42), "preabcxyz42");
    EXPECT_EQ(Str(StringPlusCStr(String("a"), nullptr)), "a");
    EXPECT_FALSE((none + none).IsNull()); // a copy of the null form is allocated
}

TEST(StringShorten, CutsAndTerminates) {
    String s("hello");
    EXPECT_EQ(s.Shorten(3), 2);
    EXPECT_EQ(Str(s), "he");
    EXPECT_STREQ(s.Text(), "he"); // terminator written at the new length
    EXPECT_EQ(s.Shorten(9), -7);
    EXPECT_EQ(Str(s), "he");

    // Cut bytes must not come back through operations that read up to the NUL.
    String t("  abc  xyz");
    t.Shorten(5);
    t.Trim();
    EXPECT_EQ(Str(t), "abc");
    String u("a=bcdef");
    u.Shorten(4);
    EXPECT_EQ(Str(u.TextAfterPosition(1)), "b");

    String v("hello");
    EXPECT_EQ(v.Shorten(-3), -1); // a negative count changes nothing
    EXPECT_EQ(Str(v), "hello");
    String none;
    EXPECT_EQ(none.Shorten(0), 0);
    EXPECT_TRUE(none.IsNull());
}

TEST(StringCutting, LeftBeforeAfterPosition) {
    String s("hello");
    EXPECT_TRUE(s.Left(-1).IsNull());
    String zero = s.Left(0);
    EXPECT_FALSE(zero.IsNull());
    EXPECT_EQ(zero.Length(), 0);
    EXPECT_EQ(Str(s.Left(2)), "he");
    EXPECT_EQ(Str(s.Left(99)), "hello");

    String kv("a=b=c");
    EXPECT_EQ(Str(kv.TextAfter("=", 0)), "b=c");
    EXPECT_EQ(Str(kv.TextAfter("=", 2)), "c");
    EXPECT_EQ(Str(String("abc").TextAfter("=", 0)), "");
    EXPECT_EQ(Str(kv.TextBefore("=")), "a");
    EXPECT_EQ(Str(kv.TextBefore("#")), "a=b=c");

    EXPECT_EQ(Str(s.TextAfterPosition(1)), "llo");
    EXPECT_EQ(Str(s.TextAfterPosition(-1)), "hello");
    EXPECT_EQ(Str(s.TextAfterPosition(4)), "");
    EXPECT_EQ(Str(s.TextAfterPosition(5)), "");
    EXPECT_EQ(Str(s.TextAfterPosition(-7)), "");
    EXPECT_EQ(Str(s.TextAfterPosition(2147483647)), "");
    String nul("ab\0cd", 5);
    EXPECT_EQ(Str(nul.TextAfterPosition(0)), "b"); // stops at the first NUL
}

TEST(StringSplit, PartsAndLimits) {
    String s("a,,b,");
    String parts[10];
    ASSERT_EQ(s.Split(parts, 10, ","), 3);
    EXPECT_EQ(Str(parts[0]), "a");
    EXPECT_EQ(Str(parts[1]), "");
    EXPECT_EQ(Str(parts[2]), "b");
    String two[2];
    ASSERT_EQ(s.Split(two, 2, ","), 2);
    EXPECT_EQ(Str(two[0]), "a");
    EXPECT_EQ(Str(two[1]), "");

    String multi("k::v::w");
    String kv[3];
    EXPECT_EQ(multi.Split(kv, multi.CountOccurrences("::") + 1, "::"), 3);
    EXPECT_EQ(Str(kv[2]), "w");

    String whole[1];
    EXPECT_EQ(s.Split(whole, 1, ""), 1);
    EXPECT_EQ(Str(whole[0]), "a,,b,");
    EXPECT_EQ(s.Split(whole, 0, ","), 0);
    String none;
    String one[1];
    EXPECT_EQ(none.Split(one, 1, ","), 0);
    EXPECT_EQ(one[0].Length(), 0); // the empty rest is assigned, not counted
    String other[1];
    EXPECT_EQ(none.Split(other, 1, ""), 1);
    EXPECT_TRUE(other[0].IsNull()); // nothing assigned from the null form
}

TEST(StringSearch, FindCountHasChar) {
    String s("hello");
    EXPECT_EQ(s.Find("", 0), -1);
    EXPECT_EQ(s.Find("lo", 3), 3);
    EXPECT_EQ(s.Find("x", 5), -1);
    EXPECT_EQ(s.Find("l", -10), 2);
    EXPECT_EQ(s.Find("hello!", 0), -1);
    EXPECT_EQ(s.Find("llo", 3), -1); // needle longer than what is left
    EXPECT_EQ(s.Find("h", 2147483647), -1);
    EXPECT_EQ(String().Find("a", 0), -1);
    String shortened("abcabc");
    shortened.Shorten(3);
    EXPECT_EQ(shortened.Find("abc", 1), -1); // nothing found past the length

    EXPECT_EQ(String("aaaa").CountOccurrences("aa"), 3);
    EXPECT_EQ(String("aaa").CountOccurrences("aa"), 2);
    EXPECT_EQ(String("abc").CountOccurrences(""), 0);

    EXPECT_EQ(s.HasCharFrom('h', 1), 0);
    EXPECT_EQ(s.HasCharFrom('o', 4), 1);
    EXPECT_EQ(s.HasCharFrom('o', 5), 0);
}

TEST(StringCase, AsciiOnly) {
    EXPECT_EQ(String("test.txt").MatchesAtNoCase(".TXT", 4), 1);
    EXPECT_EQ(String("test.txtx").MatchesAtNoCase(".TXT", 4), 0);
    EXPECT_EQ(String("abc").MatchesAtNoCase("", 3), 1);
    EXPECT_EQ(String("abc").MatchesAtNoCase("", 4), 0);
    EXPECT_EQ(String("abc").MatchesAtNoCase("abc", -1), 0);
    EXPECT_EQ(String("x\xe9").MatchesAtNoCase("X\xc9", 0), 0); // high bytes never fold

    String s("MiXed caSe 123 \xe9\xff");
    s.ToUpper();
    EXPECT_EQ(Str(s), "MIXED CASE 123 \xe9\xff");
    EXPECT_TRUE(String("Content-Type").EqualsNoCase("CONTENT-TYPE"));
    EXPECT_FALSE(String("Content-Type").EqualsNoCase("CONTENT-TYP"));
}

TEST(StringTrim, WhiteSpaceSet) {
    String s(" \t\r\n  body text \n\r\t ");
    s.Trim();
    EXPECT_EQ(Str(s), "body text");
    ExpectTerminated(s);
    String all(" \t \n");
    all.Trim();
    EXPECT_EQ(all.Length(), 0);
    EXPECT_FALSE(all.IsNull());
    String keep("\vx\f"); // only space, tab, CR and LF are trimmed
    keep.Trim();
    EXPECT_EQ(Str(keep), "\vx\f");
    String nul(" ab\0 cd", 7);
    nul.Trim(); // works up to the first NUL
    EXPECT_EQ(Str(nul), "ab");
}

TEST(StringBase64, BufferSizes) {
    String plain("foobar!");
    String enc = plain.Base64Encode();
    EXPECT_EQ(Str(enc), "Zm9vYmFyIQ==");
    EXPECT_EQ(enc.Capacity(), 7 / 3 * 4 + 5);
    ExpectTerminated(enc);
    String dec = enc.Base64Decode();
    EXPECT_EQ(Str(dec), "foobar!");
    EXPECT_EQ(dec.Capacity(), enc.Length() + 1);
    ExpectTerminated(dec);
    EXPECT_EQ(String("", 0).Base64Encode().Length(), 0);
    EXPECT_EQ(String().Base64Decode().Length(), 0);
    EXPECT_EQ(String("QQ").Base64Decode().Length(), 0);
}

// The four byte searches agree with each other and with std::string::find.
TEST(ByteSearch, AllFourAgree) {
    std::mt19937 rng(7);
    for (int iter = 0; iter < 20000; ++iter) {
        int alphabet = 2 + static_cast<int>(rng() % 3);
        std::string hay(rng() % 40, 'a'), needle(1 + rng() % 5, 'a');
        for (char& c : hay)
            c = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % alphabet);
        for (char& c : needle)
            c = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % alphabet);
        int32_t n = static_cast<int32_t>(needle.size()), h = static_cast<int32_t>(hay.size());
        size_t pos = hay.find(needle);
        int32_t expect = pos == std::string::npos ? -1 : static_cast<int32_t>(pos);
        ASSERT_EQ(FindBytes(needle.data(), n, hay.data(), h), expect) << needle << " in " << hay;
        ASSERT_EQ(FindBytesSkip(needle.data(), n, hay.data(), h), expect) << needle << " in " << hay;

        std::string lh = hay, ln = needle;
        for (char& c : lh)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : ln)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        pos = lh.find(ln);
        expect = pos == std::string::npos ? -1 : static_cast<int32_t>(pos);
        ASSERT_EQ(FindBytesNoCase(needle.data(), n, hay.data(), h), expect) << needle << " in " << hay;
        ASSERT_EQ(FindBytesSkipNoCase(needle.data(), n, hay.data(), h), expect) << needle << " in " << hay;
    }
}

TEST(ByteSearch, SkipSearchesStayLinearOnRepetitiveTexts) {
    // Needles that match long runs from the right and then fail: each place
    // would cost the needle's length again without a bound on the work.
    const std::string as(300000, 'a'), mixed = as + "Baaa" + std::string(29997, 'A') + "x";
    const struct {
        std::string needle, haystack;
        int32_t at;
    } cases[] = {
        {"b" + std::string(30000, 'a'), as, -1},
        {"b" + std::string(30000, 'a'), as + "b" + std::string(30000, 'a'), 300000},
        {"ba" + std::string(29999, 'a'), mixed, -1},
        {std::string(100, 'a') + "b" + std::string(100, 'a'), as, -1},
    };
    for (const auto& c : cases) {
        int32_t m = static_cast<int32_t>(c.needle.size()), n = static_cast<int32_t>(c.haystack.size());
        EXPECT_EQ(FindBytesSkip(c.needle.data(), m, c.haystack.data(), n), c.at);
        EXPECT_LE(LastSkipSearchComparisons(), 4 * (static_cast<int64_t>(n) + m) + 4);
        std::string upper = c.needle;
        for (char& ch : upper)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        int32_t folded = FindBytesSkipNoCase(upper.data(), m, c.haystack.data(), n);
        EXPECT_EQ(folded, &c == &cases[2] ? 300000 : c.at);
        EXPECT_LE(LastSkipSearchComparisons(), 4 * (static_cast<int64_t>(n) + m) + 4);
    }
    // Texts of few letters and mostly one: the budget runs out on the way.
    std::mt19937 rng(11);
    for (int iter = 0; iter < 3000; ++iter) {
        std::string hay(rng() % 400, 'a'), needle(1 + rng() % 40, 'a');
        for (char& c : hay)
            if (rng() % 16 == 0) c = "bB"[rng() % 2];
        for (char& c : needle)
            if (rng() % 8 == 0) c = "bB"[rng() % 2];
        int32_t n = static_cast<int32_t>(needle.size()), h = static_cast<int32_t>(hay.size());
        ASSERT_EQ(FindBytesSkip(needle.data(), n, hay.data(), h), FindBytes(needle.data(), n, hay.data(), h))
            << needle << " in " << hay;
        ASSERT_EQ(FindBytesSkipNoCase(needle.data(), n, hay.data(), h),
                  FindBytesNoCase(needle.data(), n, hay.data(), h))
            << needle << " in " << hay;
    }
}

TEST(ByteSearch, EdgesAndHighBytes) {
    EXPECT_EQ(FindBytes("abc", 3, "ab", 2), -1);
    EXPECT_EQ(FindBytesSkip("abc", 3, "ab", 2), -1);
    EXPECT_EQ(FindBytes("a", 1, "", 0), -1);
    EXPECT_EQ(FindBytesSkip("", 0, "abc", 3), 0);
    EXPECT_EQ(FindBytes("lo", -1, "hello", -1), 3);
    EXPECT_EQ(FindBytes("lo", -5, "hello", 5), -1);
    EXPECT_EQ(FindBytesNoCase("\xe9", 1, "caf\xc9", 4), -1);
    EXPECT_EQ(FindBytesSkipNoCase("CAF\xe9", 4, "un caf\xe9", 7), 3);
    EXPECT_EQ(FindBytes(std::string("a\0b", 3).data(), 3, std::string("xa\0b", 4).data(), 4), 1);
    std::string longHay(5000, 'x');
    longHay += "needle";
    EXPECT_EQ(FindBytesSkip("needle", 6, longHay.data(), static_cast<int32_t>(longHay.size())), 5000);
    EXPECT_EQ(FindBytesSkipNoCase("NEEDLE", 6, longHay.data(), static_cast<int32_t>(longHay.size())), 5000);
}
