// Read-only statements against rebuilds of the tables they read: a join
// holding two indexes of one table never waits for a rebuild that waits for
// it, and a statement never pairs the records of one generation of a table
// with the index entries of the next.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>

#include "tests/sqllib/engine/SqlEngineSupport.h"

namespace vorn::test {
namespace {

class SqlReadRaceTest : public SqlEngineTest {
  protected:
    // A second request on the same database, as another responder runs it.
    struct Other {
        explicit Other(const std::string& root) : program(SqlHost::Get().Open(root)), schema(program) {
            opened = program && schema.Open("db.dbf", -1);
        }
        ~Other() { SqlHost::Get().Close(program); }
        VornProgram* program;
        Schema schema;
        bool opened = false;
    };
};

// One outcome of the rebuilding process.
struct Change {
    int32_t ok;
    char message[156];
};

// The self-join walks its outer table by s_z and its inner one by s_a, which
// a rebuild locks first: before the mend a rebuild holding s_a and waiting
// for s_z met the join holding s_z and waiting for s_a, and one of them
// failed at the lock time-out. Another process packs and creates and drops
// an index for a few seconds; every statement and change must succeed, and
// every joined pair match.
TEST_F(SqlReadRaceTest, ASelfJoinOverTwoIndexesRacingRebuildsNeverWaitsOutTheTimeOut) {
    constexpr int kRows = 24, kGroups = 6;
    constexpr uint32_t kSeed = 20261209;
    ASSERT_TRUE(CreateTable("s", {{"id", 'N', 8, 0}, {"grp", 'N', 8, 0}, {"tag", 'C', 1, 0}}));
    ASSERT_TRUE(CreateIndex("s", "s_a", false, {"grp"}));
    ASSERT_TRUE(CreateIndex("s", "s_z", false, {"tag"}));
    for (int i = 1; i <= kRows; ++i)
        ASSERT_EQ(Exec("INSERT INTO s (id, grp, tag) VALUES (" + std::to_string(i) + ", " +
                       std::to_string(i % kGroups) + ", 'T')"),
                  "");
    schema->DropIdleTables();
    schema->EmptyCache();
    std::mt19937 changing(kSeed);
    Beside other(root, [&](int k, Schema& theirs) {
        int ok = k % 3 == 0   ? theirs.Pack()
                 : k % 3 == 1 ? theirs.CreateIndex("s", -1, "s_m", -1, 0, {IndexColumn("id", -1, 1)})
                              : theirs.DropIndex("s_m", -1);
        usleep(changing() % 1500);
        return ok ? std::string() : std::string(theirs.ErrorText().Text());
    });
    std::mt19937 random(kSeed * 3);
    auto start = std::chrono::steady_clock::now();
    int statements = 0;
    std::string failure;
    while (failure.empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
        Outcome out = Query("SELECT x.id, y.id FROM s x, s y WHERE x.tag = 'T' AND y.grp = x.grp");
        ++statements;
        std::set<std::pair<int, int>> pairs;
        for (const auto& row : out.rows) {
            int x = std::atoi(row.at(0).c_str()), y = std::atoi(row.at(1).c_str());
            if (x % kGroups != y % kGroups) failure = "a pair of two groups: " + row[0] + ", " + row[1];
            pairs.insert({x, y});
        }
        if (!out.error.empty())
            failure = out.error;
        else if (pairs.size() != out.rows.size() || out.rows.size() != kRows * kRows / kGroups)
            failure = std::to_string(out.rows.size()) + " rows, " + std::to_string(pairs.size()) + " pairs";
        usleep(random() % 300);
    }
    std::vector<std::string> changes = other.Stop();
    for (size_t i = 0; i < changes.size(); ++i)
        EXPECT_EQ(changes[i], "") << "seed " << kSeed << ", change " << i + 1;
    EXPECT_EQ(failure, "") << "seed " << kSeed << ", statement " << statements;
    EXPECT_GT(changes.size(), 3u);
    EXPECT_TRUE(IndexesAgree("s"));
}

// A table kept from an earlier statement whose indexes were not open: a pack
// (by another process: this one's open files would hold up its renames)
// between the compile and the run renumbers the records, and the walk must
// not read the kept records by the new index's numbers (before the mend
// both statements missed their row: the new entry of id 8 led to the kept
// record of id 7).
TEST_F(SqlReadRaceTest, AWalkNeverPairsAnIndexWithRecordsOfAnotherGeneration) {
    ASSERT_TRUE(CreateTable("t", {{"id", 'N', 8, 0}, {"name", 'C', 8, 0}}));
    ASSERT_TRUE(CreateIndex("t", "t_id", true, {"id"}));
    ASSERT_TRUE(CreateTable("u", {{"ref", 'N', 8, 0}}));
    for (int i = 1; i <= 10; ++i)
        ASSERT_EQ(Exec("INSERT INTO t (id, name) VALUES (" + std::to_string(i) + ", 'n" +
                       std::to_string(i) + "')"),
                  "");
    ASSERT_EQ(Exec("INSERT INTO u (ref) VALUES (8)"), "");
    schema->DropIdleTables();
    schema->EmptyCache();
    int ask[2], answer[2];
    ASSERT_EQ(pipe(ask), 0);
    ASSERT_EQ(pipe(answer), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ask[1]);
        close(answer[0]);
        Other other(root);
        for (char command = 0; read(ask[0], &command, 1) == 1;) {
            Change change{other.opened && other.schema.Pack(), {}};
            std::snprintf(change.message, sizeof change.message, "%s", other.schema.ErrorText().Text());
            (void)!write(answer[1], &change, sizeof change);
        }
        _exit(0);
    }
    close(ask[0]);
    close(answer[1]);
    const struct {
        const char* sql;
        std::vector<std::string> rows;
    } cases[] = {
        {"SELECT id, name FROM t WHERE id = 8", {"8|n8"}},
        {"SELECT u.ref, t.name FROM u, t WHERE t.id = u.ref", {"8|n8"}},
    };
    int deleted = 1;
    for (const auto& c : cases) {
        // Each pack drops one more deleted record from before id 8.
        ASSERT_EQ(Exec("DELETE FROM t WHERE id = " + std::to_string(deleted++)), "");
        schema->DropIdleTables();
        // Read whole, without an index: kept with its indexes closed.
        ASSERT_EQ(Lines("SELECT name FROM t").size(), 10u - deleted + 1);
        queries->SetView(vrDatabase_AddView(database, "w", 1, nullptr));
        ASSERT_GE(queries->Prepare(c.sql, -1), 0) << c.sql;
        Change change{};
        ASSERT_EQ(write(ask[1], "p", 1), 1);
        ASSERT_EQ(read(answer[0], &change, sizeof change), static_cast<ssize_t>(sizeof change));
        ASSERT_TRUE(change.ok) << change.message;
        Outcome out = Drain(*queries);
        EXPECT_EQ(out.error, "") << c.sql;
        std::vector<std::string> lines;
        for (const auto& row : out.rows) lines.push_back(row.at(0) + "|" + row.at(1));
        EXPECT_EQ(lines, c.rows) << c.sql;
    }
    close(ask[1]);
    close(answer[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
}

// Another process rewrites one record, whose bytes cross a 4 KiB page of
// the file, with all of its fields alternately "A..." and "B...": every read
// of it sees one write's bytes. Before the mend, reads mixed the two.
TEST_F(SqlReadRaceTest, ARecordReadBesideItsRewriteIsOneWritesBytes) {
    constexpr int kWidth = 250;
    ASSERT_TRUE(CreateTable(
        "w", {{"id", 'N', 4, 0}, {"a", 'C', kWidth, 0}, {"b", 'C', kWidth, 0}, {"c", 'C', kWidth, 0},
              {"d", 'C', kWidth, 0}}));
    ASSERT_TRUE(CreateIndex("w", "w_id", true, {"id"}));
    auto row = [](int id, char fill) {
        std::string f(kWidth, fill);
        return "INSERT INTO w VALUES (" + std::to_string(id) + ", '" + f + "', '" + f + "', '" + f + "', '" + f +
               "')";
    };
    constexpr int kRows = 40;
    for (int id = 1; id <= kRows; ++id) ASSERT_EQ(Exec(row(id, 'A')), "");
    // Record 4 lies across the first 4 KiB page's end: 193 + 3 * 1005 < 4096 < 193 + 4 * 1005.
    // Record 30 lies inside the second block of 16 KiB, which a statement
    // that reads all 40 records reads whole.
    std::string header = Bytes("w.dbf").substr(8, 4);
    int32_t headerLength = static_cast<uint8_t>(header[0]) | static_cast<uint8_t>(header[1]) << 8;
    int32_t recordLength = static_cast<uint8_t>(header[2]) | static_cast<uint8_t>(header[3]) << 8;
    ASSERT_LT(headerLength + 3 * recordLength, 4096);
    ASSERT_GT(headerLength + 4 * recordLength, 4096);
    ASSERT_GT(headerLength + 29 * recordLength, 16384);
    ASSERT_LT(headerLength + 30 * recordLength, 32768);
    schema->DropIdleTables();
    // The writer rewrites the records as the library's writers do, under an
    // exclusive lock of their bytes, as fast as it can.
    std::string at = Path("w.dbf");
    Beside writer(root, [&](int k, Schema&) {
        int fd = open(at.c_str(), O_RDWR);
        std::string file = Bytes("w.dbf");
        for (int n = 0; n < 200; ++n) {
            int64_t start = headerLength + (n % 2 ? 29 : 3) * static_cast<int64_t>(recordLength);
            std::string record = file.substr(static_cast<size_t>(start), static_cast<size_t>(recordLength));
            char fill = (k * 200 + n) / 2 % 2 ? 'B' : 'A';
            std::memset(record.data() + 5, fill, 4 * kWidth);
            struct flock lock{};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            lock.l_start = start;
            lock.l_len = recordLength;
            if (fcntl(fd, F_OFD_SETLKW, &lock) != 0) return std::string("lock: ") + std::strerror(errno);
            if (pwrite(fd, record.data(), record.size(), start) != static_cast<ssize_t>(record.size()))
                return std::string("write: ") + std::strerror(errno);
            lock.l_type = F_UNLCK;
            fcntl(fd, F_OFD_SETLK, &lock);
        }
        close(fd);
        return std::string();
    });
    int torn = 0, reads = 0;
    const char* const queries[] = {"SELECT a, d FROM w WHERE id = 4", "SELECT a, d FROM w WHERE id + 0 = 4",
                                   "SELECT a, d FROM w WHERE id >= 1"};
    for (int n = 0; n < 3000; ++n) {
        // By its key, in a scan, and in a range read through kept blocks.
        const char* sql = queries[n % 3];
        Outcome out = Query(sql);
        ASSERT_EQ(out.error, "");
        ASSERT_EQ(out.rows.size(), n % 3 == 2 ? static_cast<size_t>(kRows) : 1u);
        for (const auto& got : out.rows) {
            ++reads;
            const std::string& a = got[0];
            const std::string& d = got[1];
            if (a != std::string(kWidth, a[0]) || d != a) ++torn;
        }
    }
    std::vector<std::string> reports = writer.Stop();
    EXPECT_GT(reports.size(), 10u);
    for (const std::string& report : reports) EXPECT_EQ(report, "");
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

} // namespace
} // namespace vorn::test
