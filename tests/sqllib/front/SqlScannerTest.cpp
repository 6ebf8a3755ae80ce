#include "SqlTestSupport.h"

#include "sqllib/front/SqlKeywords.h"
#include "sqllib/front/SqlToken.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

using namespace vorn;
using namespace sqltest;

namespace {

// Every token of a text as "token:text", the end included once.
std::string Tokens(const std::string& sql) {
    SQLCodeGenerator generator(nullptr);
    SQLParser parser(generator);
    parser.StartText(sql.data(), static_cast<int32_t>(sql.size()));
    std::string out;
    for (int guard = 0; guard < 100; ++guard) {
        int32_t token = parser.Scan();
        if (!out.empty()) out += ' ';
        out += std::to_string(token);
        if (token == kSqlEnd) break;
        out += ":" + std::string(parser.TokenText(), static_cast<size_t>(parser.TokenTextLength()));
    }
    return out;
}

} // namespace

TEST(SqlKeywords, EveryRowIsFoundByItsOwnNameInAnyCase) {
    std::set<int32_t> keywords, punctuation;
    for (int32_t slot = 0; slot < SQLKeywordLookup::kRows; ++slot) {
        const SQLKeywordRow& row = SQLKeywordLookup::Rows()[slot];
        EXPECT_EQ(SQLKeywordLookup::Lookup(row.name, -1), &row) << row.name;
        std::string upper(row.name);
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(SQLKeywordLookup::Lookup(upper.data(), row.length), &row) << upper;
        (row.token >= 1000 ? punctuation : keywords).insert(row.token);
    }
    EXPECT_EQ(keywords.size(), 224u);
    EXPECT_EQ(*keywords.begin(), 1);
    EXPECT_EQ(*keywords.rbegin(), 224);
    EXPECT_EQ(punctuation.size(), 16u);
    EXPECT_EQ(*punctuation.begin(), 1000);
    EXPECT_EQ(*punctuation.rbegin(), 1015);
}

TEST(SqlKeywords, TokensTheGrammarUsesHaveTheirNumbers) {
    struct {
        const char* name;
        int32_t token;
    } rows[] = {{"select", kSqlSelect}, {"from", kSqlFrom},     {"where", kSqlWhere},     {"and", kSqlAnd},
                {"or", kSqlOr},         {"not", kSqlNot},       {"count", kSqlCount},     {"avg", kSqlAvg},
                {"max", kSqlMax},       {"min", kSqlMin},       {"sum", kSqlSum},         {"upper", kSqlUpper},
                {"lower", kSqlLower},   {"memo", kSqlMemo},     {"bool", kSqlBool},       {"boolean", kSqlBoolean},
                {"union", kSqlUnion},   {"varchar", kSqlVarchar}, {"disconect", 65},      {"end-exec", 73},
                {"value_disabled", 209}, {"<>", kSqlNotEqual},  {">_equal", kSqlGreaterEqual}, {"?", kSqlQuestion}};
    for (const auto& row : rows) {
        const SQLKeywordRow* found = SQLKeywordLookup::Lookup(row.name, -1);
        ASSERT_NE(found, nullptr) << row.name;
        EXPECT_EQ(found->token, row.token) << row.name;
    }
    for (const char* word : {"selects", "value", "domain", "module", "disconnect", "length", "", "x"})
        EXPECT_EQ(SQLKeywordLookup::Lookup(word, -1), nullptr) << word;
    // A prefix or an extension of a keyword is not that keyword.
    EXPECT_EQ(SQLKeywordLookup::Lookup("select", 5), nullptr);
}

TEST(SqlScanner, TokenSequences) {
    struct {
        const char* sql;
        const char* tokens;
    } rows[] = {
        {"select", "175:select -1"},
        {"SeLeCt SELECT", "175:SeLeCt 175:SELECT -1"},
        {"selects", "-2:selects -1"},
        {"a<>b", "-2:a 1013:<> -2:b -1"},
        {"a<=b", "-2:a 1015:<= -2:b -1"},
        {"a>=b", "-2:a 1014:>= -2:b -1"},
        {"a=>b", "-2:a 1007:= 1004:> -2:b -1"},
        {"a<", "-2:a 1003:< -1"},
        {"x;", "-2:x -1"},
        {"'it''s'", "-3:it -3:s -1"},
        {"'open", "-3:open -1"},
        {"''", "-3: -1"},
        {":12", "-4:12 -1"},
        {":", "-4: -1"},
        {":1.5x", "-4:1.5 -2:x -1"},
        {"12abc", "-3:12 -2:abc -1"},
        {"1.2.3", "-3:1.2.3 -1"},
        {".5", "1005:. -3:5 -1"},
        {"value domain module", "-2:value -2:domain -2:module -1"},
        {"_x1 x_2", "-2:_x1 -2:x_2 -1"},
        {"a\t\n\v\f\rb", "-2:a -2:b -1"},
        {"!@#$%^&[]{}|~`\"\\;", "-1"},
        {"caf\xc3\xa9 \xff", "-2:caf -1"},
        {"(,).*+-?/", "1001:( 1000:, 1002:) 1005:. 1008:* 1009:+ 1010:- 1011:? 1012:/ -1"},
        {"", "-1"},
        {"   ", "-1"},
        {"'a;b' -- c", "-3:a;b 1010:- 1010:- -2:c -1"},
        {"a\x00" "b", "-2:a -1"}, // the text ends at its NUL here
    };
    for (const auto& row : rows) EXPECT_EQ(Tokens(row.sql), row.tokens) << row.sql;
    // With an explicit length a NUL is one more unknown byte.
    SQLCodeGenerator generator(nullptr);
    SQLParser parser(generator);
    parser.StartText("a\0b", 3);
    EXPECT_EQ(parser.Scan(), kSqlIdentifier);
    EXPECT_EQ(parser.Scan(), kSqlIdentifier);
    EXPECT_EQ(std::string(parser.TokenText(), 1), "b");
}

TEST(SqlScanner, EndRepeatsAndKeepsTheLastTokenPlace) {
    SQLCodeGenerator generator(nullptr);
    SQLParser parser(generator);
    parser.StartText("select abc", -1);
    parser.Scan();
    parser.Scan();
    EXPECT_EQ(parser.Scan(), kSqlEnd);
    EXPECT_EQ(parser.TokenStart(), 7);
    EXPECT_EQ(parser.TokenLength(), 3);
    EXPECT_EQ(parser.TokenTextLength(), 0);
    EXPECT_EQ(parser.Scan(), kSqlEnd);
    EXPECT_EQ(parser.Scan(), kSqlEnd);
}

TEST(SqlScanner, StepsBackOverAtMostTheTokensRead) {
    SQLCodeGenerator generator(nullptr);
    SQLParser parser(generator);
    parser.StartText("one two three four five six seven", -1);
    parser.StepBack(); // nothing read: nothing to step over
    EXPECT_EQ(parser.Token(), kSqlEnd);
    parser.Scan();
    parser.Scan();
    parser.Scan();
    parser.StepBack();
    parser.StepBack();
    EXPECT_EQ(std::string(parser.TokenText(), 3), "one");
    // Reading twice gives the second and third tokens again without re-reading the text.
    parser.Scan();
    EXPECT_EQ(std::string(parser.TokenText(), 3), "two");
    parser.Scan();
    EXPECT_EQ(std::string(parser.TokenText(), 5), "three");
    parser.Scan();
    EXPECT_EQ(std::string(parser.TokenText(), 4), "four");
    // Five entries: stepping back goes no further than the ring holds.
    parser.Scan();
    parser.Scan();
    parser.Scan(); // seven
    for (int i = 0; i < 4; ++i) parser.StepBack();
    EXPECT_EQ(std::string(parser.TokenText(), 5), "three");
    parser.StepBack(); // a fifth step wraps onto the oldest slot, which is the current one again
    parser.StepBack(); // and no further
    for (int i = 0; i < 5; ++i) parser.Scan();
    EXPECT_EQ(parser.Scan(), kSqlEnd);
}
