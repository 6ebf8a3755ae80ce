#include "SqlTestSupport.h"

#include <gtest/gtest.h>

using namespace vorn;
using namespace sqltest;

namespace {

struct Row {
    const char* sql;
    const char* error; // "" when the statement compiles
};

void ExpectCompile(const Row* rows, size_t count, FakeCatalog& catalog = StandardCatalog()) {
    for (size_t i = 0; i < count; ++i) {
        Compiled c = Compile(catalog, rows[i].sql);
        EXPECT_TRUE(c.parsed) << rows[i].sql << ": " << c.error;
        EXPECT_EQ(c.error, rows[i].error) << rows[i].sql;
        EXPECT_EQ(c.generated, rows[i].error[0] == 0) << rows[i].sql;
        EXPECT_EQ(c.check, "") << rows[i].sql;
    }
}

} // namespace

TEST(SqlResolve, TablesAndColumns) {
    const Row rows[] = {
        {"SELECT a FROM nosuch", "Unknown table 'nosuch'"},
        {"SELECT zz FROM nosuch", "Unknown table 'nosuch'"}, // tables before columns
        {"SELECT a FROM T", ""},                               // names are found in any case
        {"SELECT a FROM t, w", "Column 'a' ambiguously defined"},
        {"SELECT t.a FROM t, w", ""},
        {"SELECT x.a FROM t", "Unknown field 'x.a'"},
        {"SELECT t.zz FROM t", "Unknown field 't.zz'"},
        {"SELECT zz FROM t", "Unknown field 'zz'"},
        {"SELECT zz FROM t WHERE yy = 1", "Unknown field 'zz'"}, // the first reference made
        {"SELECT t.a FROM t x", "Unknown field 't.a'"},          // an alias hides the name
        {"SELECT x.a, X.B FROM t x", ""},
        {"SELECT x.* FROM t", "Unspecified correlation 'x'"},
        {"SELECT t.*, w.* FROM t, w", ""},
        // Two aliases of one table are two tables.
        {"SELECT a FROM t x, t y", "Column 'a' ambiguously defined"},
        {"SELECT x.a FROM t x, t y", ""},
        {"SELECT a FROM t WHERE b IN (SELECT c, d FROM t)", "Sub-query returns more than one column"},
        {"SELECT a FROM t WHERE a = (SELECT * FROM w)", "Sub-query returns more than one column"},
        {"SELECT a FROM t WHERE EXISTS (SELECT * FROM w)", ""}, // EXISTS takes any select list
        {"SELECT a FROM t UNION SELECT a, b FROM w", "UNIONed queries have a different number of result columns"},
        {"SELECT * FROM t UNION SELECT a FROM w", "UNIONed queries have a different number of result columns"},
        // Correlation goes outward for qualified names only.
        {"SELECT a FROM t WHERE EXISTS (SELECT x FROM u WHERE u.a = t.a)", ""},
        {"SELECT b FROM t WHERE EXISTS (SELECT x FROM u WHERE x = b)", "Unknown field 'b'"},
        {"SELECT a FROM t u WHERE EXISTS (SELECT x FROM u WHERE u.a = 1)", ""},
        {"UPDATE t SET zz = 1", "Unknown field 'zz'"},
        {"UPDATE nosuch SET a = 1", "Unknown table 'nosuch'"},
        {"DELETE FROM t WHERE zz = 1", "Unknown field 'zz'"},
        {"INSERT INTO t (zz) VALUES (1)", "Field 'zz' does not exist in table 't'"},
        {"INSERT INTO nosuch VALUES (1)", "Unknown table 'nosuch'"},
        {"INSERT INTO t VALUES (a, 1, 1, 1)", "Unknown field 'a'"},
        {"INSERT INTO t VALUES ((SELECT MAX(a) FROM t), 'b', 1, 2)", ""},
    };
    ExpectCompile(rows, std::size(rows));
}

TEST(SqlResolve, AggregatesGroupingAndOrder) {
    const Row rows[] = {
        {"SELECT a, COUNT(*) FROM t",
         "Non aggregate column in select list does not exist in the GROUP BY clause (or no GROUP BY clause)"},
        {"SELECT a, COUNT(*) FROM t GROUP BY a", ""},
        {"SELECT t.a + 1, MAX(b) FROM t GROUP BY a", ""},
        {"SELECT b FROM t GROUP BY a",
         "Non aggregate column in select list does not exist in the GROUP BY clause (or no GROUP BY clause)"},
        {"SELECT UPPER(b) FROM t GROUP BY UPPER(b)",
         "Non aggregate column in select list does not exist in the GROUP BY clause (or no GROUP BY clause)"},
        {"SELECT b, (SELECT COUNT(*) FROM w WHERE w.b = t.b) FROM t GROUP BY b", ""},
        {"SELECT b, (SELECT COUNT(*) FROM w WHERE w.a = t.a) FROM t GROUP BY b",
         "Non aggregate column in select list does not exist in the GROUP BY clause (or no GROUP BY clause)"},
        {"SELECT COUNT(a) FROM t", "COUNT with expression is unimplemented"},
        {"SELECT COUNT(*) FROM t", ""},
        {"SELECT a FROM t WHERE COUNT(*) > 1", "Aggregate functions are only allowed in a select list"},
        {"SELECT SUM(MAX(a)) FROM t", "Aggregate functions are only allowed in a select list"},
        {"SELECT a FROM t GROUP BY SUM(a)", "Aggregate functions are only allowed in a select list"},
        {"UPDATE t SET a = MAX(a)", "Aggregate functions are only allowed in a select list"},
        {"SELECT a FROM t ORDER BY COUNT(*)", "Aggregate functions are only allowed in a select list"},
        {"SELECT b, COUNT(*) AS n FROM t GROUP BY b ORDER BY n DESC", ""},
        {"SELECT b, COUNT(*) FROM t GROUP BY b ORDER BY COUNT(*)", "ORDER BY must be by result column name"},
        {"SELECT b FROM t GROUP BY b ORDER BY a", "ORDER BY must be by result column name"},
        {"SELECT DISTINCT a FROM t ORDER BY b", "ORDER BY must be by result column name"},
        {"SELECT DISTINCT a FROM t ORDER BY t.a", "ORDER BY must be by result column name"},
        {"SELECT a FROM t UNION SELECT a FROM w ORDER BY a", ""},
        {"SELECT a FROM t UNION SELECT a FROM w ORDER BY b", "ORDER BY must be by result column name"},
        {"SELECT a FROM t ORDER BY b, t.d DESC, a + 1", ""},
        {"SELECT a AS x FROM t ORDER BY x", ""},
        {"SELECT a FROM t ORDER BY zz", "Unknown field 'zz'"},
        {"INSERT INTO t VALUES (1)", "Not enough values"},
        {"INSERT INTO t VALUES (1, 'b', 1, 2, 3)", "Too many values"},
        {"INSERT INTO t (a) VALUES (1)", ""},
        {"INSERT INTO t (a) VALUES (1, 2)", "Too many values"},
        {"INSERT INTO t (a, b) VALUES (1)", "Not enough values"},
        {"INSERT INTO w SELECT a FROM t", "Not enough values"},
        {"INSERT INTO w SELECT a, b, c FROM t", "Too many values"},
        {"INSERT INTO w (a) SELECT a FROM t UNION SELECT k FROM u", ""},
    };
    ExpectCompile(rows, std::size(rows));
}

TEST(SqlResolve, ParametersCountOneMoreThanTheHighestIndex) {
    struct {
        const char* sql;
        int32_t count;
        const char* indexes; // of the SQL_Push_Dynamic instructions, in order
    } rows[] = {
        {"SELECT a FROM t", 0, ""},
        {"SELECT ?, ? FROM t", 2, "0 1 "},
        {"SELECT :2 FROM t", 2, "1 "},
        {"SELECT :3, ? FROM t", 3, "2 0 "},
        {"SELECT ?, :1, ? FROM t", 2, "0 0 1 "},
        {"SELECT :0, :0 FROM t", 2, "0 1 "},
        {"SELECT a FROM t WHERE a = ? AND b IN (SELECT b FROM w WHERE w.a = ?)", 2, "0 0 1 "}, // key and test
    };
    for (const auto& row : rows) {
        Compiled c = Compile(StandardCatalog(), row.sql);
        ASSERT_TRUE(c.generated) << row.sql << ": " << c.error;
        EXPECT_EQ(c.parameters, row.count) << row.sql;
        std::string indexes;
        for (const std::string& line : c.code) {
            size_t at = line.find(": Push_Dynamic");
            if (at == std::string::npos) continue;
            std::string rest = line.substr(at + 14);
            indexes += (rest.empty() ? "0" : rest.substr(1)) + " ";
        }
        EXPECT_EQ(indexes, row.indexes) << row.sql;
        EXPECT_EQ(c.check, "") << row.sql;
    }
}

TEST(SqlResolve, GenerateWithoutAStatementFails) {
    SQLCodeGenerator generator(&StandardCatalog());
    EXPECT_EQ(generator.Generate(), 0);
    EXPECT_STREQ(generator.ErrorText().Text(), "No SQL statement");
    SQLParser parser(generator);
    EXPECT_EQ(parser.Parse("SELECT", -1), 0);
    EXPECT_EQ(generator.Generate(), 0); // a failed parse leaves none either
    ASSERT_EQ(parser.Parse("SELECT * FROM t", -1), 1);
    EXPECT_EQ(generator.Generate(), 1);
    int32_t count = generator.InstructionCount();
    EXPECT_EQ(generator.Generate(), 0); // once per parse
    EXPECT_EQ(generator.InstructionCount(), count);
}
