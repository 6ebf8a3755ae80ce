// A writer process racing a pack or an ALTER TABLE of the same table, in
// seeded runs: every INSERT reported done leaves exactly one row, every one
// reported failed none, and every index holds exactly the live rows' keys.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "tests/sqllib/engine/SqlEngineSupport.h"

namespace vorn::test {
namespace {

constexpr int kRuns = 20;
constexpr int kInserts = 25;

struct Reported {
    int32_t id;
    int32_t ok;
};

// The writer: requests of five single-row INSERT statements, each request
// with a program, a Schema and an engine of its own, as a web request has;
// every outcome goes to fd.
void Write(const std::string& root, const std::string& table, int start, uint32_t seed, int fd) {
    auto make = reinterpret_cast<VornDatabase* (*)(VornProgram*)>(SqlHost::Get().Symbol("sqltest_database"));
    auto free = reinterpret_cast<void (*)(VornDatabase*)>(SqlHost::Get().Symbol("sqltest_database_free"));
    std::mt19937 random(seed);
    for (int i = 0; i < kInserts;) {
        VornProgram* program = SqlHost::Get().Open(root);
        if (!program) return;
        VornDatabase* database = make(program);
        {
            Schema schema(program);
            // Without its catalog the writer stops short, which the count of outcomes shows.
            if (!schema.Open("db.dbf", -1)) i = kInserts;
            SQLEngine engine(&schema, database);
            for (int n = 0; n < 5 && i < kInserts; ++n, ++i) {
                Reported outcome{start + i, 0};
                std::string sql = "INSERT INTO " + table + " (id, name) VALUES (" + std::to_string(outcome.id) +
                                  ", 'n" + std::to_string(outcome.id % 5) + "')";
                if (engine.Prepare(sql.data(), static_cast<int32_t>(sql.size())) >= 0) {
                    int step = 1;
                    while (step > 0) step = engine.Run();
                    outcome.ok = step == 0;
                }
                engine.Release();
                (void)!write(fd, &outcome, sizeof outcome);
                usleep(random() % 400);
            }
        }
        free(database);
        SqlHost::Get().Close(program);
    }
}

class SqlWriteRaceTest : public SqlEngineTest {
  protected:
    // One run: a fresh table with a unique and a second index, a writer
    // process inserting into it, and change (a pack or an ALTER) repeated
    // here until the writer is done.
    void Race(int run, const std::function<int(const std::string&, int)>& change) {
        uint32_t seed = 1000u + static_cast<uint32_t>(run);
        std::string table = "r" + std::to_string(run);
        ASSERT_TRUE(CreateTable(table.c_str(), {{"id", 'N', 8, 0}, {"name", 'C', 12, 0}}));
        ASSERT_TRUE(CreateIndex(table.c_str(), (table + "_id").c_str(), true, {"id"}));
        ASSERT_TRUE(CreateIndex(table.c_str(), (table + "_name").c_str(), false, {"name"}));
        int channel[2];
        ASSERT_EQ(pipe(channel), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(channel[0]);
            Write(root, table, run * 1000, seed, channel[1]);
            _exit(0);
        }
        close(channel[1]);
        std::mt19937 random(seed * 7);
        std::map<int32_t, int32_t> outcomes;
        bool open = true;
        for (int k = 0; open; ++k) {
            // The changes start once the writer is under way, then alternate
            // with its inserts.
            pollfd ready{channel[0], POLLIN, 0};
            while (open && poll(&ready, 1, k == 0 ? 1000 : 0) > 0) {
                Reported outcome;
                if (read(channel[0], &outcome, sizeof outcome) != sizeof outcome)
                    open = false;
                else
                    outcomes[outcome.id] = outcome.ok;
                if (k == 0) break;
            }
            if (!open) break;
            EXPECT_TRUE(change(table, k)) << "seed " << seed << ": " << schema->ErrorText().Text();
            ++changes;
            schema->EmptyCache();
            usleep(random() % 300);
        }
        close(channel[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_EQ(outcomes.size(), static_cast<size_t>(kInserts)) << "seed " << seed;

        std::vector<DbfField> fields;
        std::vector<DbfRecord> records;
        ASSERT_TRUE(ReadDbf(Bytes(table + ".dbf"), &fields, &records));
        std::map<int32_t, int> live;
        for (const DbfRecord& r : records)
            if (!r.deleted) ++live[std::atoi(r.values.at("ID").c_str())];
        for (const auto& [id, times] : live)
            EXPECT_EQ(outcomes.count(id), 1u) << "seed " << seed << ": id " << id << " was never written";
        for (const auto& [id, ok] : outcomes) {
            done += ok;
            auto row = live.find(id);
            EXPECT_EQ(row == live.end() ? 0 : row->second, ok ? 1 : 0)
                << "seed " << seed << ": id " << id << (ok ? " done" : " failed");
        }
        EXPECT_TRUE(IndexesAgree(table)) << "seed " << seed;
        schema->EmptyCache();
        ASSERT_TRUE(schema->DropTable(table.c_str(), -1)) << schema->ErrorText().Text();
    }

    // Inserts that succeeded and changes made, over all runs: the race ran.
    int done = 0;
    int changes = 0;
};

TEST_F(SqlWriteRaceTest, InsertsRacingPackLeaveExactlyTheRowsReportedDone) {
    for (int run = 0; run < kRuns && !HasFatalFailure(); ++run)
        Race(run, [&](const std::string&, int) { return schema->Pack(); });
    EXPECT_GT(done, 0);
    EXPECT_GT(changes, kRuns);
}

TEST_F(SqlWriteRaceTest, InsertsRacingAlterLeaveExactlyTheRowsReportedDone) {
    for (int run = 0; run < kRuns && !HasFatalFailure(); ++run)
        Race(run, [&](const std::string& table, int k) {
            ColumnDefinitionList added;
            std::string name = "e" + std::to_string(k);
            Columns(added, {{name.c_str(), 'N', 3, 0}});
            return schema->AlterTableAdd(table.c_str(), -1, added);
        });
    EXPECT_GT(done, 0);
    EXPECT_GT(changes, kRuns);
}

} // namespace
} // namespace vorn::test
