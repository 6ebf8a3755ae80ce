// The library's check of whole programs: each kind of bad operand is refused
// at its instruction, and what the compiler makes passes.
#include "SqlTestSupport.h"

#include <gtest/gtest.h>

#include "sqllib/front/SqlVerifier.h"

using namespace vorn;
using namespace sqltest;

namespace {

int kObject;

SQLInstruction Op(int32_t opcode, int32_t a = 0, int32_t b = 0, int32_t c = 0, const char* text1 = nullptr,
                  const char* text2 = nullptr, void* object = nullptr) {
    return SQLInstruction{opcode,
                          a,
                          b,
                          c,
                          text1,
                          text2,
                          text1 ? static_cast<int32_t>(std::strlen(text1)) : 0,
                          text2 ? static_cast<int32_t>(std::strlen(text2)) : 0,
                          object};
}

std::string Verdict(const std::vector<SQLInstruction>& program) {
    SQLVerifier verifier;
    if (verifier.Verify(program.data(), static_cast<int32_t>(program.size()))) return "";
    return std::to_string(verifier.At()) + ": " + verifier.Fault();
}

} // namespace

TEST(SqlVerifierTest, RefusesEachKindOfBadOperandAtItsInstruction) {
    // Cursor 0 on t with column 0, result 0, temporary table 0 of two
    // columns and bucket 0 of one slot, then a loop over the cursor.
    const std::vector<SQLInstruction> sound = {
        Op(SQL_Cursor_Open, 0, 0, 0, "t"),      // 0
        Op(SQL_Cursor_Column, 0, 0, 0, "a"),    // 1
        Op(SQL_Result, 0, 1, 0, "a"),           // 2
        Op(SQL_Temporary_Table, 0, 2),          // 3
        Op(SQL_Bucket, 0, 1),                   // 4
        Op(SQL_Cursor_First, 0, 12),            // 5
        Op(SQL_Push_Column, 0, 0),              // 6
        Op(SQL_Bucket_Record, 0, 1, 0),         // 7
        Op(SQL_Push_Column, 0, 0),              // 8
        Op(SQL_Bucket_Max, 0, 0),               // 9
        Op(SQL_Cursor_Next, 0, 6),              // 10
        Op(SQL_NOOP),                           // 11
        Op(SQL_Temporary_Sort, 0, 0, 0, nullptr, nullptr, &kObject), // 12
        Op(SQL_Jump, 14),                       // 13
    };
    ASSERT_EQ(Verdict(sound), "");
    // Each: the instruction at `at` replaced, or appended where at is the end.
    const struct {
        int32_t at;
        SQLInstruction in;
        const char* verdict;
    } cases[] = {
        {13, Op(-1), "13: opcode outside the set"},
        {13, Op(kSqlOpcodeCount), "13: opcode outside the set"},
        {13, Op(SQL_Jump, 15), "13: jump target outside the program"},
        {13, Op(SQL_Jump, -1), "13: jump target outside the program"},
        {10, Op(SQL_Cursor_Next, 0, -1), "10: jump target outside the program"},
        {7, Op(SQL_Bucket_Record, 0, 1, 99), "7: jump target outside the program"},
        {1, Op(SQL_Cursor_Column, 1, 0, 0, "a"), "1: cursor not opened before"},
        {4, Op(SQL_Cursor_Open, 0, 0, 0, "u"), "4: cursor opened twice"},
        {11, Op(SQL_Cursor_Open, 1, 0, 0, "u"), "11: cursor, column or result made after a jump"},
        {11, Op(SQL_Result, 1, 1, 0, "b"), "11: cursor, column or result made after a jump"},
        {11, Op(SQL_Cursor_Column, 0, 1, 0, "b"), "11: cursor, column or result made after a jump"},
        {1, Op(SQL_Cursor_Column, 0, kSqlMaxOperand, 0, "a"), "1: number out of range"},
        {6, Op(SQL_Push_Column, 0, 1), "6: column not bound before"},
        {6, Op(SQL_Push_BoolColumn, 0, -1), "6: column not bound before"},
        {8, Op(SQL_Pop_Column, 1, 0), "8: cursor not opened before"},
        {11, Op(SQL_Pop_Result, 1), "11: result not made before"},
        {11, Op(SQL_Equal, 3), "11: values kept neither 0, 1 nor 2"},
        {11, Op(SQL_LessThan, -1), "11: values kept neither 0, 1 nor 2"},
        {11, Op(SQL_Cursor_Index, 0, kSqlMaxKeyParts, 1, "t_a"), "11: keys out of range"},
        {11, Op(SQL_Cursor_Index, 0, -1, 0, "t_a"), "11: keys out of range"},
        {11, Op(SQL_Cursor_Update, 2), "11: cursor not opened before"},
        {3, Op(SQL_Temporary_Table, 0, -2), "3: number out of range"},
        {4, Op(SQL_Temporary_Table, 0, 3), "4: made again with another width"},
        {11, Op(SQL_Push_Temporary, 0, 2), "11: column or slot out of range"},
        {11, Op(SQL_Pop_Bucket, 0, 1), "11: column or slot out of range"},
        {11, Op(SQL_Push_Bucket, 1, 0), "11: temporary table or bucket not made before"},
        {3, Op(SQL_Temporary_Record, 0), "3: temporary table or bucket not made before"},
        {12, Op(SQL_Temporary_Sort, 0), "12: object missing"},
        {11, Op(SQL_Push_Literal), "11: text missing"},
        {11, Op(SQL_Error, 0, 0, 0, ""), "11: empty message"},
        {11, Op(SQL_Create_Table, 0, 0, 0, "x"), "11: object missing"},
        {11, Op(SQL_Alter_Table_Drop, 0, 0, 0, "x"), "11: second text missing"},
        {11, Op(SQL_Drop_Index), "11: text missing"},
    };
    for (const auto& c : cases) {
        std::vector<SQLInstruction> program = sound;
        program[static_cast<size_t>(c.at)] = c.in;
        EXPECT_EQ(Verdict(program), c.verdict) << "at " << c.at;
    }
    std::vector<SQLInstruction> negative = sound;
    negative[2].length1 = -1;
    EXPECT_EQ(Verdict(negative), "2: text missing");

    // What runs may rely on, and what it may not: operands nothing reads,
    // parameter numbers (bound later) and a jump to the program's end.
    std::vector<SQLInstruction> loose = sound;
    loose[11] = Op(SQL_Push_Dynamic, 99, -5, 7, "any");
    loose[13] = Op(SQL_Jump, 14, -1, -1);
    loose.push_back(Op(SQL_Pop));
    EXPECT_EQ(Verdict(loose), "");
    SQLVerifier verifier;
    EXPECT_FALSE(verifier.Verify(nullptr, 3));
    EXPECT_FALSE(verifier.Verify(sound.data(), -1));
    EXPECT_TRUE(verifier.Verify(nullptr, 0));
    ASSERT_TRUE(verifier.Verify(sound.data(), static_cast<int32_t>(sound.size())));
    EXPECT_EQ(verifier.Temporaries(), 1);
    EXPECT_EQ(verifier.Buckets(), 1);
    EXPECT_FALSE(verifier.Writes());
}

// The compiler's programs pass whatever the statement (CheckProgram calls the
// verifier on every program the front-end tests make); here what they make
// of their numbers and writes.
TEST(SqlVerifierTest, CompiledProgramsPassAndReportWhatTheyMake) {
    const struct {
        const char* sql;
        int32_t temporaries, buckets;
        bool writes;
    } rows[] = {
        {"SELECT a FROM t WHERE a = 1", 0, 0, false},
        {"SELECT DISTINCT b FROM t ORDER BY b", 1, 1, false},
        {"SELECT b, COUNT(*) FROM t GROUP BY b", 0, 1, false},
        {"SELECT a FROM t UNION SELECT a FROM w ORDER BY a", 1, 1, false},
        {"SELECT a FROM t WHERE a IN (SELECT DISTINCT k FROM u) AND EXISTS (SELECT * FROM w)", 0, 1, false},
        {"INSERT INTO t (a) SELECT a FROM t", 1, 0, true},
        {"UPDATE t SET b = 'x' WHERE a > 1", 0, 0, true},
        {"DROP TABLE w", 0, 0, true},
    };
    for (const auto& row : rows) {
        SQLCodeGenerator generator(&StandardCatalog());
        SQLParser parser(generator);
        ASSERT_TRUE(parser.Parse(row.sql, -1) && generator.Generate()) << row.sql;
        SQLVerifier verifier;
        ASSERT_TRUE(verifier.Verify(generator.Instructions(), generator.InstructionCount()))
            << row.sql << ": " << verifier.At() << ": " << verifier.Fault();
        EXPECT_EQ(verifier.Temporaries(), row.temporaries) << row.sql;
        EXPECT_EQ(verifier.Buckets(), row.buckets) << row.sql;
        EXPECT_EQ(verifier.Writes(), row.writes) << row.sql;
    }
}
