#include "SqlTestSupport.h"

#include "sqllib/front/SqlToken.h"

#include <gtest/gtest.h>

using namespace vorn;
using namespace sqltest;

namespace {

struct Row {
    const char* sql;
    const char* error; // "" when the text parses
};

void ExpectParse(const Row* rows, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        SQLCodeGenerator generator(&StandardCatalog());
        SQLParser parser(generator);
        int ok = parser.Parse(rows[i].sql, -1);
        EXPECT_EQ(ok, rows[i].error[0] == 0) << rows[i].sql;
        EXPECT_EQ(std::string(parser.ErrorText().Text()), rows[i].error) << rows[i].sql;
        EXPECT_EQ(generator.Statement() != nullptr || !ok, true) << rows[i].sql;
    }
}

} // namespace

TEST(SqlParser, StatementsAndTheirEnds) {
    const Row rows[] = {
        {"", "Syntax Error: Empty SQL Statement"},
        {"   \t\n", "Syntax Error: Empty SQL Statement"},
        {"EXPLAIN x", "Syntax Error: Empty SQL Statement"},
        {";", "Syntax Error: Empty SQL Statement"},
        {"SELECT * FROM t;", ""},
        {"select * from T where A = 1", ""},
        {"SELECT a FROM t x y", "Syntax Error: SQL command not properly ended"},
        {"SELECT a FROM t WHERE a = 1 b", "Syntax Error: SQL command not properly ended"},
        {"ALTER t", "Syntax Error: Expected TABLE, found 't'"},
        {"ALTER", "Syntax Error: Expected TABLE at end of query"},
        {"CREATE VIEW v", "Syntax Error: Expected TABLE, found 'VIEW'"},
        {"DROP t", "Syntax Error: Expected TABLE or INDEX, found 't'"},
        {"DROP TABLE select", ""},
        {"DROP TABLE 'a b'", ""},
        {"DROP INDEX i", ""},
        {"DROP TABLE", "Syntax Error: Expected identifier at end of query"},
        {"DROP INDEX i j", "Syntax Error: SQL command not properly ended"},
    };
    ExpectParse(rows, std::size(rows));
}

TEST(SqlParser, TableDefinitions) {
    const Row rows[] = {
        {"CREATE TABLE t (a CHAR(5), b NUMERIC(16,2), c MEMO, d BOOL, e INTEGER)", ""},
        {"CREATE TABLE t (abcdefghijk CHAR(5))", "Column name 'abcdefghijk' exceeds the maximum length of 10 characters"},
        {"CREATE TABLE t (abcdefghij CHAR(5))", ""},
        {"CREATE TABLE t (a NUMERIC(17,2))", "NUMERIC fields may only be 19 digits, field is too many digits"},
        {"CREATE TABLE t (a NUMERIC(20))", "NUMERIC fields may only be 19 digits, field is too many digits"},
        {"CREATE TABLE t (a NUMERIC(99999999999999999999))",
         "NUMERIC fields may only be 19 digits, field is too many digits"},
        {"CREATE TABLE t (a NUMERIC(16,2))", ""},
        {"CREATE TABLE t (a NUMERIC(19,0))", ""},
        {"CREATE TABLE t (a DECIMAL)", ""},
        {"CREATE TABLE t (a INT)", "Unknown field type"},
        {"CREATE TABLE t (a DATE)", "Unknown field type"},
        {"CREATE TABLE t (a FLOAT)", "Unknown field type"},
        {"CREATE TABLE t (a CHAR(5) NOT NULL)", "Syntax Error: Mismatched parentheses"},
        {"CREATE TABLE t (a CHAR(5)", "Syntax Error: Mismatched parentheses"},
        {"CREATE TABLE t (a CHAR(5 b))", "Syntax Error: Mismatched parentheses"},
        {"CREATE TABLE t (a VARCHAR)", "Syntax Error: Expected open parenthesis, found ')'"},
        {"CREATE TABLE t (a VARCHAR(x))", "Syntax Error: Expected integer, found 'x'"},
        {"CREATE TABLE t (a VARCHAR(5", "Syntax Error: Expected close parenthesis at end of query"},
        {"CREATE TABLE t (a NUMERIC(5 x))", "Syntax Error: Expected close parenthesis, found 'x'"},
        {"CREATE TABLE t (a CHAR(-5))", "Syntax Error: Expected integer, found '-'"},
        {"CREATE TABLE t (a CHAR('12'))", ""},
        {"CREATE TABLE t (a CHAR(0))", "Column 'a' must be 1 to 254 characters wide"},
        {"CREATE TABLE t (a CHAR(255))", "Column 'a' must be 1 to 254 characters wide"},
        {"CREATE TABLE t (a CHAR(254))", ""},
        {"CREATE TABLE t (a VARCHAR('-1'))", "Column 'a' must be 1 to 254 characters wide"},
        {"CREATE TABLE t (a NUMERIC(0))", "Column 'a' must be at least 1 digit wide"},
        {"CREATE TABLE t (a NUMERIC(0,2))", "Column 'a' must be at least 1 digit wide"},
        {"CREATE TABLE t (a NUMERIC(5,'-1'))", "Column 'a' cannot have fewer than 0 decimals"},
        {"CREATE TABLE t a CHAR", "Syntax Error: Expected open parenthesis, found 'a'"},
        {"CREATE TABLE (a CHAR)", "Syntax Error: Expected identifier, found '('"},
        {"CREATE TABLE t (5 CHAR)", "Syntax Error: Expected column name, found '5'"},
        {"ALTER TABLE t ADD a CHAR(3)", ""},
        {"ALTER TABLE t ADD (a CHAR(3), b MEMO)", ""},
        {"ALTER TABLE t ADD (a CHAR(3), b MEMO", "Syntax Error: Mismatched parentheses"},
        {"ALTER TABLE t DROP COLUMN a", ""},
        {"ALTER TABLE t DROP a", "Syntax Error: Expected COLUMN, found 'a'"},
        {"ALTER TABLE t DROP COLUMN", "Syntax Error: Expected column name at end of query"},
        {"ALTER TABLE t RENAME", "Syntax Error: Expected ADD or DROP, found 'RENAME'"},
        {"CREATE INDEX i ON t (a, b DESC)", ""},
        {"CREATE UNIQUE INDEX i ON t (a ASC)", ""},
        {"CREATE UNIQUE i ON t (a)", "Syntax Error: Expected INDEX, found 'i'"},
        {"CREATE INDEX ON t (a)", "Syntax Error: Expected identifier, found 'ON'"},
        {"CREATE INDEX i t (a)", "Syntax Error: Expected ON, found 't'"},
        {"CREATE INDEX i ON (a)", "Syntax Error: Expected identifier, found '('"},
        {"CREATE INDEX i ON t a", "Syntax Error: Expected open parenthesis, found 'a'"},
        {"CREATE INDEX i ON t ()", "Syntax Error: Expected column identifier, found ')'"},
        {"CREATE INDEX i ON t (a b)", "Syntax Error: Expected close parenthesis, found 'b'"},
    };
    ExpectParse(rows, std::size(rows));
}

TEST(SqlParser, NameLimitsComeFromTheCatalog) {
    std::string t64(64, 't'), t65(65, 't');
    const std::string rows[][2] = {
        {"CREATE TABLE " + t64 + " (a CHAR)", ""},
        {"CREATE TABLE " + t65 + " (a CHAR)",
         "Table name '" + t65 + "' exceeds the maximum length of 64 characters"},
        {"ALTER TABLE " + t65 + " DROP COLUMN a",
         "Table name '" + t65 + "' exceeds the maximum length of 64 characters"},
        {"CREATE INDEX " + t65 + " ON t (a)", "Index name '" + t65 + "' exceeds the maximum length of 64 characters"},
        {"CREATE INDEX i ON " + t65 + " (a)", ""}, // the indexed table is not checked here
        {"DROP TABLE " + t65, ""},
    };
    for (const auto& row : rows) {
        SQLCodeGenerator generator(&StandardCatalog());
        SQLParser parser(generator);
        EXPECT_EQ(parser.Parse(row[0].c_str(), -1), row[1].empty()) << row[0];
        EXPECT_EQ(std::string(parser.ErrorText().Text()), row[1]);
    }
    FakeCatalog narrow({"t: a N5"});
    narrow.tableLimit = 3;
    narrow.indexLimit = 2;
    EXPECT_EQ(Compile(narrow, "CREATE TABLE abcd (a CHAR)").error,
              "Table name 'abcd' exceeds the maximum length of 3 characters");
    EXPECT_EQ(Compile(narrow, "CREATE INDEX abc ON t (a)").error,
              "Index name 'abc' exceeds the maximum length of 2 characters");
}

TEST(SqlParser, ChangeStatements) {
    const Row rows[] = {
        {"DELETE t", "Syntax Error: Expected FROM, found 't'"},
        {"DELETE FROM", "Syntax Error: Expected identifier at end of query"},
        {"DELETE FROM t WHERE", "Syntax Error: '' unexpected"},
        {"INSERT t VALUES (1)", "Syntax Error: Expected INTO, found 't'"},
        {"INSERT INTO t (a, b) VALUES (1, 'x')", ""},
        {"INSERT INTO t (a b) VALUES (1)", "Syntax Error: Expected close parenthesis, found 'b'"},
        {"INSERT INTO t (a, 5) VALUES (1)", "Syntax Error: Expected identifier, found '5'"},
        {"INSERT INTO t VALUES 1", "Syntax Error: Expected open parenthesis, found '1'"},
        {"INSERT INTO t VALUES (1 2)", "Syntax Error: Expected operator, found '2'"},
        {"INSERT INTO t VALUES (1, x y)", "Syntax Error: Expected close parenthesis, found 'y'"},
        {"INSERT INTO t SELECT a FROM w", ""},
        {"INSERT INTO t DEFAULT", "Syntax Error: Expected VALUES or SELECT, found 'DEFAULT'"},
        {"UPDATE t SET a = NULL WHERE b = 1", ""},
        {"UPDATE t SET a = NULL + 1", "Syntax Error: SQL command not properly ended"},
        {"UPDATE SET a = 1", "Syntax Error: Expected identifier, found 'SET'"},
        {"UPDATE t a = 1", "Syntax Error: Expected SET, found 'a'"},
        {"UPDATE t SET 1 = 1", "Syntax Error: Expected column identifier, found '1'"},
        {"UPDATE t SET a 1", "Syntax Error: Expected =, found '1'"},
        {"UPDATE t SET a = 1, b = 'x' WHERE a > 0", ""},
        {"UPDATE t SET a = 1 b = 2", "Syntax Error: SQL command not properly ended"},
    };
    ExpectParse(rows, std::size(rows));
}

TEST(SqlParser, Queries) {
    const Row rows[] = {
        {"SELECT a b FROM t", "Syntax Error: Expected FROM, found 'b'"},
        {"SELECT a FROM", "Syntax Error: Expected identifier at end of query"},
        {"SELECT a", "Syntax Error: Expected FROM at end of query"},
        {"SELECT FROM t", "Syntax Error: 'FROM' unexpected"},
        {"SELECT *, a FROM t", "Syntax Error: Expected FROM, found ','"},
        {"SELECT t.*, w.b FROM t, w", ""},
        {"SELECT DISTINCT a FROM t", ""},
        {"SELECT ALL a FROM t", ""},
        {"SELECT a AS FROM t", "Syntax Error: Expected identifier, found 'FROM'"},
        {"SELECT a AS 'x' FROM t", "Syntax Error: Expected identifier, found 'x'"},
        {"SELECT a FROM t GROUP a", "Syntax Error: Expected BY, found 'a'"},
        {"SELECT a FROM t ORDER a", "Syntax Error: Expected BY, found 'a'"},
        {"SELECT a FROM t GROUP BY a, b ORDER BY a DESC, b ASC", ""},
        {"SELECT a FROM t HAVING a > 1", "Syntax Error: SQL command not properly ended"},
        {"SELECT a FROM t UNION SELECT a FROM w UNION ALL SELECT a FROM u", ""},
        {"SELECT a FROM t UNION a FROM w", "Syntax Error: Expected SELECT, found 'a'"},
        {"SELECT a FROM t LEFT OUTER JOIN w ON t.a = w.a", ""},
        {"SELECT a FROM t x LEFT OUTER JOIN w y ON x.a = y.a LEFT OUTER JOIN u ON u.a = x.a", ""},
        {"SELECT a FROM t LEFT JOIN w ON t.a = w.a", "Syntax Error: Expected OUTER, found 'JOIN'"},
        {"SELECT a FROM t LEFT OUTER w", "Syntax Error: Expected JOIN, found 'w'"},
        {"SELECT a FROM t LEFT OUTER JOIN w t.a = w.a", "Syntax Error: Expected ON, found '.'"},
        {"SELECT a FROM t LEFT OUTER JOIN ON", "Syntax Error: Expected identifier, found 'ON'"},
        {"SELECT a FROM t INNER JOIN w ON t.a = w.a", "Syntax Error: SQL command not properly ended"},
        {"SELECT a FROM t, ", "Syntax Error: Expected identifier at end of query"},
    };
    ExpectParse(rows, std::size(rows));
}

TEST(SqlParser, ConditionsAndExpressions) {
    const Row rows[] = {
        {"SELECT * FROM t WHERE x = (5)", "Syntax Error: Expected SELECT, found '5'"},
        {"SELECT * FROM t WHERE (a + b) > 3", "Syntax Error: '>' unexpected"},
        {"SELECT * FROM t WHERE (a) + 3 > 1", "Syntax Error: '+' unexpected"},
        {"SELECT * FROM t WHERE (a = 1) - 1", "Syntax Error: '-' unexpected"},
        {"SELECT * FROM t WHERE (a = 1) LIKE 'x'", "Syntax Error: 'LIKE' unexpected"},
        {"SELECT * FROM t WHERE (a = 1) AND ((b = 2) OR NOT (c = 3))", ""},
        {"SELECT * FROM t WHERE (a = 1", "Syntax Error: Mismatched parentheses"},
        {"SELECT * FROM t WHERE a IN ()", "Syntax Error: Expected literal, found ')'"},
        {"SELECT * FROM t WHERE a IN (1, 'x', 2.5)", ""},
        {"SELECT * FROM t WHERE a IN (1, -2)", "Syntax Error: Expected literal, found '-'"},
        {"SELECT * FROM t WHERE a IN (1 2)", "Syntax Error: Mismatched parentheses"},
        {"SELECT * FROM t WHERE a IN 1", "Syntax Error: Expected open parenthesis, found '1'"},
        {"SELECT * FROM t WHERE a NOT IN (SELECT a FROM w)", ""},
        {"SELECT * FROM t WHERE a IN (SELECT a FROM w", "Syntax Error: Mismatched parentheses"},
        {"SELECT * FROM t WHERE a BETWEEN 1 AND 5", ""},
        {"SELECT * FROM t WHERE a BETWEEN 1 OR 5", "Syntax Error: Expected AND, found 'OR'"},
        {"SELECT * FROM t WHERE a NOT BETWEEN 1 AND 5 AND b NOT LIKE 'x%'", ""},
        {"SELECT * FROM t WHERE a NOT = 5", "Syntax Error: Expected one of BETWEEN, IN, or LIKE, found '='"},
        {"SELECT * FROM t WHERE a IS NULL OR b IS NOT NULL", ""},
        {"SELECT * FROM t WHERE a IS 5", "Syntax Error: Expected NULL, found '5'"},
        {"SELECT * FROM t WHERE EXISTS (SELECT * FROM w)", ""},
        {"SELECT * FROM t WHERE EXISTS SELECT", "Syntax Error: Expected open parenthesis, found 'SELECT'"},
        {"SELECT * FROM t WHERE EXISTS (a)", "Syntax Error: Expected SELECT, found 'a'"},
        {"SELECT * FROM t WHERE EXISTS (SELECT a FROM w", "Syntax Error: Mismatched parentheses"},
        {"SELECT * FROM t WHERE a = (SELECT a FROM w)", ""},
        {"SELECT * FROM t WHERE a LIKE (SELECT b FROM w)", ""},
        {"SELECT * FROM t WHERE a <> 1 AND a <= 2 AND a >= 0 AND a < 3 AND a > -1", ""},
        {"SELECT f(a) FROM t", "Syntax Error: Expected column name, found '('"},
        {"SELECT length(a), LENGTH(b), Length(a + 1) FROM t", ""},
        {"SELECT length a FROM t", "Syntax Error: Expected FROM, found 'a'"},
        {"SELECT UPPER a FROM t", "Syntax Error: Expected open parenthesis, found 'a'"},
        {"SELECT UPPER(a FROM t", "Syntax Error: Expected close parenthesis, found 'FROM'"},
        {"SELECT COUNT(*), COUNT(a), SUM(a), AVG(a), MIN(b), MAX(b) FROM t", ""},
        {"SELECT COUNT(* FROM t", "Syntax Error: Expected close parenthesis, found 'FROM'"},
        {"SELECT SUM a FROM t", "Syntax Error: Expected open parenthesis, found 'a'"},
        {"SELECT a 5 FROM t", "Syntax Error: Expected operator, found '5'"},
        {"SELECT a 'x' FROM t", "Syntax Error: Expected operator, found 'x'"},
        {"SELECT a ? FROM t", "Syntax Error: Expected operator, found '?'"},
        {"SELECT a :1 FROM t", "Syntax Error: Expected operator, found '1'"},
        {"SELECT 1 (b) FROM t", "Syntax Error: Expected operator, found '('"},
        {"SELECT a (b) FROM t", "Syntax Error: Expected column name, found '('"},
        {"SELECT (a FROM t", "Syntax Error: Mismatched parentheses"},
        {"SELECT (SELECT a FROM w FROM t", "Syntax Error: Mismatched parentheses"},
        {"SELECT -a, +a, - -a, a * -b, a - -1 FROM t", ""},
        {"SELECT - FROM t", "Syntax Error"},
        {"SELECT a * FROM t", "Syntax Error"},
        {"SELECT a + FROM t", "Syntax Error"},
        {"SELECT NULL FROM t", "Syntax Error: 'NULL' unexpected"},
        {"SELECT t. FROM t", "Syntax Error: Expected column name, found 'FROM'"},
        {"SELECT t.5 FROM t", "Syntax Error: Expected column name, found '5'"},
        {"SELECT :1, :2, ?, :0 FROM t", ""},
        {"SELECT :x FROM t", "Syntax Error: Expected number, found ''"},
        {"SELECT :1.5 FROM t", "Syntax Error: Expected number, found '1.5'"},
        {"SELECT :99999999999 FROM t", "Syntax Error: Expected number, found '99999999999'"},
        {"SELECT * FROM t WHERE", "Syntax Error: '' unexpected"},
        {"SELECT * FROM t WHERE a =", "Syntax Error: '' unexpected"},
        {"SELECT * FROM t WHERE NOT", "Syntax Error: '' unexpected"},
        {"SELECT * FROM t WHERE a AND", "Syntax Error: '' unexpected"},
    };
    ExpectParse(rows, std::size(rows));
}
