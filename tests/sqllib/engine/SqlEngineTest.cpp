// The SQL engine on a scratch database: statements and their rows step by
// step, the changes' index entries checked after each writing step, and
// instruction programs of the test's own (limits, operands naming nothing,
// random programs, a large sort).
#include "tests/sqllib/engine/SqlEngineSupport.h"

#include "sqllib/front/SqlMemory.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <regex>
#include <set>

namespace vorn::test {
namespace {

// One step: a statement with its parameters and what it must give: rows as
// lines joined by '\n', or "!" and the start of its message.
struct Step {
    std::string sql;
    std::string expected;
    std::vector<std::string> parameters = {};
};

class SqlEngineBehaviourTest : public SqlEngineTest {
  protected:
    void Play(const std::vector<Step>& steps, const std::vector<std::string>& checked) {
        for (const Step& step : steps) {
            bool select = step.sql.rfind("SELECT", 0) == 0;
            Outcome out;
            if (select)
                out = Query(step.sql, step.parameters);
            else
                out.error = Exec(step.sql, step.parameters);
            std::string got;
            if (!out.error.empty()) {
                got = "!" + out.error;
            } else {
                for (size_t r = 0; r < out.rows.size(); ++r) {
                    if (r) got += "\n";
                    for (size_t i = 0; i < out.rows[r].size(); ++i) got += (i ? "|" : "") + out.rows[r][i];
                }
            }
            if (!step.expected.empty() && step.expected[0] == '!')
                EXPECT_EQ(got.substr(0, step.expected.size()), step.expected) << step.sql;
            else
                EXPECT_EQ(got, step.expected) << step.sql;
            // Failed statements included: every index holds its table's keys.
            for (const std::string& table : checked)
                if (schema->FindTableRow(table.data(), static_cast<int32_t>(table.size()))) {
                    ASSERT_TRUE(IndexesAgree(table)) << step.sql;
                }
        }
    }
};

TEST_F(SqlEngineBehaviourTest, StatementsGiveTheirRows) {
    Play({
             {"CREATE TABLE t (a NUMERIC(5), b CHAR(10), c BOOLEAN, d NUMERIC(8,2))", ""},
             {"CREATE INDEX t_a ON t (a)", ""},
             {"CREATE INDEX t_bd ON t (b, d)", ""},
             {"INSERT INTO t VALUES (10, 'x', 1, 1.5)", ""},
             {"INSERT INTO t VALUES (9, 'X', 0, 2)", ""},
             {"INSERT INTO t (a, b, c, d) VALUES (2, 'y  ', 1, -3.25)", ""},
             {"SELECT a, d FROM t ORDER BY a", "2|-3.25\n9|2.00\n10|1.50"},
             {"SELECT b FROM t ORDER BY b", "X\nx\ny"},
             {"SELECT b, COUNT(*) FROM t GROUP BY b", "x|1\nX|1\ny|1"},
             {"SELECT COUNT(*), SUM(a), MIN(b), AVG(d) FROM t WHERE a > 100", "0|||"},
             {"SELECT COUNT(*), SUM(a), MAX(b), AVG(d) FROM t", "3|21|y|0.08333333333333333"},
             {"SELECT a FROM t WHERE a = ?", "9", {"9"}},
             {"SELECT a FROM t WHERE a = ?", "9", {" 9.0"}},
             {"SELECT a FROM t WHERE a = :2", "10", {"zero", "10"}},
             {"SELECT a FROM t WHERE a = ?", "!Input parameter count mismatch: Found 0 expected 1"},
             {"SELECT a FROM t WHERE a = :3", "!Input parameter count mismatch: Found 2 expected 3", {"1", "2"}},
             {"SELECT a / 0, 0 - a / 0 FROM t WHERE a = 2", "Infinity|-Infinity"},
             {"SELECT a FROM t WHERE a > 5 ORDER BY a DESC", "10\n9"},
             {"SELECT a FROM t WHERE a >= -1 AND a < 10 ORDER BY a", "2\n9"},
             {"SELECT a FROM t WHERE b = 'x' AND d = 1.5", "10"},
             {"SELECT b FROM t WHERE b LIKE '_' ORDER BY b DESC", "y\nx\nX"},
             {"SELECT UPPER(b), LENGTH(b) FROM t WHERE c = 1 ORDER BY a", "Y|1\nX|1"},
             {"INSERT INTO t VALUES (123456, 'z', 0, 0)", "!The value '123456' is too wide for the numeric field"},
             {"INSERT INTO t VALUES (1, 'z', 0, 'abc')", "!Data type mismatch"},
             {"SELECT COUNT(*) FROM t", "3"},
             {"UPDATE t SET a = a + 1 WHERE a < 5", ""},
             {"SELECT a, b FROM t WHERE a = 3", "3|y"},
             {"UPDATE t SET d = 'abc' WHERE a > 0", "!Data type mismatch"},
             {"UPDATE t SET a = 11, b = 'w' WHERE b = 'x'", ""},
             {"SELECT a, b FROM t WHERE b = 'w'", "11|w"},
             {"DELETE FROM t WHERE a = 9", ""},
             {"SELECT a FROM t ORDER BY a", "3\n11"},
             {"SELECT a FROM t UNION SELECT a FROM t", "11\n3"},
             {"SELECT a FROM t UNION ALL SELECT a FROM t ORDER BY a", "3\n3\n11\n11"},
             {"SELECT a FROM t WHERE EXISTS (SELECT * FROM t WHERE a = 3)", "11\n3"},
             {"SELECT b FROM nowhere", "!Unknown table 'nowhere'"},
         },
         {"t"});
    EXPECT_EQ(Exec("SELECT a FROM t"), "Queries that return results are not valid in this context");
}

TEST_F(SqlEngineBehaviourTest, KeysOrdersAndGroupsAreSound) {
    Play({
             // Group keys carry their parts' lengths: these two differ.
             {"CREATE TABLE g (p CHAR(5), q CHAR(5))", ""},
             {"INSERT INTO g VALUES ('a', 'c:b')", ""},
             {"INSERT INTO g VALUES ('b:a', 'c')", ""},
             {"SELECT p, q, COUNT(*) FROM g GROUP BY p, q", "a|c:b|1\nb:a|c|1"},
             {"SELECT DISTINCT p, q FROM g", "a|c:b\nb:a|c"},
             // Ties keep the order the rows came in.
             {"CREATE TABLE s (k NUMERIC(3), v CHAR(3))", ""},
             {"INSERT INTO s VALUES (1, 'a')", ""},
             {"INSERT INTO s VALUES (0, 'b')", ""},
             {"INSERT INTO s VALUES (1, 'c')", ""},
             {"INSERT INTO s VALUES (0, 'd')", ""},
             {"INSERT INTO s VALUES (1, 'e')", ""},
             {"SELECT v FROM s ORDER BY k", "b\nd\na\nc\ne"},
             {"SELECT v FROM s ORDER BY k DESC", "a\nc\ne\nb\nd"},
             // A statement reads no row it appended itself.
             {"INSERT INTO s SELECT * FROM s", ""},
             {"SELECT COUNT(*) FROM s", "10"},
             // Numbers before texts, texts by their bytes; NaN is a text.
             {"CREATE TABLE m (v CHAR(5))", ""},
             {"INSERT INTO m VALUES ('b')", ""},
             {"INSERT INTO m VALUES ('10')", ""},
             {"INSERT INTO m VALUES ('Nan')", ""},
             {"INSERT INTO m VALUES ('1a')", ""},
             {"INSERT INTO m VALUES ('2')", ""},
             {"SELECT v FROM m ORDER BY v", "2\n10\n1a\nNan\nb"},
             {"SELECT v FROM m WHERE v = 2", "2"},
             {"SELECT v FROM m WHERE v > 3 ORDER BY v", "10\nNan\nb"},
             // Two rows updated to one unique key: refused, the keys as they were.
             {"CREATE TABLE u (k NUMERIC(5), w CHAR(4))", ""},
             {"CREATE UNIQUE INDEX u_k ON u (k)", ""},
             {"INSERT INTO u VALUES (1, 'a')", ""},
             {"INSERT INTO u VALUES (2, 'b')", ""},
             {"INSERT INTO u VALUES (2, 'c')", "!Inserted record violates UNIQUE constraint"},
             // A failed statement changes no row: the first row gets its key back.
             {"UPDATE u SET k = 5", "!Updated record violates UNIQUE constraint"},
             {"SELECT k FROM u WHERE k > 0 ORDER BY k", "1\n2"},
             {"UPDATE u SET k = k + 10", ""},
             {"SELECT k, w FROM u WHERE k = 12", "12|b"},
             {"UPDATE u SET k = 3 - k / 11, w = 'x'", "!Updated record violates UNIQUE constraint"},
             {"SELECT k, w FROM u ORDER BY k", "11|a\n12|b"},
             {"DELETE FROM u WHERE k = 11", ""},
             {"SELECT k FROM u", "12"},
         },
         {"s", "u"});
}

// A value cut at the column's width keeps no trailing blank in its key: the
// insert enters the key its update and delete look for (before the mend the
// insert entered "AB " and the others "AB", so the first entry stayed).
TEST_F(SqlEngineBehaviourTest, AKeyCutAtTheWidthIsTheKeyOfTheStoredValue) {
    Play({
             {"CREATE TABLE t (k CHAR(3), n NUMERIC(3))", ""},
             {"CREATE UNIQUE INDEX t_k ON t (k)", ""},
             {"CREATE INDEX t_kn ON t (k, n)", ""},
             {"INSERT INTO t VALUES ('ab cd', 1)", ""},
             {"UPDATE t SET k = 'zz'", ""},
             {"DELETE FROM t WHERE n = 1", ""},
             {"INSERT INTO t VALUES ('ab cd', 2)", ""},
             {"INSERT INTO t VALUES ('ab', 3)", "!Inserted record violates UNIQUE constraint on index 't_k'"},
             {"SELECT k, n FROM t WHERE k = 'ab'", "ab|2"},
             {"INSERT INTO t VALUES (' x  y', 4)", ""},
             {"UPDATE t SET n = 5 WHERE n = 4", ""},
             {"SELECT k, n FROM t ORDER BY n", "ab|2\n x|5"},
         },
         {"t"});
}

// An UPDATE or DELETE that fails at any row (a value too wide, the write
// of a row or of the table's header refused) leaves every row as it was,
// whether an index holds a changed column or none does; one that succeeds
// changes all of its rows. Before the mend rows went back only through
// their queued index changes, so a table without an index on the changed
// columns kept the first rows' changes.
TEST_F(SqlEngineBehaviourTest, AFailedUpdateOrDeleteChangesNoRow) {
    const std::string before = "1|1|x\n2|12|y\n3|3|z";
    const struct {
        std::string sql;
        std::string after; // "!" and the start of the message when it fails unforced
        int rowWrites;     // the writes of its rows: the record and the header each
    } statements[] = {
        {"UPDATE p SET a = a * 10000", "!The value '120000' is too wide", 0},
        {"UPDATE p SET a = a + 1", "1|2|x\n2|13|y\n3|4|z", 6},
        {"UPDATE p SET b = 'q' WHERE id < 3", "1|1|q\n2|12|q\n3|3|z", 4},
        {"DELETE FROM p WHERE id < 3", "3|3|z", 4},
    };
    const char* const indexes[] = {"", "CREATE INDEX p_b ON p (b)", "CREATE UNIQUE INDEX p_id ON p (id)"};
    VornSQLFaults& faults = schema->Files().Faults();
    auto rows = [&] {
        std::string text;
        for (const std::string& line : Lines("SELECT id, a, b FROM p ORDER BY id"))
            text += (text.empty() ? "" : "\n") + line;
        queries->Release();
        return text;
    };
    for (const char* index : indexes) {
        for (const auto& statement : statements) {
            // Unforced, then with the k-th write refused.
            for (int k = 0; k <= statement.rowWrites; ++k) {
                Exec("DROP TABLE p");
                ASSERT_EQ(Exec("CREATE TABLE p (id NUMERIC(3), a NUMERIC(5), b CHAR(4))"), "");
                ASSERT_EQ(*index ? Exec(index) : "", "");
                for (const char* row : {"1, 1, 'x'", "2, 12, 'y'", "3, 3, 'z'"})
                    ASSERT_EQ(Exec(std::string("INSERT INTO p VALUES (") + row + ")"), "");
                faults.Reset();
                faults.failWrite = k;
                std::string error = Exec(statement.sql);
                faults.Reset();
                std::string context = statement.sql + ", index '" + index + "', write " + std::to_string(k);
                const bool forced = k > 0;
                std::string reason = forced ? kSQLInjectedFailure : statement.after.substr(1);
                if (forced || statement.after[0] == '!') {
                    EXPECT_NE(error.find(reason), std::string::npos) << context << ": " << error;
                }
                EXPECT_EQ(rows(), error.empty() ? statement.after : before) << context << ": " << error;
                EXPECT_TRUE(IndexesAgree("p")) << context;
            }
        }
    }
}

// Seeded sequences of inserts, updates and deletes whose values are cut,
// padded, upper- and lower-case: after every statement each index holds
// exactly the keys a scan of the live records gives, and no unique key is
// held by two live records.
TEST_F(SqlEngineBehaviourTest, RandomStatementsKeepEveryIndexEqualToAScan) {
    constexpr uint32_t kSeed = 60606;
    ASSERT_EQ(Exec("CREATE TABLE r (k CHAR(3), n NUMERIC(3), m CHAR(5))"), "");
    ASSERT_EQ(Exec("CREATE UNIQUE INDEX r_k ON r (k)"), "");
    ASSERT_EQ(Exec("CREATE INDEX r_mn ON r (m, n)"), "");
    ASSERT_EQ(Exec("CREATE UNIQUE INDEX r_nm ON r (n, m)"), "");
    const char* const ks[] = {"a", "ab", "ab ", "ab cd", "AB", " ab", "abc", "abcd", "zz", "Zz ", ""};
    const char* const ms[] = {"x", "x y", "xyzzy1", "X", " x", "", "x    "};
    std::mt19937 random(kSeed);
    auto pick = [&](const auto& list) { return std::string(list[random() % std::size(list)]); };
    auto number = [&]() { return random() % 7 == 0 ? std::string("''") : std::to_string(random() % 6); };
    for (int i = 0; i < 400; ++i) {
        std::string sql;
        switch (random() % 6) {
        case 0:
        case 1:
            sql = "INSERT INTO r VALUES ('" + pick(ks) + "', " + number() + ", '" + pick(ms) + "')";
            break;
        case 2:
            sql = "UPDATE r SET k = '" + pick(ks) + "' WHERE n = " + number();
            break;
        case 3:
            sql = "UPDATE r SET m = '" + pick(ms) + "', n = " + number() + " WHERE k = '" + pick(ks) + "'";
            break;
        case 4:
            sql = "DELETE FROM r WHERE n = " + number();
            break;
        default:
            sql = "UPDATE r SET n = n + 1 WHERE m = '" + pick(ms) + "'";
            break;
        }
        std::string error = Exec(sql);
        EXPECT_TRUE(error.empty() || error.find("UNIQUE") != std::string::npos) << sql << ": " << error;
        ASSERT_TRUE(IndexesAgree("r")) << "seed " << kSeed << ", statement " << i << ": " << sql;
        std::vector<DbfField> fields;
        std::vector<DbfRecord> records;
        ASSERT_TRUE(ReadDbf(Bytes("r.dbf"), &fields, &records));
        std::set<std::string> seen[2];
        for (const DbfRecord& record : records) {
            if (record.deleted) continue;
            for (int u = 0; u < 2; ++u) {
                std::vector<std::string> columns = u == 0 ? std::vector<std::string>{"k"}
                                                          : std::vector<std::string>{"n", "m"};
                ASSERT_TRUE(seen[u].insert(OracleKey(record, fields, columns)).second)
                    << "seed " << kSeed << ", statement " << i << ": " << sql << ": a unique key twice";
            }
        }
    }
}

// A statement compiled before an ALTER TABLE ... DROP COLUMN runs against the
// table as the ALTER left it, compiled again: it does what it would do
// there, or fails as it would fail there, never for a column the compiled
// program named (before the mend: "Invalid column reference 'YC'").
TEST_F(SqlEngineBehaviourTest, AStatementCompiledBeforeAColumnWentRunsOnTheNewTable) {
    const struct {
        const char* sql;
        const char* outcome; // rows, or "!" and the start of the message
        const char* after;   // SELECT id, zc FROM d ORDER BY id
    } cases[] = {
        {"INSERT INTO d (id, zc) VALUES (5, 'e')", "", "1|a\n2|b\n5|e"},
        {"INSERT INTO d (id, yc, zc) VALUES (5, 6, 'e')", "!Field 'yc' does not exist in table 'd'", "1|a\n2|b"},
        {"UPDATE d SET zc = 'u' WHERE yc = 20", "!Unknown field 'yc'", "1|a\n2|b"},
        {"UPDATE d SET zc = 'u' WHERE id = 1", "", "1|u\n2|b"},
        {"DELETE FROM d WHERE id = 2", "", "1|a"},
        {"SELECT * FROM d ORDER BY id", "1|a\n2|b", "1|a\n2|b"},
        {"SELECT id, yc FROM d", "!Unknown field 'yc'", "1|a\n2|b"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Exec("CREATE TABLE d (id NUMERIC(4), yc NUMERIC(4), zc CHAR(4))"), "");
        ASSERT_EQ(Exec("CREATE INDEX d_id ON d (id)"), "");
        ASSERT_EQ(Exec("INSERT INTO d VALUES (1, 10, 'a')"), "");
        ASSERT_EQ(Exec("INSERT INTO d VALUES (2, 20, 'b')"), "");
        bool select = std::string(c.sql).rfind("SELECT", 0) == 0;
        SQLEngine& engine = select ? *queries : *statements;
        engine.SetView(select ? vrDatabase_AddView(database, "dv", 2, nullptr) : nullptr);
        ASSERT_EQ(engine.Prepare(c.sql, -1), 1) << c.sql;
        schema->DropIdleTables();
        ASSERT_TRUE(schema->AlterTableDrop("d", -1, "yc", -1)) << schema->ErrorText().Text();
        Outcome out = Drain(engine);
        engine.Release();
        std::string got = out.error.empty() ? "" : "!" + out.error;
        for (size_t r = 0; out.error.empty() && r < out.rows.size(); ++r) {
            if (r) got += "\n";
            for (size_t i = 0; i < out.rows[r].size(); ++i) got += (i ? "|" : "") + out.rows[r][i];
        }
        EXPECT_EQ(got.substr(0, std::strlen(c.outcome)), c.outcome) << c.sql;
        std::vector<std::string> rows = Lines("SELECT id, zc FROM d ORDER BY id");
        queries->Release();
        std::string after;
        for (const std::string& row : rows) after += (after.empty() ? "" : "\n") + row;
        EXPECT_EQ(after, c.after) << c.sql;
        EXPECT_TRUE(IndexesAgree("d")) << c.sql;
        ASSERT_EQ(Exec("DROP TABLE d"), "");
    }
}

// ---- Programs of the test's own -----------------------------------------------------------------

SQLInstruction I(int32_t opcode, int32_t a = 0, int32_t b = 0, int32_t c = 0, const char* text1 = nullptr,
                 void* object = nullptr) {
    return SQLInstruction{opcode, a, b, c, text1, nullptr, text1 ? static_cast<int32_t>(std::strlen(text1)) : 0,
                          0, object};
}

TEST_F(SqlEngineTest, OperandsNamingNothingAreInvalid) {
    ASSERT_EQ(Exec("CREATE TABLE t (a NUMERIC(5), b CHAR(10))"), "");
    ASSERT_EQ(Exec("INSERT INTO t VALUES (1, 'x')"), "");
    const std::vector<std::vector<SQLInstruction>> programs = {
        {I(SQL_Cursor_Column, 3, 0, 0, "a")},
        {I(SQL_Cursor_First, 0, 5)},
        {I(SQL_Cursor_Next, -1, 5)},
        {I(SQL_Cursor_Open, 0, 0, 0, "t"), I(SQL_Push_Column, 0, 4)},
        {I(SQL_Cursor_Open, 0, 0, 0, "t"), I(SQL_Push_Integer, 1), I(SQL_Pop_Column, 0, 0)},
        {I(SQL_Cursor_Open, 0, 0, 0, "t"), I(SQL_Cursor_Update, 0)},
        {I(SQL_Cursor_Insert, 2)},
        {I(SQL_Temporary_Record, 0)},
        {I(SQL_Temporary_Table, 0, 1), I(SQL_Push_Temporary, 0, 0)},
        {I(SQL_Temporary_Table, 0, 1), I(SQL_Temporary_Record, 0), I(SQL_Push_Temporary, 0, 1)},
        {I(SQL_Temporary_Table, 0, 1), I(SQL_Temporary_Sort, 0)},
        {I(SQL_Bucket, 0, 1), I(SQL_Bucket_Count, 0, 0)},
        {I(SQL_Bucket, 0, 1), I(SQL_Bucket_Record, 0, 0, 0), I(SQL_Bucket_Sum, 0, 3)},
        {I(SQL_Bucket_First, 7, 0)},
        {I(SQL_Push_Bucket, 0, 0)},
        {I(SQL_Pop_Result, 0)},
        {I(SQL_Jump, 99)},
        {I(SQL_Jump, -1)},
        {I(SQL_Push_Integer, 1), I(SQL_Push_Integer, 1), I(SQL_Equal, 3)},
        {I(SQL_Push_Literal, 0, 0, 0, nullptr)},
        {I(SQL_Create_Table, 0, 0, 0, "x")},
        {I(60 + 13)},
        {I(-4)},
    };
    for (size_t i = 0; i < programs.size(); ++i) {
        statements->Load(programs[i].data(), static_cast<int32_t>(programs[i].size()), {});
        Outcome out = Drain(*statements);
        EXPECT_EQ(out.error, "Invalid instruction") << "program " << i;
    }
    const std::vector<std::pair<std::vector<SQLInstruction>, std::string>> others = {
        {{I(SQL_Pop)}, "Stack underflow"},
        {{I(SQL_Push_Integer, 1), I(SQL_Add)}, "Stack underflow"},
        {{I(SQL_Push_Integer, 1), I(SQL_Jump, 0)}, "Stack overflow"},
        {{I(SQL_Push_Dynamic, 1)}, "Invalid parameter"},
        {{I(SQL_Add_View)}, "SELECT is not valid in this context"},
        {{I(SQL_Cursor_Open, 0, 0, 0, "none")}, "Unable to create cursor for table 'none': Unknown table 'none'"},
        {{I(SQL_Cursor_Open, 0, 0, 0, "t"), I(SQL_Cursor_Column, 0, 0, 0, "zz")}, "Invalid column reference 'zz'"},
        {{I(SQL_Error, 0, 0, 0, "said so")}, "said so"},
        {{}, ""},
    };
    for (const auto& [program, message] : others) {
        statements->Load(program.data(), static_cast<int32_t>(program.size()), {"only"});
        EXPECT_EQ(Drain(*statements).error, message);
        // A failed statement stays failed until the next one is prepared.
        if (!message.empty()) {
            EXPECT_EQ(statements->Run(), -1);
        }
    }
    // A duplicated owned text is freed once (the sanitizer would tell).
    std::vector<SQLInstruction> dupe = {I(SQL_Cursor_Open, 0, 0, 0, "t"), I(SQL_Cursor_Column, 0, 0, 0, "b"),
                                        I(SQL_Cursor_First, 0, 7),        I(SQL_Push_Column, 0, 0),
                                        I(SQL_Copy),                      I(SQL_Dupe),
                                        I(SQL_Pop),                       I(SQL_Pop)};
    statements->Load(dupe.data(), static_cast<int32_t>(dupe.size()), {});
    EXPECT_EQ(Drain(*statements).error, "");
}

TEST_F(SqlEngineTest, RandomProgramsEndInARowTheEndOrAMessage) {
    ASSERT_EQ(Exec("CREATE TABLE t (a NUMERIC(5), b CHAR(10), c BOOLEAN)"), "");
    ASSERT_EQ(Exec("CREATE INDEX t_a ON t (a)"), "");
    ASSERT_EQ(Exec("INSERT INTO t VALUES (1, 'x', 1)"), "");
    ASSERT_EQ(Exec("INSERT INTO t VALUES (2, 'y', 0)"), "");
    const char* texts[] = {"t", "a", "b", "c", "t_a", "x", "%", "12", nullptr};
    std::mt19937 random(2022);
    const int kInstructionLimit = 20000, kPrograms = 400;
    statements->SetInstructionLimit(kInstructionLimit);
    int rows = 0, ends = 0, messages = 0;
    // The verifier refuses most such programs before they run: every other
    // one is drawn again until it lets one in, so that runs give rows too.
    SQLVerifier verifier;
    for (int p = 0; p < kPrograms; ++p) {
        std::vector<SQLInstruction> program;
        for (int draws = 0;; ++draws) {
            program.assign(1 + random() % 24, SQLInstruction{});
            for (SQLInstruction& in : program) {
                // Opcodes the generator never emits in a query are rarer: schema changes, writes.
                int32_t opcode = static_cast<int32_t>(random() % 75);
                if (opcode >= SQL_Create_Table && opcode <= SQL_Drop_Index && random() % 4) opcode = SQL_Push_Integer;
                const char* text = texts[random() % 9];
                in = I(opcode, static_cast<int32_t>(random() % 5) - 1, static_cast<int32_t>(random() % 6) - 1,
                       static_cast<int32_t>(random() % 3), text);
            }
            if (p % 2 == 0 || draws == 100000 || verifier.Verify(program.data(), static_cast<int32_t>(program.size())))
                break;
        }
        statements->Load(program.data(), static_cast<int32_t>(program.size()), {"7", "abc"});
        // A row takes an instruction at least, so the limit ends a program
        // that would give rows for ever.
        for (int step = 0; step < 2 * kInstructionLimit; ++step) {
            int result = statements->Run();
            ASSERT_TRUE(result >= -1 && result <= 1) << p << " answered " << result;
            if (result == 1) {
                ++rows;
                continue;
            }
            if (result == 0) ++ends;
            if (result < 0) {
                ++messages;
                EXPECT_FALSE(statements->ErrorText().IsEmpty()) << p;
            }
            break;
        }
    }
    statements->SetInstructionLimit(0);
    // Every program came to its end or a message, and each of the three
    // answers was seen.
    EXPECT_EQ(ends + messages, kPrograms);
    EXPECT_GT(ends, 0);
    EXPECT_GT(messages, 0);
    EXPECT_GT(rows, 0);
    EXPECT_TRUE(IndexesAgree("t"));
}

TEST_F(SqlEngineTest, SortsManyEqualKeysStablyAndBoundsMemory) {
    // 100,000 records of one key, numbered as they come; sorted, they must
    // read back in that order (a quicksort would need n*n/2 steps here).
    CollList<SQLOrderBy> order;
    order.Append(new SQLOrderBy());
    std::vector<SQLInstruction> sort = {
        I(SQL_Temporary_Table, 0, 2),   I(SQL_Push_Integer, 0),
        /* 2 */ I(SQL_Temporary_Record, 0), I(SQL_Dupe), I(SQL_Pop_Temporary, 0, 0), I(SQL_Push_Integer, 7),
        I(SQL_Pop_Temporary, 0, 1),     I(SQL_Inc, 1), I(SQL_Push_Literal, 0, 0, 0, "100000"), I(SQL_Equal, 1),
        I(SQL_Jump_EQ, 0, 2),           I(SQL_Pop),
        /* 12 */ I(SQL_Temporary_Sort, 0, 0, 0, nullptr, &order), I(SQL_Push_Integer, 0),
        I(SQL_Temporary_First, 0, 22),
        /* 15 */ I(SQL_Push_Temporary, 0, 0), I(SQL_Equal, 1), I(SQL_Jump_EQ, 1, 19),
        I(SQL_Error, 0, 0, 0, "out of order"),
        /* 19 */ I(SQL_Inc, 1), I(SQL_Temporary_Next, 0, 15), I(SQL_Pop),
        /* 22 */ I(SQL_NOOP)};
    statements->Load(sort.data(), static_cast<int32_t>(sort.size()), {});
    EXPECT_EQ(Drain(*statements).error, "");

    // Copies past the limit (256 MiB unless set) fail the statement with a message.
    statements->SetMemoryLimit(INT64_C(8) << 20);
    std::string big(1 << 20, 'm');
    std::vector<SQLInstruction> grow = {I(SQL_Temporary_Table, 0, 1), I(SQL_Temporary_Record, 0),
                                        I(SQL_Push_Literal, 0, 0, 0, big.c_str()), I(SQL_Upper),
                                        I(SQL_Pop_Temporary, 0, 0), I(SQL_Jump, 1)};
    statements->Load(grow.data(), static_cast<int32_t>(grow.size()), {});
    EXPECT_EQ(Drain(*statements).error, "Statement needs more than 8 MiB of memory");
    statements->Release();
    // The budget is free again once the statement has gone.
    statements->SetMemoryLimit(INT64_C(16) << 20);
    statements->Load(sort.data(), 12, {});
    EXPECT_EQ(Drain(*statements).error, "");
}

// Requests sharing "sql.log" (forked processes here) write each statement's
// block whole: its text, the planner's note, the listing or the error.
TEST_F(SqlEngineTest, StatementBlocksStayWholeInASharedLog) {
    ASSERT_EQ(Exec("CREATE TABLE t (a NUMERIC(5), b CHAR(3))"), "");
    ASSERT_EQ(Exec("CREATE INDEX t_a ON t (a)"), "");
    const std::string sql[] = {"SELECT a FROM t WHERE a = 1 ORDER BY b", "INSERT INTO t VALUES (2, 'x')",
                               "SELECT FROM nowhere"};
    // A sort's listing shows its buffer's address.
    auto unplaced = [](const std::string& text) { return std::regex_replace(text, std::regex("0x[0-9a-f]+"), "0x"); };
    auto prepare = [&](const std::string& text) {
        statements->Prepare(text.data(), static_cast<int32_t>(text.size()));
        statements->Release();
    };
    // Each block as it is written alone.
    std::vector<std::string> blocks;
    ASSERT_TRUE(schema->OpenLog("alone.log"));
    for (const std::string& text : sql) {
        size_t before = Bytes("alone.log").size();
        prepare(text);
        blocks.push_back(unplaced(Bytes("alone.log").substr(before)));
    }
    ASSERT_NE(blocks[0].find("optimization for ORDER BY"), std::string::npos) << blocks[0];
    ASSERT_NE(blocks[2].find("Error: "), std::string::npos) << blocks[2];

    constexpr int kWriters = 3, kStatements = 200;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (!schema->OpenLog("sql.log")) _exit(1);
            for (int i = 0; i < kStatements; ++i) prepare(sql[(w + i) % 3]);
            _exit(0);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const std::string log = unplaced(Bytes("sql.log"));
    size_t at = 0, count = 0;
    while (at < log.size()) {
        size_t whole = 0;
        for (const std::string& block : blocks)
            if (log.compare(at, block.size(), block) == 0) whole = block.size();
        ASSERT_GT(whole, 0u) << "block " << count << " is split:\n" << log.substr(at, 400);
        at += whole;
        ++count;
    }
    EXPECT_EQ(count, static_cast<size_t>(kWriters * kStatements));
}

TEST_F(SqlEngineTest, ALongLikeEndsWhenTheRequestStops) {
    // A segment with '_' costs (subject x segment) / 64 steps: the match asks on the way.
    const std::string subject(50000, 'a'), pattern = "%" + std::string(5000, 'a') + "_b%";
    std::vector<SQLInstruction> like = {I(SQL_Push_Literal, 0, 0, 0, subject.c_str()),
                                        I(SQL_Push_Literal, 0, 0, 0, pattern.c_str()), I(SQL_Like),
                                        I(SQL_Pop)};
    statements->Load(like.data(), static_cast<int32_t>(like.size()), {});
    EXPECT_EQ(Drain(*statements).error, "");
    auto stop = reinterpret_cast<void (*)(VornProgram*)>(SqlHost::Get().Symbol("sqltest_request_stop"));
    ASSERT_NE(stop, nullptr);
    stop(program);
    statements->Load(like.data(), static_cast<int32_t>(like.size()), {});
    EXPECT_EQ(Drain(*statements).error, "Statement stopped: the request has ended");
}

// The n-th allocation of the library's own that a statement makes, refused:
// the statement fails with "Out of memory" or, where it can do without (a
// batch read ahead), gives its rows all the same; never another answer. A
// failed UPDATE leaves its rows as they were.
std::atomic<int> allocations{0};
std::atomic<int> refused{0};
bool CountAndRefuse(size_t) { return ++allocations != refused; }

TEST_F(SqlEngineTest, ARefusedAllocationFailsOnlyItsStatement) {
    // d keeps b's first values.
    ASSERT_EQ(Exec("CREATE TABLE t (a NUMERIC(5), b CHAR(4), c CHAR(4), d CHAR(4))"), "");
    ASSERT_EQ(Exec("CREATE INDEX t_b ON t (b)"), "");
    for (const char* row : {"1, 'ab', 'x', 'ab'", "12, 'Cd', 'y', 'Cd'", "3, 'ab', 'z', 'ab'", "14, 'eF', 'w', 'eF'"})
        ASSERT_EQ(Exec(std::string("INSERT INTO t VALUES (") + row + ")"), "");
    std::string inList = "1";
    for (int i = 2; i <= 30; ++i) inList += ", " + std::to_string(i);
    const std::string before = "1|ab|x\n3|ab|z\n12|Cd|y\n14|eF|w", swapped = "1|x|ab\n3|z|ab\n12|y|Cd\n14|w|eF";
    const struct {
        std::string sql;
        std::string rows; // the query's, or the table's after the statement
        std::string undo = "";
    } cases[] = {
        // Texts changed and measured, sorted in an arena.
        {"SELECT UPPER(b), LOWER(b), LENGTH(a + 0) FROM t ORDER BY a", "AB|ab|1\nAB|ab|1\nCD|cd|2\nEF|ef|2"},
        // Groups in a bucket.
        {"SELECT b, COUNT(*), SUM(a) FROM t GROUP BY b", "ab|2|4\nCd|1|12\neF|1|14"},
        // A program that outgrows its first array; numbers as texts for LIKE.
        {"SELECT a FROM t WHERE a + 0 LIKE '1%' AND a IN (" + inList + ")", "1\n12\n14"},
        // Values copied before any is stored.
        {"UPDATE t SET b = c, c = b", swapped, "UPDATE t SET b = c, c = b"},
        // A count's text made while its row is stored.
        {"UPDATE t SET b = (SELECT COUNT(*) FROM t WHERE a > 2)", "1|3|x\n3|3|z\n12|3|y\n14|3|w", "UPDATE t SET b = d"},
    };
    auto table = [&] {
        std::string text;
        for (const std::string& line : Lines("SELECT a, b, c FROM t ORDER BY a")) text += (text.empty() ? "" : "\n") + line;
        queries->Release();
        return text;
    };
    // The hook counts (and refuses) only while the engine works.
    auto attempt = [&](const std::string& sql, int refuse) {
        bool select = sql.rfind("SELECT", 0) == 0;
        SQLEngine& engine = select ? *queries : *statements;
        engine.SetView(select ? vrDatabase_AddView(database, "oom", 3, nullptr) : nullptr);
        allocations = 0;
        refused = refuse;
        auto step = [&](auto&& call) {
            SetSQLAllocationHook(CountAndRefuse);
            int result = call();
            SetSQLAllocationHook(nullptr);
            return result;
        };
        std::string got;
        int result = step([&] { return engine.Prepare(sql.data(), static_cast<int32_t>(sql.size())); });
        if (result > 0) result = step([&] { return engine.Bind(nullptr); });
        while (result > 0 && (result = step([&] { return engine.Run(); })) > 0) {
            std::string line;
            for (int32_t i = 0; i < engine.ResultCount(); ++i) {
                SQLResult* value = engine.ResultAt(i);
                if (!value || value->Column() == 0) continue;
                int32_t length = 0;
                const char* text = value->Text(&length);
                line += (line.empty() ? "" : "|") + std::string(text, static_cast<size_t>(length));
            }
            got += (got.empty() ? "" : "\n") + line;
        }
        if (result < 0) got = "!" + std::string(engine.ErrorText().Text());
        engine.Release();
        return select || result < 0 ? got : table();
    };
    for (const auto& c : cases) {
        const bool writes = !c.undo.empty();
        auto undo = [&] {
            if (writes) {
                EXPECT_EQ(Exec(c.undo), "");
            }
        };
        ASSERT_EQ(attempt(c.sql, 0), c.rows) << c.sql;
        const int made = allocations;
        undo();
        int failures = 0;
        for (int n = 1; n <= made; ++n) {
            std::string got = attempt(c.sql, n);
            if (got != "!Out of memory") {
                EXPECT_EQ(got, c.rows) << c.sql << ", allocation " << n;
                undo();
                continue;
            }
            ++failures;
            if (writes) {
                EXPECT_EQ(table(), before) << c.sql << ", allocation " << n;
            }
        }
        EXPECT_GT(failures, 0) << c.sql << " made " << made;
        EXPECT_EQ(attempt(c.sql, 0), c.rows) << c.sql;
        undo();
    }
    EXPECT_EQ(table(), before);
}

} // namespace
} // namespace vorn::test

namespace vorn::test {
namespace {

// Another request's engine keeps the tables of its finished statements; an
// ALTER TABLE or pack here replaces their files, which it must notice.
TEST_F(SqlEngineTest, KeptTablesNoticeFilesRebuiltElsewhere) {
    Schema other(program);
    ASSERT_TRUE(other.Open("db.dbf")) << other.ErrorText().Text();
    SQLEngine elsewhere(&other, database);
    int made = 0;
    auto rows = [&](const std::string& sql) {
        VornDatabaseView* view = nullptr;
        if (sql.rfind("SELECT", 0) == 0) {
            std::string name = "elsewhere" + std::to_string(++made);
            view = vrDatabase_AddView(database, name.data(), static_cast<int32_t>(name.size()), nullptr);
        }
        Outcome out = Run(elsewhere, view, sql, {});
        elsewhere.Release();
        std::string text = out.error.empty() ? "" : "!" + out.error;
        for (const auto& row : out.rows)
            for (size_t i = 0; i < row.size(); ++i) text += (i ? "|" : (text.empty() ? "" : "\n")) + row[i];
        return text;
    };
    ASSERT_EQ(Exec("CREATE TABLE t (a NUMERIC(5))"), "");
    ASSERT_EQ(Exec("INSERT INTO t VALUES (1)"), "");
    ASSERT_EQ(rows("SELECT a FROM t"), "1");
    ASSERT_EQ(Exec("ALTER TABLE t ADD b CHAR(3)"), "");
    ASSERT_EQ(Exec("INSERT INTO t VALUES (2, 'x')"), "");
    EXPECT_EQ(rows("SELECT a, b FROM t ORDER BY a"), "1|\n2|x");
    ASSERT_EQ(Exec("DELETE FROM t WHERE a = 1"), "");
    ASSERT_TRUE(schema->Pack()) << schema->ErrorText().Text();
    ASSERT_EQ(rows("INSERT INTO t VALUES (3, 'y')"), "");
    EXPECT_EQ(Lines("SELECT a, b FROM t ORDER BY a"), (std::vector<std::string>{"2|x", "3|y"}));
}

// Whether another process could take a byte range exclusively right now.
bool FreeForWriters(const std::string& path, int64_t length) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    struct flock request{};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_len = length;
    bool got = fcntl(fd, F_OFD_SETLK, &request) == 0;
    close(fd);
    return got;
}

// A view's rows are worked out ahead in batches under one hold of the index
// lock: between its skips writers find every lock free, its rows come in
// order with eof set only after the last, and a failure shows after the
// rows made before it.
TEST_F(SqlEngineTest, ViewsReadAheadAndHoldNoLockBetweenSkips) {
    ASSERT_EQ(Exec("CREATE TABLE t (id NUMERIC(6), v CHAR(8))"), "");
    ASSERT_EQ(Exec("CREATE UNIQUE INDEX t_id ON t (id)"), "");
    for (int i = 600; i >= 1; --i) ASSERT_EQ(Exec("INSERT INTO t VALUES (?, ?)", {std::to_string(i), "v" + std::to_string(i)}), "");
    VornDatabaseView* view = vrDatabase_AddView(database, "ahead", 5, nullptr);
    queries->SetView(view);
    std::string sql = "SELECT id, v FROM t WHERE id >= 2 AND id < 600";
    ASSERT_EQ(queries->Prepare(sql.data(), static_cast<int32_t>(sql.size())), 1);
    ASSERT_EQ(queries->Bind(nullptr), 1);
    auto column = [&](int32_t i) {
        int32_t length = 0;
        const char* text = queries->ResultAt(i)->Text(&length);
        return std::string(text, static_cast<size_t>(length));
    };
    int expected = 2;
    for (;;) {
        int step = queries->Run();
        ASSERT_GE(step, 0) << queries->ErrorText().Text();
        EXPECT_TRUE(FreeForWriters(Path("t_id.vrx"), kIndexHeaderSize)) << "at row " << expected;
        if (step == 0) break;
        ASSERT_EQ(column(0), std::to_string(expected));
        EXPECT_EQ(column(1), "v" + std::to_string(expected));
        EXPECT_EQ(column(2), "0");
        if (expected == 300) {
            // Another request's change between skips goes through at once.
            Schema other(program);
            ASSERT_TRUE(other.Open("db.dbf")) << other.ErrorText().Text();
            SQLEngine writer(&other, database);
            std::string insert = "INSERT INTO t VALUES (1000, 'late')";
            ASSERT_EQ(writer.Prepare(insert.data(), static_cast<int32_t>(insert.size())), 1);
            ASSERT_EQ(writer.Bind(nullptr), 1);
            ASSERT_EQ(writer.Run(), 0) << writer.ErrorText().Text();
        }
        ++expected;
    }
    EXPECT_EQ(expected, 600);
    EXPECT_EQ(column(2), "1");
    EXPECT_TRUE(queries->Finished());
    queries->Release();

    // Stopped part-way through a batch: the rows before the stop first.
    queries->SetView(vrDatabase_AddView(database, "stopped", 7, nullptr));
    queries->SetInstructionLimit(3000);
    ASSERT_EQ(queries->Prepare(sql.data(), static_cast<int32_t>(sql.size())), 1);
    ASSERT_EQ(queries->Bind(nullptr), 1);
    int rows = 0;
    int step = 0;
    while ((step = queries->Run()) == 1) {
        EXPECT_FALSE(queries->Failed());
        EXPECT_EQ(column(0), std::to_string(2 + rows));
        ++rows;
    }
    EXPECT_EQ(step, -1);
    EXPECT_GT(rows, 1);
    EXPECT_LT(rows, 598);
    EXPECT_TRUE(queries->Failed());
    EXPECT_EQ(std::string(queries->ErrorText().Text()).rfind("Statement stopped after 3000 instructions", 0), 0u);
    queries->SetInstructionLimit(0);
    queries->Release();
}

} // namespace
} // namespace vorn::test
