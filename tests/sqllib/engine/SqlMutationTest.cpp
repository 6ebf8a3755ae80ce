// Compiled programs with random bytes changed in their opcodes and integer
// operands (or a text or object taken away): the engine refuses what its
// verifier refuses, with "Invalid instruction", and runs the rest to a row,
// the end or a message, without a fault the sanitizers see.
#include "tests/sqllib/engine/SqlEngineSupport.h"

#include <random>

#include "sqllib/engine/SchemaCatalog.h"
#include "sqllib/front/SqlVerifier.h"

namespace vorn::test {
namespace {

// Texts are read as long as their lengths say and objects as their opcode
// says: the verifier sees only that they are there. A mutation keeps both
// true, and leaves the schema alone.
void Mutate(SQLInstruction& in, std::mt19937& random) {
    int32_t* integers[] = {&in.opcode, &in.a, &in.b, &in.c};
    for (;;) {
        int field = static_cast<int>(random() % 6);
        if (field == 4) {
            // A pointer taken away.
            int which = static_cast<int>(random() % 3);
            if (which == 0) in.text1 = nullptr;
            if (which == 1) in.text2 = nullptr;
            if (which == 2) in.object = nullptr;
            return;
        }
        if (field == 5) {
            // A shorter text, or a negative length.
            in.length1 = static_cast<int32_t>(random() % static_cast<uint32_t>(in.length1 + 2)) - 1;
            return;
        }
        SQLInstruction was = in;
        int32_t& value = *integers[field];
        if (random() % 2)
            value ^= static_cast<int32_t>((random() % 255 + 1) << (8 * (random() % 4)));
        else
            value += static_cast<int32_t>(random() % 5) - 2;
        bool schema = in.opcode >= SQL_Create_Table && in.opcode <= SQL_Drop_Index;
        if (field == 0 && (was.object || schema)) {
            in = was;
            continue;
        }
        return;
    }
}

TEST_F(SqlEngineTest, MutatedProgramsAreRefusedOrRunWithoutFault) {
    ASSERT_EQ(Exec("CREATE TABLE t (a NUMERIC(5), b CHAR(10), c BOOLEAN)"), "");
    ASSERT_EQ(Exec("CREATE INDEX t_a ON t (a)"), "");
    ASSERT_EQ(Exec("CREATE INDEX t_ba ON t (b, a)"), "");
    ASSERT_EQ(Exec("CREATE TABLE u (k NUMERIC(5), x CHAR(10))"), "");
    for (int i = 1; i <= 6; ++i) {
        std::string n = std::to_string(i);
        ASSERT_EQ(Exec("INSERT INTO t VALUES (" + n + ", 'b" + std::to_string(i % 3) + "', " + std::to_string(i % 2) +
                       ")"),
                  "");
        ASSERT_EQ(Exec("INSERT INTO u VALUES (" + std::to_string(i % 4) + ", 'x" + n + "')"), "");
    }
    const char* statements[] = {
        "SELECT a, b FROM t WHERE a > 2 AND b LIKE 'b%'",
        "SELECT t.a, u.x FROM t, u WHERE t.a = u.k ORDER BY u.x DESC",
        "SELECT b, COUNT(*), SUM(a), MIN(a), MAX(b), AVG(a) FROM t GROUP BY b",
        "SELECT DISTINCT b FROM t WHERE a BETWEEN 2 AND 5 OR c = 1",
        "SELECT a FROM t WHERE b = 'b1' AND a >= 1 ORDER BY a",
        "SELECT a FROM t UNION SELECT k FROM u",
        "SELECT a, (SELECT x FROM u WHERE k = 9) FROM t WHERE a IN (SELECT k FROM u) AND "
        "EXISTS (SELECT * FROM u WHERE k = t.a)",
        "SELECT UPPER(b), LENGTH(b), a * 2 - 1, a / 2 FROM t WHERE b IS NOT NULL AND NOT a IN (1, 3)",
        "INSERT INTO u (k, x) SELECT a, b FROM t WHERE a < 3",
        "INSERT INTO u VALUES (?, ?)",
        "UPDATE t SET b = 'u' WHERE a = 4",
        "DELETE FROM u WHERE k = 3",
    };
    VornDatabaseView* view = vrDatabase_AddView(database, "mv", 2, nullptr);
    queries->SetView(view);
    queries->SetInstructionLimit(20000);
    std::mt19937 random(52);
    SQLVerifier verifier;
    int refused = 0, ran = 0, ranChanged = 0;
    for (const char* sql : statements) {
        // The compiler's objects and texts stay while its program is mutated.
        SchemaCatalog catalog(schema.get());
        SQLCodeGenerator generator(&catalog);
        SQLParser parser(generator);
        ASSERT_TRUE(parser.Parse(sql, -1) && generator.Generate()) << sql << ": " << generator.ErrorText().Text();
        std::vector<SQLInstruction> compiled(generator.Instructions(),
                                             generator.Instructions() + generator.InstructionCount());
        ASSERT_TRUE(verifier.Verify(compiled.data(), static_cast<int32_t>(compiled.size()))) << sql;
        for (int m = 0; m < 150; ++m) {
            std::vector<SQLInstruction> program = compiled;
            for (int k = 1 + static_cast<int>(random() % 3); k > 0; --k)
                Mutate(program[random() % program.size()], random);
            bool sound = verifier.Verify(program.data(), static_cast<int32_t>(program.size()));
            queries->Load(program.data(), static_cast<int32_t>(program.size()), {"2", "b2"});
            if (!sound) {
                ++refused;
                EXPECT_EQ(Drain(*queries).error, "Invalid instruction") << sql << " #" << m;
                continue;
            }
            ++ran;
            ranChanged += std::memcmp(program.data(), compiled.data(), compiled.size() * sizeof(SQLInstruction)) != 0;
            int result = 1;
            for (int step = 0; result == 1 && step < 40000; ++step) result = queries->Run();
            EXPECT_TRUE(result >= -1 && result <= 1) << sql << " #" << m << " answered " << result;
            if (result < 0) {
                EXPECT_FALSE(queries->ErrorText().IsEmpty()) << sql << " #" << m;
            }
        }
        queries->Release();
    }
    queries->SetInstructionLimit(0);
    // Both verdicts were met many times, and changed programs ran.
    EXPECT_GT(refused, 300);
    EXPECT_GT(ran, 300);
    EXPECT_GT(ranChanged, 150);
    EXPECT_TRUE(IndexesAgree("t"));
}

} // namespace
} // namespace vorn::test
