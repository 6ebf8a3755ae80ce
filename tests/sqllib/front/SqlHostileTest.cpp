// Any text a script passes: no crash, no unbounded recursion, and every
// program that compiles passes the checker.
#include "SqlFuzz.h"
#include "SqlTestSupport.h"

#include <gtest/gtest.h>

#include <random>

using namespace vorn;
using namespace sqltest;

namespace {


const char* const kWords[] = {
    "SELECT", "FROM", "WHERE", "AND", "OR", "NOT", "(", ")", ",", "*", "t", "w", "u", "a", "b", "k", "x",
    "t.a", "w.b", "=", "<", ">", "<=", ">=", "<>", "+", "-", "/", "1", "'s'", "?", ":2", "IN", "BETWEEN",
    "LIKE", "IS", "NULL", "EXISTS", "COUNT", "SUM", "MAX", "UPPER", "LENGTH", "GROUP", "BY", "ORDER", "DESC",
    "UNION", "ALL", "DISTINCT", "AS", "LEFT", "OUTER", "JOIN", "ON", "INSERT", "INTO", "VALUES", "UPDATE", "SET",
    "DELETE", "CREATE", "TABLE", "INDEX", "DROP", ".", ";", "CHAR", "NUMERIC",
};

// Parses and generates; returns the checker's verdict for what compiled.
std::string Survive(const std::string& sql) {
    Compiled c = Compile(StandardCatalog(), sql);
    if (c.generated && !c.check.empty()) return sql + " -> " + c.check;
    if (!c.parsed && c.error.empty()) return sql + " -> failed without a message";
    return "";
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    out.reserve(s.size() * static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

} // namespace

TEST(SqlHostile, RandomBytes) {
    std::mt19937 random(21);
    for (int i = 0; i < 1500; ++i) {
        std::string sql(random() % 120, '\0');
        for (char& c : sql) c = static_cast<char>(random());
        ASSERT_EQ(Survive(sql), "");
    }
}

TEST(SqlHostile, TokenSoup) {
    std::mt19937 random(2121);
    int compiled = 0;
    for (int i = 0; i < 1500; ++i) {
        std::string sql = i % 2 ? "SELECT a FROM t WHERE " : "";
        for (int n = random() % (i % 2 ? 6 : 25); n > 0; --n)
            sql += std::string(kWords[random() % std::size(kWords)]) + " ";
        ASSERT_EQ(Survive(sql), "");
        compiled += Compile(StandardCatalog(), sql).generated;
    }
    EXPECT_GT(compiled, 10); // the soup does reach code generation
}

// The fuzzers' seeds and seeded mutations of them, as libFuzzer would make them.
TEST(SqlHostile, FuzzReplay) {
    std::vector<std::string> seeds = FuzzSeeds();
    ASSERT_GE(seeds.size(), 10u);
    std::mt19937 random(4242);
    auto run = [](const std::string& input) {
        const uint8_t* data = reinterpret_cast<const uint8_t*>(input.data());
        FuzzParse(data, input.size());
        return FuzzGenerate(data, input.size());
    };
    for (const std::string& seed : seeds) ASSERT_EQ(run(seed), "") << seed;
    for (int i = 0; i < 2500; ++i) {
        std::string input = seeds[random() % seeds.size()];
        for (int n = 1 + random() % 4; n > 0; --n) {
            size_t at = input.empty() ? 0 : random() % input.size();
            switch (random() % 5) {
            case 0:
                if (!input.empty()) input[at] = static_cast<char>(random());
                break;
            case 1:
                input.erase(at, 1 + random() % 8);
                break;
            case 2:
                input.insert(at, std::string(kWords[random() % std::size(kWords)]) + " ");
                break;
            case 3:
                input.insert(at, input.substr(at, random() % 16));
                break;
            default: { // splice with another seed
                const std::string& other = seeds[random() % seeds.size()];
                input = input.substr(0, at) + other.substr(random() % other.size());
            }
            }
        }
        ASSERT_EQ(run(input), "") << input;
    }
}

TEST(SqlHostile, EveryPrefixOfValidStatements) {
    for (const std::string& sql : FuzzSeeds()) {
        Compiled whole = Compile(StandardCatalog(), sql);
        ASSERT_TRUE(whole.generated) << sql << ": " << whole.error;
        ASSERT_EQ(whole.check, "") << sql;
        for (size_t n = 0; n < sql.size(); ++n) ASSERT_EQ(Survive(sql.substr(0, n)), "");
    }
}

TEST(SqlHostile, NestingIsBounded) {
    const std::string deep = "Syntax Error: Statement nested more than 100 levels deep";
    const int n = 100000;
    const std::string rows[] = {
        "SELECT " + Repeat("(", n) + "a" + Repeat(")", n) + " FROM t",
        "SELECT a FROM t WHERE " + Repeat("(", n) + "a = 1" + Repeat(")", n),
        "SELECT a FROM t WHERE " + Repeat("NOT ", n) + "a = 1",
        "SELECT " + Repeat("UPPER(", n) + "b" + Repeat(")", n) + " FROM t",
        "SELECT " + Repeat("LENGTH(", n) + "b" + Repeat(")", n) + " FROM t",
        "SELECT " + Repeat("SUM(", n) + "a" + Repeat(")", n) + " FROM t",
        "SELECT a FROM t WHERE a = " + Repeat("(SELECT a FROM t WHERE a = ", 5000) + "1" + Repeat(")", 5000),
        "SELECT a FROM t WHERE " + Repeat("EXISTS (SELECT a FROM t WHERE ", 5000) + "1 = 1" + Repeat(")", 5000),
        "SELECT a FROM t WHERE a IN " + Repeat("(SELECT a FROM t WHERE a IN ", 5000) + "(1)" + Repeat(")", 5000),
        "SELECT " + Repeat("(", n),
    };
    for (const std::string& sql : rows) EXPECT_EQ(Compile(StandardCatalog(), sql).error, deep) << sql.substr(0, 60);
    // Up to the limit everything compiles; the checker reads shallower ones.
    for (int depth : {8, 100}) {
        const std::string within[] = {
            "SELECT " + Repeat("(", depth - 1) + "a" + Repeat(")", depth - 1) + " FROM t",
            "SELECT a FROM t WHERE " + Repeat("NOT ", depth) + "a = 1",
            "SELECT a FROM w WHERE b = " + Repeat("(SELECT b FROM w WHERE b = ", depth) + "1" + Repeat(")", depth),
            "SELECT a FROM t WHERE " + Repeat("EXISTS (SELECT a FROM t WHERE ", depth) + "1 = 1" + Repeat(")", depth),
            "SELECT a FROM t WHERE a IN " + Repeat("(SELECT a FROM t WHERE a IN ", depth - 1) + "(1)" +
                Repeat(")", depth - 1),
        };
        for (const std::string& sql : within) {
            Compiled c = Compile(StandardCatalog(), sql, depth <= 8);
            EXPECT_TRUE(c.generated) << sql.substr(0, 60) << ": " << c.error;
            EXPECT_EQ(c.check, "") << sql.substr(0, 60);
        }
    }
    // An index key is generated twice (key and test): nested, that doubles per
    // level, and the program's bound stops it early.
    Compiled doubled = Compile(StandardCatalog(), "SELECT a FROM t WHERE a = " +
                                                      Repeat("(SELECT a FROM t WHERE a = ", 60) + "1" + Repeat(")", 60));
    EXPECT_EQ(doubled.error, "Statement too complex: more than 500000 instructions");
}

TEST(SqlHostile, FlatChainsOfAnyLength) {
    // Long chains compile without recursion per operator; the checker reads the shorter ones.
    for (int n : {2000, 100000}) {
        const std::string rows[] = {
            "SELECT a" + Repeat(" + a", n) + " FROM t",
            "SELECT a" + Repeat(" * a - a / 2", n / 10) + " FROM t",
            "SELECT a FROM t WHERE a = 1" + Repeat(" AND a = 1", n / 10),
            "SELECT a FROM t WHERE a = 1" + Repeat(" OR b = 'x'", n / 10),
            "SELECT a FROM t WHERE a IN (1" + Repeat(", 2", n / 5) + ")",
            "SELECT " + Repeat("- ", n) + "a FROM t",
            "SELECT a FROM t WHERE " + Repeat("a = ? AND ", n / 10) + "1 = 1",
        };
        for (const std::string& sql : rows) {
            SQLCodeGenerator generator(&StandardCatalog());
            SQLParser parser(generator);
            ASSERT_TRUE(parser.Parse(sql.data(), static_cast<int32_t>(sql.size()))) << parser.ErrorText().Text();
            ASSERT_TRUE(generator.Generate()) << generator.ErrorText().Text();
            if (n > 2000) continue;
            EXPECT_EQ(CheckProgram(generator.Instructions(), generator.InstructionCount(), generator.ParameterCount()),
                      "")
                << sql.substr(0, 60);
        }
    }
    EXPECT_EQ(Compile(StandardCatalog(), "SELECT a FROM t WHERE " + Repeat("a = ? AND ", 3000) + "1 = 1").parameters,
              3000);
    // Wide statements: many columns, many tables.
    std::string columns = "SELECT a";
    for (int i = 0; i < 1000; ++i) columns += ", b";
    std::string tables = "SELECT 1 FROM t";
    for (int i = 0; i < 40; ++i) tables += ", t x" + std::to_string(i);
    for (const std::string& sql : {columns + " FROM t", tables + " WHERE x7.a = x8.a"}) {
        Compiled c = Compile(StandardCatalog(), sql);
        EXPECT_TRUE(c.generated) << c.error;
        EXPECT_EQ(c.check, "");
    }
}

TEST(SqlHostile, IntegersNeverOverflow) {
    const std::pair<std::string, std::string> rows[] = {
        {"CREATE TABLE z (a CHAR(" + std::string(400, '9') + "))", "Column 'a' must be 1 to 254 characters wide"},
        {"CREATE TABLE z (a NUMERIC(" + std::string(400, '9') + ", " + std::string(400, '9') + "))",
         "NUMERIC fields may only be 19 digits, field is too many digits"},
        {"CREATE TABLE z (a NUMERIC(2147483647, 2147483647))",
         "NUMERIC fields may only be 19 digits, field is too many digits"},
        {"SELECT :" + std::string(400, '9') + " FROM t", "Syntax Error: Expected number, found '" +
                                                             std::string(400, '9') + "'"},
        {"SELECT :2147483648 FROM t", "Syntax Error: Expected number, found '2147483648'"},
        {"SELECT a FROM t WHERE a = " + std::string(400, '9'), ""},
        {"SELECT a FROM t WHERE a < " + std::string(400, '9'), ""},
    };
    for (const auto& row : rows) {
        Compiled c = Compile(StandardCatalog(), row.first);
        EXPECT_EQ(c.error, row.second) << row.first.substr(0, 50);
        EXPECT_EQ(c.check, "");
    }
}
