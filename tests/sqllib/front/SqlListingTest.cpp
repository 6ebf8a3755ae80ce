#include "SqlTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

using namespace vorn;
using namespace sqltest;

namespace {

std::string Joined(const std::vector<std::string>& code) {
    std::string out = "\n";
    for (const std::string& line : code) out += line + "\n";
    return out;
}

} // namespace

// One statement per shape, each listing derived by hand from the emission
// rules; the checker runs over every one as well.
TEST(SqlListing, Shapes) {
    const struct {
        const char* name;
        const char* sql;
        const char* code;
    } rows[] = {
    {"JoinPushesConditionsDownAndKeysTheFirstTable",
     "SELECT w.b FROM t, w WHERE t.a = 1 AND w.b = t.b",
     R"(
0: Cursor_Open 't'
1: Cursor_Column 'a'
2: Cursor_Column 0 1 'b'
3: Cursor_Open 1 'w'
4: Cursor_Column 1 'b'
5: Result 0 1 'b'
6: Result 1 'eof'
7: Push_Integer
8: Pop_Result 1
9: Push_Literal '1'
10: Cursor_Index 0 1 't_a'
11: Cursor_First 0 27
12: Push_Column
13: Push_Literal '1'
14: Equal
15: Jump_NE 1 26
16: Cursor_First 1 25
17: Push_Column 1
18: Push_Column 0 1
19: Equal
20: Jump_NE 1 24
21: Push_Column 1
22: Pop_Result
23: Output
24: Cursor_Next 1 17
25: NOOP
26: Cursor_Next 0 12
27: NOOP
28: Push_Integer 1
29: Pop_Result 1
)"},
    {"RangeStartAndStopOnANumericColumn",
     "SELECT a FROM t WHERE a > 5 AND a < 10",
     R"(
0: Cursor_Open 't'
1: Cursor_Column 'a'
2: Result 0 1 'a'
3: Result 1 'eof'
4: Push_Integer
5: Pop_Result 1
6: Push_Literal '5'
7: Cursor_Index 0 0 1 't_a'
8: Cursor_First 0 25
9: Push_Column
10: Push_Literal '10'
11: LessThan
12: Jump_EQ 0 25
13: Push_Column
14: Push_Literal '5'
15: GreaterThan
16: Push_Column
17: Push_Literal '10'
18: LessThan
19: And
20: Jump_NE 1 24
21: Push_Column
22: Pop_Result
23: Output
24: Cursor_Next 0 9
25: NOOP
26: Push_Integer 1
27: Pop_Result 1
)"},
    {"LeftOuterJoinInTwoPhases",
     "SELECT w.b FROM t LEFT OUTER JOIN w ON w.a = t.a",
     R"(
0: Cursor_Open 't'
1: Cursor_Column 'a'
2: Cursor_Open 1 'w'
3: Cursor_Column 1 'b'
4: Cursor_Column 1 1 'a'
5: Result 0 1 'b'
6: Result 1 'eof'
7: Push_Integer
8: Pop_Result 1
9: Cursor_First 0 27
10: Cursor_First 1 21
11: Push_Column 1 1
12: Push_Column
13: Equal
14: Jump_EQ 1 21
15: Cursor_Next 1 11
16: Jump 21
17: Push_Column 1 1
18: Push_Column
19: Equal
20: Jump_NE 1 25
21: NOOP
22: Push_Column 1
23: Pop_Result
24: Output
25: Cursor_Next 1 17
26: Cursor_Next 0 10
27: NOOP
28: Push_Integer 1
29: Pop_Result 1
)"},
    {"InAndScalarSubQueriesUnderOr",
     "SELECT a FROM t WHERE a IN (SELECT a FROM w) OR b = (SELECT b FROM w WHERE w.a = t.a)",
     R"(
0: Cursor_Open 't'
1: Cursor_Column 'a'
2: Cursor_Column 0 1 'b'
3: Cursor_Open 1 'w'
4: Cursor_Column 1 'a'
5: Cursor_Open 2 'w'
6: Cursor_Column 2 'b'
7: Cursor_Column 2 1 'a'
8: Result 0 1 'a'
9: Result 1 'eof'
10: Push_Integer
11: Pop_Result 1
12: Cursor_First 0 56
13: Push_Column
14: Cursor_First 1 19
15: Push_Column 1
16: Equal 1
17: Jump_EQ 1 23
18: Cursor_Next 1 15
19: NOOP
20: Pop
21: Push_Integer
22: Jump 26
23: NOOP
24: Pop
25: Push_Integer 1
26: NOOP
27: Jump_EQ 0 30
28: Push_Integer 1
29: Jump 50
30: NOOP
31: Push_Column 0 1
32: Push_Integer
33: Cursor_First 2 45
34: Push_Column 2 1
35: Push_Column
36: Equal
37: Jump_NE 1 44
38: Jump_NE 1 40
39: Error ''
40: NOOP
41: Push_Column 2
42: Copy
43: Push_Integer 1
44: Cursor_Next 2 34
45: NOOP
46: Jump_NE 0 48
47: Push_Null
48: NOOP
49: Equal
50: NOOP
51: Jump_EQ 0 55
52: Push_Column
53: Pop_Result
54: Output
55: Cursor_Next 0 13
56: NOOP
57: Push_Integer 1
58: Pop_Result 1
)"},
    {"BetweenInListAndExists",
     "SELECT 1 FROM w WHERE a BETWEEN 1 AND 2 AND b IN ('x') AND EXISTS (SELECT k FROM u)",
     R"(
0: Cursor_Open 'w'
1: Cursor_Column 'a'
2: Cursor_Column 0 1 'b'
3: Cursor_Open 1 'u'
4: Cursor_Column 1 'k'
5: Result 0 1 '1'
6: Result 1 'eof'
7: Push_Integer
8: Pop_Result 1
9: Cursor_First 0 56
10: Push_Column
11: Jump 13
12: Jump 23
13: NOOP
14: Push_Literal '1'
15: LessThan 1
16: Jump_EQ 1 12
17: Push_Literal '2'
18: GreaterThan 1
19: Jump_EQ 1 12
20: Pop
21: Push_Integer 1
22: Jump 26
23: NOOP
24: Pop
25: Push_Integer
26: NOOP
27: Push_Column 0 1
28: Jump 30
29: Jump 37
30: NOOP
31: Push_Literal 'x'
32: Equal 1
33: Jump_EQ 1 29
34: Pop
35: Push_Integer
36: Jump 40
37: NOOP
38: Pop
39: Push_Integer 1
40: NOOP
41: And
42: Push_Integer
43: Cursor_First 1 48
44: Pop
45: Push_Integer 1
46: Jump 49
47: Cursor_Next 1 44
48: NOOP
49: NOOP
50: And
51: Jump_NE 1 55
52: Push_Literal '1'
53: Pop_Result
54: Output
55: Cursor_Next 0 10
56: NOOP
57: Push_Integer 1
58: Pop_Result 1
)"},
    {"GroupByWithAggregatesAndAKeptColumn",
     "SELECT b, COUNT(*), SUM(a) FROM t GROUP BY b",
     R"(
0: Cursor_Open 't'
1: Cursor_Column 'b'
2: Cursor_Column 0 1 'a'
3: Result 0 1 'b'
4: Result 1 1 'COUNT(*)'
5: Result 2 1 'SUM(a)'
6: Result 3 'eof'
7: Push_Integer
8: Pop_Result 3
9: Bucket 0 3
10: Cursor_First 0 19
11: Push_Column
12: Bucket_Record 0 1
13: Bucket_Count
14: Push_Column 0 1
15: Bucket_Sum 0 1
16: Push_Column
17: Pop_Bucket 0 2
18: Cursor_Next 0 11
19: NOOP
20: Bucket_First 0 29
21: Push_Bucket 0 2
22: Push_Bucket
23: Push_Bucket 0 1
24: Pop_Result 2
25: Pop_Result 1
26: Pop_Result
27: Output
28: Bucket_Next 0 21
29: NOOP
30: Push_Integer 1
31: Pop_Result 3
)"},
    {"AggregatesWithoutGroupByMakeTheGroupFirst",
     "SELECT COUNT(*) FROM t",
     R"(
0: Cursor_Open 't'
1: Result 0 1 'COUNT(*)'
2: Result 1 'eof'
3: Push_Integer
4: Pop_Result 1
5: Bucket 0 1
6: Bucket_Record
7: Push_Integer
8: Pop_Bucket
9: Cursor_First 0 12
10: Bucket_Count
11: Cursor_Next 0 10
12: NOOP
13: Bucket_First 0 18
14: Push_Bucket
15: Pop_Result
16: Output
17: Bucket_Next 0 14
18: NOOP
19: Push_Integer 1
20: Pop_Result 1
)"},
    {"DistinctThenSort",
     "SELECT DISTINCT b FROM t ORDER BY b",
     R"(
0: Cursor_Open 't'
1: Cursor_Column 'b'
2: Result 0 1 'b'
3: Result 1 'eof'
4: Push_Integer
5: Pop_Result 1
6: Temporary_Table 0 2
7: Bucket 0 1
8: Cursor_First 0 15
9: Push_Column
10: Bucket_Record 0 1 13
11: Push_Column
12: Pop_Bucket
13: NOOP
14: Cursor_Next 0 9
15: NOOP
16: Bucket_First 0 23
17: Push_Bucket
18: Temporary_Record
19: Pop_Temporary
20: Push_Temporary
21: Pop_Temporary 0 1
22: Bucket_Next 0 17
23: NOOP
24: Temporary_Sort *
25: Temporary_First 0 30
26: Push_Temporary
27: Pop_Result
28: Output
29: Temporary_Next 0 26
30: NOOP
31: Push_Integer 1
32: Pop_Result 1
)"},
    {"UnionDeduplicatesUpToTheLastUnionWithoutAll",
     "SELECT a FROM t UNION SELECT a FROM w UNION ALL SELECT k FROM u ORDER BY a DESC",
     R"(
0: Cursor_Open 't'
1: Cursor_Column 'a'
2: Cursor_Open 1 'w'
3: Cursor_Column 1 'a'
4: Cursor_Open 2 'u'
5: Cursor_Column 2 'k'
6: Result 0 1 'a'
7: Result 1 'eof'
8: Push_Integer
9: Pop_Result 1
10: Temporary_Table 0 2
11: Bucket
12: Cursor_First 0 22
13: Push_Column
14: Bucket_Record 0 1 20
15: Push_Column
16: Temporary_Record
17: Pop_Temporary
18: Push_Temporary
19: Pop_Temporary 0 1
20: NOOP
21: Cursor_Next 0 13
22: NOOP
23: Cursor_First 1 33
24: Push_Column 1
25: Bucket_Record 0 1 31
26: Push_Column 1
27: Temporary_Record
28: Pop_Temporary
29: Push_Temporary
30: Pop_Temporary 0 1
31: NOOP
32: Cursor_Next 1 24
33: NOOP
34: Cursor_First 2 41
35: Push_Column 2
36: Temporary_Record
37: Pop_Temporary
38: Push_Temporary
39: Pop_Temporary 0 1
40: Cursor_Next 2 35
41: NOOP
42: Temporary_Sort *
43: Temporary_First 0 48
44: Push_Temporary
45: Pop_Result
46: Output
47: Temporary_Next 0 44
48: NOOP
49: Push_Integer 1
50: Pop_Result 1
)"},
    {"InsertValuesFillsLeftOutColumnsWithEmptyText",
     "INSERT INTO t (b, a) VALUES ('x', 1)",
     R"(
0: Cursor_Open 0 1 't'
1: Cursor_Column 'b'
2: Cursor_Column 0 1 'a'
3: Cursor_Column 0 2 'c'
4: Cursor_Column 0 3 'd'
5: Push_Literal 'x'
6: Pop_Column
7: Push_Literal '1'
8: Pop_Column 0 1
9: Push_Literal ''
10: Pop_Column 0 2
11: Push_Literal ''
12: Pop_Column 0 3
13: Cursor_Insert
)"},
    {"InsertFromTheSameTableReadsEveryRowFirst",
     "INSERT INTO t SELECT * FROM t",
     R"(
0: Cursor_Open 't'
1: Cursor_Column 'a'
2: Cursor_Column 0 1 'b'
3: Cursor_Column 0 2 'c'
4: Cursor_Column 0 3 'd'
5: Cursor_Open 1 1 't'
6: Cursor_Column 1 'a'
7: Cursor_Column 1 1 'b'
8: Cursor_Column 1 2 'c'
9: Cursor_Column 1 3 'd'
10: Temporary_Table 0 4
11: Cursor_First 0 22
12: Push_Column
13: Push_Column 0 1
14: Push_BoolColumn 0 2
15: Push_Column 0 3
16: Temporary_Record
17: Pop_Temporary 0 3
18: Pop_Temporary 0 2
19: Pop_Temporary 0 1
20: Pop_Temporary
21: Cursor_Next 0 12
22: NOOP
23: Temporary_First 0 34
24: Push_Temporary
25: Push_Temporary 0 1
26: Push_Temporary 0 2
27: Push_Temporary 0 3
28: Pop_Column 1 3
29: Pop_Column 1 2
30: Pop_Column 1 1
31: Pop_Column 1
32: Cursor_Insert 1
33: Temporary_Next 0 24
34: NOOP
)"},
    {"UpdateThatSwapsTakesEveryValueFirst",
     "UPDATE t SET a = b, b = a WHERE a = 1",
     R"(
0: Cursor_Open 0 1 't'
1: Cursor_Column 'a'
2: Cursor_Column 0 1 'b'
3: Push_Literal '1'
4: Cursor_Index 0 1 't_a'
5: Cursor_First 0 18
6: Push_Column
7: Push_Literal '1'
8: Equal
9: Jump_EQ 0 17
10: Push_Column 0 1
11: Copy
12: Push_Column
13: Copy
14: Pop_Column 0 1
15: Pop_Column
16: Cursor_Update
17: Cursor_Next 0 6
18: NOOP
19: Cursor_Update_Indexes
20: NOOP
)"},
    {"DeleteOnADescendingIndex",
     "DELETE FROM u WHERE k > 5 AND k < 9",
     R"(
0: Cursor_Open 0 1 'u'
1: Cursor_Column 'k'
2: Push_Literal '9'
3: Cursor_Index 0 0 1 'u_k'
4: Cursor_First 0 19
5: Push_Column
6: Push_Literal '5'
7: GreaterThan
8: Jump_EQ 0 19
9: Push_Column
10: Push_Literal '5'
11: GreaterThan
12: Push_Column
13: Push_Literal '9'
14: LessThan
15: And
16: Jump_EQ 0 18
17: Cursor_Delete
18: Cursor_Next 0 5
19: NOOP
20: Cursor_Delete_Indexes
21: NOOP
)"},
        {"GroupByWithoutAggregatesGroups",
         "SELECT b FROM t GROUP BY b",
         R"(
0: Cursor_Open 't'
1: Cursor_Column 'b'
2: Result 0 1 'b'
3: Result 1 'eof'
4: Push_Integer
5: Pop_Result 1
6: Bucket 0 1
7: Cursor_First 0 13
8: Push_Column
9: Bucket_Record 0 1
10: Push_Column
11: Pop_Bucket
12: Cursor_Next 0 8
13: NOOP
14: Bucket_First 0 19
15: Push_Bucket
16: Pop_Result
17: Output
18: Bucket_Next 0 15
19: NOOP
20: Push_Integer 1
21: Pop_Result 1
)"},
        {"SchemaStatementsAreOneInstructionEach",
         "CREATE UNIQUE INDEX i ON t (a, b DESC)",
         R"(
0: Create_Index 1 't' 'i' *
)"},
    };
    for (const auto& row : rows) {
        Compiled c = Compile(StandardCatalog(), row.sql);
        ASSERT_TRUE(c.generated) << row.name << ": " << c.error;
        EXPECT_EQ(Joined(c.code), row.code) << row.name;
        EXPECT_EQ(c.check, "") << row.name;
    }
    const std::pair<const char*, const char*> schema[] = {
        {"CREATE TABLE z (a CHAR, b NUMERIC(5,2))", "0: Create_Table 'z' *"},
        {"ALTER TABLE t ADD (e CHAR(3))", "0: Alter_Table_Add 't' *"},
        {"ALTER TABLE t DROP COLUMN e", "0: Alter_Table_Drop 't' 'e'"},
        {"DROP TABLE nosuch", "0: Drop_Table 'nosuch'"}, // the catalog checks names when it runs
        {"DROP INDEX t_a", "0: Drop_Index 't_a'"},
        {"CREATE INDEX i ON t (a)", "0: Create_Index 't' 'i' *"},
    };
    for (const auto& row : schema) {
        Compiled c = Compile(StandardCatalog(), row.first);
        ASSERT_EQ(c.code.size(), 1u) << row.first << ": " << c.error;
        EXPECT_EQ(c.code[0], row.second);
    }
}

TEST(SqlListing, SchemaObjectsCarryTheDefinitions) {
    SQLCodeGenerator generator(&StandardCatalog());
    SQLParser parser(generator);
    ASSERT_TRUE(parser.Parse("CREATE TABLE z (a CHAR, b CHAR(7), c VARCHAR(9), d DECIMAL, e NUMERIC(5), "
                             "f NUMERIC(16,2), g NUMERIC(19,0), h INTEGER, i SMALLINT, j MEMO, k BOOL, l BOOLEAN)",
                             -1));
    ASSERT_TRUE(generator.Generate());
    auto* columns = static_cast<ColumnDefinitionList*>(generator.Instructions()[0].object);
    const char* expected[] = {"a C 1 0", "b C 7 0",  "c C 9 0",  "d N 19 0", "e N 5 0",  "f N 19 2",
                              "g N 19 0", "h N 19 0", "i N 19 0", "j M 10 0", "k L 1 0", "l L 1 0"};
    ASSERT_EQ(columns->Count(), 12);
    for (int32_t i = 0; i < columns->Count(); ++i) {
        const ColumnDefinition* d = columns->At(i);
        std::string got = std::string(d->name, d->nameLength) + " " + "CNDLM"[d->type] + " " +
                          std::to_string(d->width) + " " + std::to_string(d->decimals);
        EXPECT_EQ(got, expected[i]);
        EXPECT_EQ(d->name[d->nameLength], 0);
    }
    ASSERT_TRUE(parser.Parse("CREATE UNIQUE INDEX ix ON t (b DESC, a, d ASC)", -1));
    ASSERT_TRUE(generator.Generate());
    auto* keys = static_cast<CollList<SQLIndexColumn>*>(generator.Instructions()[0].object);
    ASSERT_EQ(keys->Count(), 3);
    EXPECT_EQ(std::string(keys->At(0)->name, keys->At(0)->nameLength) + std::to_string(keys->At(0)->ascending) +
                  std::string(keys->At(1)->name, keys->At(1)->nameLength) + std::to_string(keys->At(1)->ascending) +
                  std::string(keys->At(2)->name, keys->At(2)->nameLength) + std::to_string(keys->At(2)->ascending),
              "b0a1d1");
    // A sort carries the ORDER BY list: descending keys after the selected columns.
    ASSERT_TRUE(parser.Parse("SELECT a, b FROM t ORDER BY b DESC, a", -1));
    ASSERT_TRUE(generator.Generate());
    for (int32_t i = 0; i < generator.InstructionCount(); ++i) {
        const SQLInstruction& in = generator.Instructions()[i];
        if (in.opcode != SQL_Temporary_Sort) continue;
        auto* items = static_cast<CollList<SQLOrderBy>*>(in.object);
        ASSERT_EQ(items->Count(), 2);
        EXPECT_EQ(items->At(0)->columnId, 2);
        EXPECT_EQ(items->At(0)->ascending, 0);
        EXPECT_EQ(items->At(1)->columnId, 3);
        EXPECT_EQ(items->At(1)->ascending, 1);
    }
}

TEST(SqlListing, PrecedenceAsTheGrammarReadsIt) {
    FakeCatalog catalog({"p: a N5, b N5, c N5, d N5"});
    const std::pair<const char*, const char*> rows[] = {
        // a - b * c + d is (a - (b * c)) + d
        {"a - b * c + d", "Column Column 0 1 Column 0 2 Multiply Subtract Column 0 3 Add"},
        {"a - b + c", "Column Column 0 1 Subtract Column 0 2 Add"},
        {"a / b / c", "Column Column 0 1 Divide Column 0 2 Divide"},
        {"a * (b + c)", "Column Column 0 1 Column 0 2 Add Multiply"},
        // A leading "-" subtracts from 0; "+" does nothing; signs fold.
        {"-a", "Integer Column Subtract"},
        {"+a", "Column"},
        {"- -a", "Column"},
        {"a * -b", "Column Integer Column 0 1 Subtract Multiply"},
        {"LENGTH(UPPER(a)) + 1", "Column Upper Length Literal '1' Add"},
    };
    for (const auto& row : rows) {
        Compiled c = Compile(catalog, std::string("SELECT ") + row.first + " FROM p");
        ASSERT_TRUE(c.generated) << row.first << ": " << c.error;
        std::string ops;
        bool inside = false;
        for (const std::string& line : c.code) {
            std::string op = line.substr(line.find(' ') + 1);
            if (op.rfind("Pop_Result", 0) == 0 && inside) break;
            if (inside) ops += (ops.empty() ? "" : " ") + op.substr(op.find('_') == std::string::npos ||
                                                                     op.find('_') > op.find(' ')
                                                                 ? 0
                                                                 : op.find('_') + 1);
            if (op.rfind("Cursor_First", 0) == 0) inside = true;
        }
        EXPECT_EQ(ops, row.second) << row.first;
        EXPECT_EQ(c.check, "");
    }
}

TEST(SqlListing, ConditionsGroupAsTheGrammarReadsThem) {
    FakeCatalog catalog({"p: a N5, b N5, c N5"});
    const std::pair<const char*, const char*> rows[] = {
        // AND binds tighter than OR: a = 1 OR (b = 2 AND c = 3).
        {"a = 1 OR b = 2 AND c = 3",
         "Column|Literal '1'|Equal|Jump_EQ 0 15|Push_Integer 1|Jump 23|NOOP|Column 0 1|Literal '2'|Equal|"
         "Column 0 2|Literal '3'|Equal|And|NOOP"},
        // NOT negates the whole predicate.
        {"NOT a = 1", "Column|Literal '1'|Equal|Not"},
        {"NOT a LIKE 'x' AND b IS NOT NULL", "Column|Literal 'x'|Like|Not|Column 0 1|IsNull|Not|And"},
        // A bare value is made a truth value before a jump reads it.
        {"a", "Column|Not|Not"},
        {"a OR b", "Column|Not|Not|Jump_EQ 0 14|Push_Integer 1|Jump 18|NOOP|Column 0 1|Not|Not|NOOP"},
    };
    for (const auto& row : rows) {
        Compiled c = Compile(catalog, std::string("SELECT 1 FROM p WHERE ") + row.first);
        ASSERT_TRUE(c.generated) << row.first << ": " << c.error;
        std::string ops;
        size_t first = 0;
        while (c.code[first].find("Cursor_First") == std::string::npos) ++first;
        for (size_t i = first + 1; i < c.code.size(); ++i) {
            std::string op = c.code[i].substr(c.code[i].find(' ') + 1);
            if (op.rfind("Jump_NE 1", 0) == 0 || (op.rfind("Jump_EQ 0", 0) == 0 && i + 2 < c.code.size() &&
                                                 c.code[i + 1].find("Literal '1'") != std::string::npos))
                break;
            if (op.rfind("Push_", 0) == 0 && op.rfind("Push_Integer", 0) != 0) op = op.substr(5);
            ops += (ops.empty() ? "" : "|") + op;
        }
        EXPECT_EQ(ops, row.second) << row.first;
        EXPECT_EQ(c.check, "");
    }
}

TEST(SqlListing, EmitPatchAndGrowth) {
    SQLProgram program;
    program.Start();
    EXPECT_EQ(program.Capacity(), 52);
    int32_t jump = program.Emit(SQL_Jump, -1);
    int32_t first = program.Emit(SQL_Cursor_First, 3, -1);
    int32_t record = program.Emit(SQL_Bucket_Record, 1, 2, -1);
    for (int32_t i = 3; i < 200; ++i)
        EXPECT_EQ(program.Emit(SQL_Push_Integer, i, 0, 0, "x", 1, "yz", 2, &program), i);
    EXPECT_EQ(program.Capacity(), 208); // grown 52 at a time
    while (program.Count() < 52 * 64) program.Emit(SQL_NOOP);
    EXPECT_EQ(program.Capacity(), 52 * 64);
    program.Emit(SQL_NOOP);
    EXPECT_EQ(program.Capacity(), 52 * 96); // then by half, in steps of 52
    int32_t label = program.LabelAndPatch(jump, 1);
    EXPECT_EQ(program.At(label).opcode, SQL_NOOP);
    program.Patch(first, 2, 7);
    program.Patch(record, 3, 9);
    program.Patch(999, 1, 5); // outside: nothing
    const SQLInstruction& j = program.At(jump);
    EXPECT_EQ(j.a, label);
    EXPECT_EQ(program.At(first).b, 7);
    EXPECT_EQ(program.At(record).c, 9);
    for (int32_t i = 3; i < 200; ++i) {
        const SQLInstruction& in = program.At(i);
        ASSERT_EQ(in.a, i);
        ASSERT_EQ(std::string(in.text1, in.length1) + std::string(in.text2, in.length2), "xyz");
        ASSERT_EQ(in.object, &program);
    }
}

TEST(SqlListing, ListingFormat) {
    SQLProgram program;
    program.Start();
    int dummy = 0;
    program.Emit(SQL_Result, 0, 1, 0, "name", 4);
    program.Emit(SQL_Length);
    program.Emit(SQL_Error, 0, 0, 0, "Sub-query returns more than one row", 0);
    program.Emit(99, -1, 2147483647, -2147483647 - 1);
    program.Emit(SQL_Create_Index, 1, 0, 0, "tab", 3, "idx", 3, &dummy);
    String listing;
    program.List(listing);
    char pointer[32];
    std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(&dummy));
    auto pad = [](const std::string& s) { return s + std::string(25 - s.size(), ' ') + " "; };
    std::string expected = "0000 " + pad("SQL_Result") + "         0          1          0 (nil) name  \n" +
                           "0001 " + pad("<unknown>") + "         0          0          0 (nil)   \n" +
                           "0002 " + pad("SQL_Error") + "         0          0          0 (nil)   \n" +
                           "0003 " + pad("<unknown>") + "        -1 2147483647 -2147483648 (nil)   \n" +
                           "0004 " + pad("SQL_Create_Index") + "         1          0          0 " + pointer +
                           " tab idx \n";
    EXPECT_EQ(std::string(listing.Text(), listing.Length()), expected);
    EXPECT_STREQ(SQLProgram::OpcodeName(SQL_NOOP), "SQL_NOOP");
    EXPECT_EQ(SQLProgram::OpcodeName(60), nullptr);
    EXPECT_EQ(SQLProgram::OpcodeName(-1), nullptr);
    EXPECT_EQ(SQLProgram::OpcodeName(73), nullptr);
}
