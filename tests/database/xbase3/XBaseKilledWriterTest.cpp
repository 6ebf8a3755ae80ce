// Writers killed at random points: two writer processes add, re-key and
// delete records of a table with a UNIQUE and a plain index, one killed
// (SIGKILL) while the other goes on for a while, then the other. VrREINDEX,
// the step docs/locks.md names, then brings every index into agreement with
// the table: each entry names a record holding its key, each live record
// has exactly one entry per index, and no UNIQUE key is held twice.
#include <signal.h>

#include <random>

#include "tests/database/xbase3/DatabaseScriptSupport.h"

namespace vorn::test {
namespace {

constexpr int kKeys = 400;

// A writer for ever (until killed): step n adds key k<(37n + offset) mod
// kKeys> when n mod 3 is 0, else finds that key and
// re-keys (n mod 3 = 2) or deletes (n mod 3 = 1) the record found. After
// any failure (a key taken, a file replaced, an index left damaged by the
// other writer) it opens the table again. Both writers of a round take the
// same keys in the same order, so their adds race for them.
std::string WriterSource(uint32_t offset) {
    std::string seed = std::to_string(offset);
    std::string keys = std::to_string(kKeys);
    WriterLoop loop;
    loop.globals = "n, a, VrADD_Error, VrUPDATE_Error, VrFIND_Error, VrDELETE_Error, VrOPEN_Error";
    loop.silent.assign(std::begin(kDatabaseTagIds), std::end(kDatabaseTagIds));
    loop.step = R"(    pushg n
    pushi 37
    mul
    pushi )" + seed + R"(
    add
    pushi )" + keys + R"(
    mod
    popg a
    pushg n
    pushi 3
    mod
    pushi 0
    eq
    jmp_eq change
    pushc "k"
    pushg a
    cat
    popdc "c", "KEY"
    pushc "g"
    pushg a
    pushi 5
    mod
    cat
    popdc "c", "GRP"
    pushc "c"
    pushc ""
    dbadd
    pushg VrADD_Error
    pushc ""
    eq
    jmp_eq failed
    jmp advance
change:
    pushc "c"
    pushc ""
    pushc "k"
    pushg a
    cat
    pushi 1
    dbfind
    pushg VrFIND_Error
    pushc ""
    eq
    jmp_eq failed
    pushdc "c", "eof"
    pushi 0
    eq
    jmp_eq advance
    pushg n
    pushi 3
    mod
    pushi 1
    eq
    jmp_eq rekey
    pushc "c"
    pushc ""
    dbdelete
    pushg VrDELETE_Error
    pushc ""
    eq
    jmp_eq failed
    jmp advance
rekey:
    pushc "k"
    pushg n
    pushi 53
    mul
    pushi )" + seed + R"(
    add
    pushi )" + keys + R"(
    mod
    cat
    popdc "c", "KEY"
    pushc "c"
    pushc ""
    dbupdate
    pushg VrUPDATE_Error
    pushc ""
    eq
    jmp_eq failed
    jmp advance
failed:
)" + kReopen;
    loop.limit = 10000000;
    loop.open = OpenTable("K.DBF", "KU.VRX, KG.VRX");
    return WriterLoopSource(loop);
}

class XBaseKilledWriterTest : public DatabaseScriptTest {
  protected:
    // A child of this process running the program until it is killed.
    pid_t StartWriter(const std::vector<uint8_t>& program) {
        pid_t pid = fork();
        if (pid == 0) {
            RunImage(program);
            _exit(0);
        }
        return pid;
    }

    // Every index entry names a record holding its key; every live record
    // has one entry per index, a deleted one at most one; the UNIQUE index
    // holds no key twice, and no two live records share its key.
    void ExpectAgreement(const std::string& when) {
        std::vector<Row> rows = ReadTable("K.DBF");
        const struct {
            const char* file;
            size_t field;
            bool unique;
        } indexes[] = {{"KU.VRX", 0, true}, {"KG.VRX", 1, false}};
        for (const auto& index : indexes) {
            std::vector<IndexEntry> entries;
            ASSERT_TRUE(CheckIndex(Bytes(index.file), &entries)) << when << " " << index.file;
            std::vector<int> perRecord(rows.size() + 1, 0);
            std::set<std::string> keys;
            for (const IndexEntry& e : entries) {
                ASSERT_TRUE(e.record >= 1 && static_cast<size_t>(e.record) <= rows.size()) << when;
                EXPECT_EQ(e.key, rows[static_cast<size_t>(e.record - 1)].values[index.field])
                    << when << " " << index.file << " record " << e.record;
                ++perRecord[static_cast<size_t>(e.record)];
                if (index.unique) {
                    EXPECT_TRUE(keys.insert(e.key).second) << when << " twice: " << e.key;
                }
            }
            std::set<std::string> live;
            for (size_t r = 0; r < rows.size(); ++r) {
                int n = perRecord[r + 1];
                EXPECT_TRUE(rows[r].deleted ? n <= 1 : n == 1)
                    << when << " " << index.file << " record " << r + 1 << " has " << n << " entries";
                if (index.unique && !rows[r].deleted) {
                    EXPECT_TRUE(live.insert(rows[r].values[index.field]).second)
                        << when << " live twice: " << rows[r].values[index.field];
                }
            }
        }
    }
};

// 100 rounds of seeded kill points (two kills a round), each once the
// writers are under way; every tenth round also packs, which keeps the
// table small.
TEST_F(XBaseKilledWriterTest, AReindexRepairsWhatKilledWritersLeave) {
    ASSERT_EQ(Run("create c K.DBF \"KEY CHAR(8), GRP CHAR(4)\"\ndbmakeindex c KU.VRX KEY \"unique\"\n"
                  "dbmakeindex c KG.VRX GRP \"\"\nerr VrCREATE VrMAKEINDEX"),
              "VrCREATE= VrMAKEINDEX=\n");
    std::mt19937 random(4242);
    const std::string repair = "open r K.DBF \"KU.VRX, KG.VRX\"\ndbreindex r\nerr VrREINDEX\n";
    // The unique index's change counter: it moves with the writers' first change.
    auto counter = [&] {
        std::string header = Bytes("KU.VRX").substr(0, 9);
        return header.size() == 9 ? GetU32(reinterpret_cast<const uint8_t*>(header.data()) + 5) : 0u;
    };
    int64_t records = 0;
    for (int round = 0; round < 100 && !HasFailure(); ++round) {
        uint32_t offset = static_cast<uint32_t>(random() % kKeys);
        uint32_t before = counter();
        const std::vector<uint8_t> writer = AssembleScript(WriterSource(offset));
        pid_t a = StartWriter(writer);
        pid_t b = StartWriter(writer);
        ASSERT_GT(a, 0);
        ASSERT_GT(b, 0);
        for (int wait = 0; wait < 5000 && counter() == before; ++wait)
            usleep(200);
        usleep(random() % 20000);
        kill(a, SIGKILL);
        usleep(random() % 30000);
        kill(b, SIGKILL);
        int status = 0;
        waitpid(a, &status, 0);
        waitpid(b, &status, 0);
        std::string when = "round " + std::to_string(round);
        records += static_cast<int64_t>(ReadTable("K.DBF").size());
        ASSERT_EQ(Run(repair + (round % 10 == 9 ? "dbpack r\nerr VrPACK\n" : "")),
                  round % 10 == 9 ? "VrREINDEX=\nVrPACK=\n" : "VrREINDEX=\n")
            << when;
        ExpectAgreement(when);
    }
    // The writers did write: the table held records between the packs.
    EXPECT_GT(records, 500);
}

} // namespace
} // namespace vorn::test
