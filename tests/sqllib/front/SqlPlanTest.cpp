#include "SqlTestSupport.h"

#include "sqllib/front/SqlToken.h"

#include <gtest/gtest.h>

using namespace vorn;
using namespace sqltest;

namespace {

std::string Text(const SQLExpressionNode* n) {
    if (!n) return "";
    switch (n->kind) {
    case kSqlNodeLiteral:
        return std::string(n->text, static_cast<size_t>(n->length));
    case kSqlNodeColumn:
        return (n->column->qualifier ? std::string(n->column->qualifier, n->column->qualifierLength) + "." : "") +
               std::string(n->column->name, static_cast<size_t>(n->column->nameLength));
    case kSqlNodeParameter:
        return "?";
    default:
        return "expr";
    }
}

// One table's plan: "index k=keys s=start e=<op><stop> f=filters", "-" without an index.
std::string Plan(const SQLTableReference* t) {
    std::string out = t->index ? t->index->IndexName() : "-";
    if (!t->keys.empty()) {
        out += " k=";
        for (size_t i = 0; i < t->keys.size(); ++i) out += (i ? "," : "") + Text(t->keys[i]);
    }
    if (t->rangeStart) out += " s=" + Text(t->rangeStart);
    if (t->stopValue) {
        out += std::string(" e=") + (t->stopOperator == kSqlLess      ? "<"
                                     : t->stopOperator == kSqlGreater ? ">"
                                     : t->stopOperator == kSqlLessEqual ? "<="
                                                                        : ">=") +
               Text(t->stopValue);
    }
    out += " f=" + std::to_string(t->filter.size() + t->onRest.size());
    return out;
}

// The plans of the statement's tables, and what the innermost loop still tests.
std::string Plans(SQLCatalog& catalog, const std::string& sql, std::string* code = nullptr) {
    SQLCodeGenerator generator(&catalog);
    SQLParser parser(generator);
    if (!parser.Parse(sql.data(), -1)) return "parse: " + std::string(parser.ErrorText().Text());
    if (!generator.Generate()) return "generate: " + std::string(generator.ErrorText().Text());
    std::string check = CheckProgram(generator.Instructions(), generator.InstructionCount(),
                                     generator.ParameterCount());
    if (!check.empty()) return "check: " + check;
    if (code)
        for (int32_t i = 0; i < generator.InstructionCount(); ++i)
            *code += Render(i, generator.Instructions()[i]) + "\n";
    SQLStatement* s = generator.Statement();
    if (s->Kind() == kSqlStatementUpdate) return Plan(static_cast<SQLUpdateStatement*>(s)->table);
    if (s->Kind() == kSqlStatementDelete) return Plan(static_cast<SQLDeleteStatement*>(s)->table);
    SQLQuery* q = static_cast<SQLSelectStatement*>(s)->query;
    std::string out;
    for (SQLTableReference* t : q->manager->tables) out += (out.empty() ? "" : "; ") + Plan(t);
    if (!q->remainder.empty()) out += "; rest=" + std::to_string(q->remainder.size());
    return out;
}

} // namespace

TEST(SqlPlan, ConditionsGoToTheFirstTableThatCanTestThem) {
    const std::pair<const char*, const char*> rows[] = {
        {"SELECT 1 FROM t, w WHERE t.a = 1 AND w.b = t.b", "t_a k=1 f=1; - f=1"},
        {"SELECT 1 FROM t, w WHERE w.b = t.b AND t.a = 1", "t_a k=1 f=1; - f=1"},
        {"SELECT 1 FROM t, w WHERE 1 = 1 AND ? = w.a", "- f=1; - f=1"},
        {"SELECT 1 FROM t WHERE a = 1 OR b = 'x'", "- f=0; rest=1"},
        {"SELECT 1 FROM t, w WHERE t.a = 1 AND (w.a = 2 OR t.b = 'x')", "t_a k=1 f=1; - f=0; rest=1"},
        // A joined table tests its ON condition; the WHERE waits for a later table.
        {"SELECT 1 FROM t LEFT OUTER JOIN w ON w.a = t.a WHERE w.b = 'x'", "- f=0; - f=1; rest=1"},
        {"SELECT 1 FROM t LEFT OUTER JOIN w ON w.a = t.a, u WHERE w.b = 'x'", "- f=0; - f=1; - f=1"},
        {"SELECT 1 FROM w LEFT OUTER JOIN t ON t.a = w.a OR t.b = w.b", "- f=0; - f=1"},
        // Sub-queries count by the outer tables they read.
        {"SELECT 1 FROM t, w WHERE EXISTS (SELECT * FROM u WHERE u.a = w.a)", "- f=0; - f=1"},
        {"SELECT 1 FROM t, w WHERE t.a IN (SELECT k FROM u)", "- f=1; - f=0"},
    };
    for (const auto& row : rows) EXPECT_EQ(Plans(StandardCatalog(), row.first), row.second) << row.first;
}

TEST(SqlPlan, IndexesSteerOnlyByComparisonsEveryAcceptedRowSatisfies) {
    const std::pair<const char*, const char*> rows[] = {
        {"SELECT 1 FROM t WHERE a = 1", "t_a k=1 f=1"},
        {"SELECT 1 FROM t WHERE (a = 1)", "t_a k=1 f=1"},
        {"SELECT 1 FROM t WHERE 1 = a", "t_a k=1 f=1"},
        // Mirrored when the column stands on the right.
        {"SELECT 1 FROM t WHERE 5 < a", "t_a s=5 f=1"},
        {"SELECT 1 FROM t WHERE 10 > a", "t_a e=<10 f=1"},
        {"SELECT 1 FROM t WHERE 10 >= a AND 2 <= a", "t_a s=2 e=<=10 f=2"},
        // Not under NOT or OR, not inside functions or arithmetic.
        {"SELECT 1 FROM t WHERE NOT a = 1", "- f=1"},
        {"SELECT 1 FROM t WHERE NOT (a = 1 AND b = 'x')", "- f=1"},
        {"SELECT 1 FROM t WHERE UPPER(b) = 'X'", "- f=1"},
        {"SELECT 1 FROM t WHERE LENGTH(b) = 1", "- f=1"},
        {"SELECT 1 FROM t WHERE a + 0 = 1", "- f=1"},
        {"SELECT 1 FROM t WHERE a <> 1", "- f=1"},
        {"SELECT 1 FROM t WHERE a BETWEEN 1 AND 2 AND a IN (1, 2) AND b LIKE 'x%'", "- f=3"},
        {"SELECT 1 FROM t WHERE a = 1 AND (b = 'x' OR b = 'y')", "t_a k=1 f=1; rest=1"},
        // The key must be known before the table's loop starts.
        {"SELECT 1 FROM t x, t y WHERE y.a = x.a", "- f=0; t_a k=x.a f=1"},
        {"SELECT 1 FROM t WHERE a = d", "- f=1"},
        {"SELECT 1 FROM t WHERE a = (SELECT MAX(a) FROM w)", "t_a k=expr f=1"},
        {"SELECT 1 FROM t WHERE a = (SELECT MAX(a) FROM w WHERE w.a = t.a)", "- f=1"},
        // Equality keys steer as written; the most keys win, the first among equals.
        {"SELECT 1 FROM t WHERE b = 'x' AND d = 2 AND a = 1", "t_bd k=x,2 f=3"},
        {"SELECT 1 FROM t WHERE a = 1 AND b = 'x'", "t_a k=1 f=2"},
    };
    for (const auto& row : rows) EXPECT_EQ(Plans(StandardCatalog(), row.first), row.second) << row.first;
}

TEST(SqlPlan, RangesOnlyWhereIndexOrderIsValueOrder) {
    const std::pair<const char*, const char*> rows[] = {
        // Keys are upper-cased text: a character range would skip rows.
        {"SELECT 1 FROM t WHERE b > 'B'", "- f=1"},
        {"SELECT 1 FROM t WHERE b = 'x' AND d > 1", "t_bd k=x s=1 f=2"},
        // Any operand positions a numeric scan; only a literal of at least 0 ends it.
        {"SELECT 1 FROM t WHERE a > -5", "t_a s=expr f=1"},
        {"SELECT 1 FROM t WHERE a > ?", "t_a s=? f=1"},
        {"SELECT 1 FROM t WHERE a < -5", "- f=1"},
        {"SELECT 1 FROM t WHERE a < ?", "- f=1"},
        {"SELECT 1 FROM t WHERE a < '10'", "t_a e=<10 f=1"},
        {"SELECT 1 FROM t WHERE a < 'x'", "- f=1"},
        {"SELECT 1 FROM t WHERE a <= 10.5", "t_a e=<=10.5 f=1"},
        {"SELECT 1 FROM t WHERE a > 5 AND a < ?", "t_a s=5 f=2"},
        // A descending index starts at the upper bound and stops at the lower one.
        {"SELECT 1 FROM u WHERE k > 5", "u_k e=>5 f=1"},
        {"SELECT 1 FROM u WHERE k < 9", "u_k s=9 f=1"},
        // A joined table never stops: past the stop it would enter the body on a row, not the null row.
        {"SELECT 1 FROM w LEFT OUTER JOIN t ON t.a < 5", "- f=0; - f=1"},
        {"SELECT 1 FROM w LEFT OUTER JOIN t ON t.a > w.a", "- f=0; t_a s=w.a f=1"},
        {"SELECT 1 FROM w LEFT OUTER JOIN t ON t.a = w.a", "- f=0; t_a k=w.a f=1"},
        // UPDATE and DELETE choose an index only without OR.
        {"UPDATE t SET b = 'x' WHERE a = 1", "t_a k=1 f=0"},
        {"UPDATE t SET b = 'x' WHERE a = 1 AND (b = 'y' OR b = 'z')", "- f=0"},
        {"DELETE FROM t WHERE a > 3 AND a < 8", "t_a s=3 e=<8 f=0"},
        {"DELETE FROM t", "- f=0"},
    };
    for (const auto& row : rows) EXPECT_EQ(Plans(StandardCatalog(), row.first), row.second) << row.first;
}

TEST(SqlPlan, EqualScoresPreferTheOrderByDirection) {
    FakeCatalog catalog({"p: a N5, b N5"}, {"p_up ON p (a)", "p_down ON p (a) DESC", "p_b ON p (b)"});
    const std::pair<const char*, const char*> rows[] = {
        {"SELECT a FROM p WHERE a = 1", "p_up k=1 f=1"},
        {"SELECT a FROM p WHERE a = 1 ORDER BY a", "p_up k=1 f=1"},
        {"SELECT a FROM p WHERE a = 1 ORDER BY a DESC", "p_down k=1 f=1"},
        // An index that steers nothing is never taken.
        {"SELECT a FROM p WHERE a <> 1 ORDER BY a DESC", "- f=1"},
    };
    for (const auto& row : rows) EXPECT_EQ(Plans(catalog, row.first), row.second) << row.first;
}

TEST(SqlPlan, OrderByAlwaysSortsAndNotesWhenNoIndexFits) {
    std::string longName(120, 'i');
    FakeCatalog catalog({"p: a N5, b C5", "q: a N5, c N5"},
                        {"p_ab ON p (a, b)", longName + " ON q (c)", "q_down ON q (a) DESC"});
    const std::string unable = "Unable to use index '%' selected by search condition optimization for ORDER BY\n";
    const std::string none = "No index found appropriate for ORDER BY optimization\n";
    auto withName = [&](const std::string& name) {
        return unable.substr(0, unable.find('%')) + name + unable.substr(unable.find('%') + 1);
    };
    const std::pair<std::string, std::string> rows[] = {
        {"SELECT a FROM p ORDER BY a", ""},
        {"SELECT a FROM p ORDER BY a, b", ""},
        {"SELECT a FROM p ORDER BY b", none},
        {"SELECT a FROM p ORDER BY a DESC", none},
        {"SELECT a FROM p WHERE a = 1 ORDER BY b", ""},   // a literal key column is skipped
        {"SELECT a FROM p WHERE a = ? ORDER BY b", ""},   // so is a parameter
        {"SELECT a FROM p WHERE a = 1 ORDER BY a", withName("p_ab")}, // the bound column is skipped
        {"SELECT a FROM p WHERE a > 1 ORDER BY b", withName("p_ab")},
        {"SELECT q.a FROM p, q WHERE q.a = p.a ORDER BY q.a", ""}, // not the first table: no note
        {"SELECT DISTINCT a FROM p ORDER BY a", ""},
        {"SELECT a FROM p ORDER BY a, b DESC", ""},
        {"SELECT a FROM q WHERE c = 1 ORDER BY a DESC", withName(std::string(100, 'i'))},
        {"SELECT a FROM q ORDER BY a DESC", ""},
    };
    for (const auto& row : rows) {
        catalog.log.clear();
        std::string code;
        std::string plan = Plans(catalog, row.first, &code);
        EXPECT_EQ(plan.find(':'), std::string::npos) << row.first << ": " << plan;
        EXPECT_EQ(catalog.log, row.second) << row.first;
        EXPECT_NE(code.find("Temporary_Sort"), std::string::npos) << row.first;
    }
}
