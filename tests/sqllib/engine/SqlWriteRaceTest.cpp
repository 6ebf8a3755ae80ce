// A writer process racing packs, ALTER TABLE and index changes of the same
// table, in seeded runs: every statement reported done has its whole effect,
// every one reported failed none, every index holds exactly the live rows'
// keys, and no statement fails for a table another request changed under it.
#include <poll.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "engine/foundation/LittleEndian.h"
#include "tests/sqllib/engine/SqlEngineSupport.h"

namespace vorn::test {
namespace {

constexpr int kRuns = 20;
constexpr int kStatements = 25;
constexpr int kRows = 30;

enum Kind : int32_t { kInsert, kUpdate, kDelete };

// One statement of the writer and what it reported.
struct Reported {
    int32_t kind;
    int32_t id;
    int32_t newId;
    int32_t ok;
    char message[112];
};

std::string NameOf(int32_t kind, int32_t id) {
    return (kind == kUpdate ? "u" : "n") + std::to_string(id % 5);
}

// The writer: requests of five single-row statements, each request with a
// program, a Schema and an engine of its own, as a web request has; every
// outcome goes to fd. Inserts add ids from start + 100; otherwise the rows
// start + 1 .. start + kRows are there and each statement updates (to a new
// id and name) or deletes one the writer believes live.
void Write(const std::string& root, const std::string& table, bool inserts, int start, uint32_t seed,
           int fd) {
    auto make = reinterpret_cast<VornDatabase* (*)(VornProgram*)>(SqlHost::Get().Symbol("sqltest_database"));
    auto free = reinterpret_cast<void (*)(VornDatabase*)>(SqlHost::Get().Symbol("sqltest_database_free"));
    std::mt19937 random(seed);
    std::vector<int32_t> live;
    for (int j = 1; j <= kRows; ++j)
        live.push_back(start + j);
    for (int i = 0; i < kStatements;) {
        VornProgram* program = SqlHost::Get().Open(root);
        if (!program) return;
        VornDatabase* database = make(program);
        {
            Schema schema(program);
            // Without its catalog the writer stops short, which the count of outcomes shows.
            if (!schema.Open("db.dbf", -1)) i = kStatements;
            SQLEngine engine(&schema, database);
            for (int n = 0; n < 5 && i < kStatements; ++n, ++i) {
                Reported outcome{kInsert, start + 100 + i, 0, 0, {}};
                std::string sql;
                size_t pick = live.empty() ? 0 : random() % live.size();
                if (!inserts && !live.empty()) {
                    outcome.kind = random() % 2 ? kUpdate : kDelete;
                    outcome.newId = outcome.id;
                    outcome.id = live[pick];
                }
                std::string id = std::to_string(outcome.id);
                if (outcome.kind == kInsert)
                    sql = "INSERT INTO " + table + " (id, name) VALUES (" + id + ", '" +
                          NameOf(kInsert, outcome.id) + "')";
                else if (outcome.kind == kUpdate)
                    sql = "UPDATE " + table + " SET id = " + std::to_string(outcome.newId) + ", name = '" +
                          NameOf(kUpdate, outcome.newId) + "' WHERE id = " + id;
                else
                    sql = "DELETE FROM " + table + " WHERE id = " + id;
                int step = -1;
                if (engine.Prepare(sql.data(), static_cast<int32_t>(sql.size())) >= 0) {
                    step = 1;
                    while (step > 0)
                        step = engine.Run();
                }
                outcome.ok = step == 0;
                if (!outcome.ok)
                    std::snprintf(outcome.message, sizeof outcome.message, "%s", engine.ErrorText().Text());
                engine.Release();
                if (outcome.ok && outcome.kind != kInsert) {
                    live.erase(live.begin() + static_cast<std::ptrdiff_t>(pick));
                    if (outcome.kind == kUpdate) live.push_back(outcome.newId);
                }
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
    // One run: a small table packed before it (so that a pack moves the
    // catalog counter before it reaches the raced table), a fresh table with
    // a unique and a second index, a writer process writing it, and change
    // repeated here until the writer is done.
    void Race(int run, bool inserts, const std::function<int(const std::string&, int)>& change) {
        uint32_t seed = 1000u + static_cast<uint32_t>(run);
        int start = run * 1000;
        std::string table = "r" + std::to_string(run);
        ASSERT_TRUE(CreateTable(("a" + table).c_str(), {{"id", 'N', 8, 0}}));
        ASSERT_EQ(Exec("INSERT INTO a" + table + " (id) VALUES (1)"), "");
        ASSERT_TRUE(CreateTable(table.c_str(), {{"id", 'N', 8, 0}, {"name", 'C', 12, 0}}));
        ASSERT_TRUE(CreateIndex(table.c_str(), (table + "_id").c_str(), true, {"id"}));
        ASSERT_TRUE(CreateIndex(table.c_str(), (table + "_name").c_str(), false, {"name"}));
        std::map<int32_t, std::string> expected;
        for (int j = 1; !inserts && j <= kRows; ++j) {
            expected[start + j] = NameOf(kInsert, start + j);
            ASSERT_EQ(Exec("INSERT INTO " + table + " (id, name) VALUES (" + std::to_string(start + j) +
                           ", '" + expected[start + j] + "')"),
                      "");
        }
        // The tables this request keeps open would hold up its own drops.
        schema->DropIdleTables();
        schema->EmptyCache();
        int channel[2];
        ASSERT_EQ(pipe(channel), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(channel[0]);
            Write(root, table, inserts, start, seed, channel[1]);
            _exit(0);
        }
        close(channel[1]);
        std::mt19937 random(seed * 7);
        std::vector<Reported> outcomes;
        bool open = true;
        for (int k = 0; open; ++k) {
            // The changes start once the writer is under way, then alternate
            // with its statements.
            pollfd ready{channel[0], POLLIN, 0};
            while (open && poll(&ready, 1, k == 0 ? 1000 : 0) > 0) {
                Reported outcome;
                if (read(channel[0], &outcome, sizeof outcome) != sizeof outcome)
                    open = false;
                else
                    outcomes.push_back(outcome);
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
        ASSERT_EQ(outcomes.size(), static_cast<size_t>(kStatements)) << "seed " << seed;

        // The statements reported done, applied in order.
        std::string statements;
        for (const Reported& o : outcomes) {
            statements += std::string("\n  ") + "IUD"[o.kind] + " " + std::to_string(o.id) +
                          (o.kind == kUpdate ? " to " + std::to_string(o.newId) : "") + ": " +
                          (o.ok ? "done" : o.message);
            if (!o.ok) {
                // A table this request read before another one changed it
                // is never taken for the next statement.
                EXPECT_EQ(std::strstr(o.message, "Invalid column reference"), nullptr)
                    << "seed " << seed << ": " << o.message;
                continue;
            }
            ++done;
            auto row = expected.find(o.id);
            if (o.kind == kInsert) {
                expected[o.id] = NameOf(kInsert, o.id);
            } else if (row != expected.end()) {
                expected.erase(row);
                if (o.kind == kUpdate) expected[o.newId] = NameOf(kUpdate, o.newId);
            }
        }
        std::vector<DbfField> fields;
        std::vector<DbfRecord> records;
        ASSERT_TRUE(ReadDbf(Bytes(table + ".dbf"), &fields, &records));
        std::map<int32_t, std::string> live;
        for (const DbfRecord& r : records) {
            if (r.deleted) continue;
            int32_t id = std::atoi(r.values.at("ID").c_str());
            EXPECT_EQ(live.count(id), 0u) << "seed " << seed << ": id " << id << " twice";
            live[id] = r.values.at("NAME");
        }
        EXPECT_EQ(live, expected) << "seed " << seed << ", statements:" << statements;
        EXPECT_TRUE(IndexesAgree(table)) << "seed " << seed;
        schema->DropIdleTables();
        schema->EmptyCache();
        ASSERT_TRUE(schema->DropTable(table.c_str(), -1)) << schema->ErrorText().Text();
        ASSERT_TRUE(schema->DropTable(("a" + table).c_str(), -1)) << schema->ErrorText().Text();
    }

    // Every run with a writer of the kind, racing packs (with an index of
    // the raced table made and dropped between them, so that a writer finds
    // the catalog changed while a pack holds it) or ALTERs.
    void RaceAll(bool inserts, bool alter) {
        for (int run = 0; run < kRuns && !HasFatalFailure(); ++run)
            Race(run, inserts, [&](const std::string& table, int k) {
                std::string index = table + "_x" + std::to_string(k - k % 3),
                            column = "e" + std::to_string(k);
                ColumnDefinitionList added;
                Columns(added, {{column.c_str(), 'N', 3, 0}});
                if (alter) return schema->AlterTableAdd(table.c_str(), -1, added);
                if (k % 3 == 1) return CreateIndex(table.c_str(), index.c_str(), false, {"name", "id"});
                return k % 3 == 2 ? schema->DropIndex(index.c_str(), -1) : schema->Pack();
            });
        EXPECT_GT(done, 0);
        EXPECT_GT(changes, kRuns);
    }

    // Statements that succeeded and changes made, over all runs: the race ran.
    int done = 0;
    int changes = 0;
};

TEST_F(SqlWriteRaceTest, InsertsRacingPackLeaveExactlyTheRowsReportedDone) {
    RaceAll(true, false);
}
TEST_F(SqlWriteRaceTest, InsertsRacingAlterLeaveExactlyTheRowsReportedDone) {
    RaceAll(true, true);
}
TEST_F(SqlWriteRaceTest, UpdatesAndDeletesRacingPackHaveExactlyTheEffectsReportedDone) {
    RaceAll(false, false);
}
TEST_F(SqlWriteRaceTest, UpdatesAndDeletesRacingAlterHaveExactlyTheEffectsReportedDone) {
    RaceAll(false, true);
}

// A statement compiled against the table as an ALTER left it never runs on a
// table this request kept from before the ALTER. The ALTER is held at the
// catalog counter by a reader of the catalog's index; the writer compiles
// with its cache of tables emptied (the counter moved since its last
// compile), then runs with a table kept from its last statement.
TEST_F(SqlWriteRaceTest, AStatementNeverRunsOnATableKeptFromBeforeAnAlter) {
    ASSERT_TRUE(CreateTable("k", {{"id", 'N', 8, 0}, {"name", 'C', 12, 0}}));
    int up[2], down[2];
    ASSERT_EQ(pipe(up), 0);
    ASSERT_EQ(pipe(down), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto make =
            reinterpret_cast<VornDatabase* (*)(VornProgram*)>(SqlHost::Get().Symbol("sqltest_database"));
        auto free = reinterpret_cast<void (*)(VornDatabase*)>(SqlHost::Get().Symbol("sqltest_database_free"));
        VornProgram* own = SqlHost::Get().Open(root);
        VornDatabase* base = make(own);
        char outcome[160] = "not run";
        {
            Schema mine(own);
            SQLEngine engine(&mine, base);
            char step = 0;
            auto run = [&](const std::string& sql, bool pause) {
                int state = engine.Prepare(sql.data(), static_cast<int32_t>(sql.size())) >= 0 ? 1 : -1;
                if (pause) {
                    (void)!write(up[1], "p", 1);
                    (void)!read(down[0], &step, 1);
                }
                while (state > 0)
                    state = engine.Run();
                std::snprintf(outcome, sizeof outcome, "%s", state == 0 ? "" : engine.ErrorText().Text());
                engine.Release();
            };
            if (mine.Open("db.dbf", -1)) {
                run("INSERT INTO k (id, name) VALUES (1, 'a')", true);
                (void)!write(up[1], "k", 1);
                (void)!read(down[0], &step, 1);
                run("INSERT INTO k (id, name) VALUES (2, 'b')", false);
            }
        }
        (void)!write(up[1], outcome, sizeof outcome);
        free(base);
        SqlHost::Get().Close(own);
        _exit(0);
    }
    char step = 0;
    // Between the first statement's compile and run the counter moves.
    ASSERT_EQ(read(up[0], &step, 1), 1);
    ASSERT_TRUE(CreateTable("other", {{"id", 'N', 8, 0}}));
    (void)!write(down[1], "g", 1);
    ASSERT_EQ(read(up[0], &step, 1), 1);
    VornProgram* holding = SqlHost::Get().Open(root);
    {
        Schema holder(holding);
        ASSERT_TRUE(holder.Open("db.dbf", -1));
        XBaseStore* index = holder.CatalogIndex1()->File().Store();
        ASSERT_TRUE(index->Lock(false, 0, kIndexHeaderSize));
        schema->DropIdleTables();
        schema->EmptyCache();
        int altered = -1;
        std::thread alter([&] {
            ColumnDefinitionList added;
            Columns(added, {{"e1", 'N', 3, 0}});
            altered = schema->AlterTableAdd("k", -1, added);
        });
        usleep(200000);
        (void)!write(down[1], "g", 1);
        usleep(200000);
        index->Unlock(0, kIndexHeaderSize);
        alter.join();
        EXPECT_EQ(altered, 1) << schema->ErrorText().Text();
    }
    SqlHost::Get().Close(holding);
    char outcome[160] = {};
    ASSERT_EQ(read(up[0], outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // It may fail for the table it had open being replaced, not for a column
    // its table lacks; and it leaves a row exactly when it says so.
    EXPECT_EQ(std::strstr(outcome, "Invalid column reference"), nullptr) << outcome;
    std::vector<std::string> rows =
        outcome[0] ? std::vector<std::string>{"1"} : std::vector<std::string>{"1", "2"};
    EXPECT_EQ(Lines("SELECT id FROM k"), rows) << outcome;
}

// Multi-row UPDATEs and DELETEs, some reading the other table (so that two
// statements hold the two tables in both orders), beside a process adding
// and dropping a column of each table in turn: every statement waits for
// the rebuild it meets and changes all of its rows (before the mend one in
// twenty failed with "The file was removed or replaced", part of its rows
// changed), and none waits out the lock time-out.
TEST_F(SqlWriteRaceTest, MultiRowStatementsBesideAltersChangeAllTheirRows) {
    constexpr int kRows = 120;
    constexpr uint32_t kSeed = 4001;
    for (const char* table : {"w", "v"}) {
        ASSERT_TRUE(CreateTable(table, {{"id", 'N', 8, 0}, {"grp", 'N', 8, 0}}));
        ASSERT_TRUE(CreateIndex(table, (std::string(table) + "_id").c_str(), true, {"id"}));
        for (int i = 1; i <= kRows; ++i)
            ASSERT_EQ(Exec(std::string("INSERT INTO ") + table + " (id, grp) VALUES (" + std::to_string(i) +
                           ", 0)"),
                      "");
    }
    schema->DropIdleTables();
    schema->EmptyCache();
    std::mt19937 altering(kSeed);
    // The ALTERs made so far, seen by both processes.
    auto* altered = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(altered, MAP_FAILED);
    new (altered) std::atomic<int>(0);
    Beside other(root, [&](int k, Schema& theirs) {
        const char* table = k % 4 < 2 ? "w" : "v";
        ColumnDefinitionList added;
        Columns(added, {{"extra", 'N', 3, 0}});
        int ok = k % 2 == 0 ? theirs.AlterTableAdd(table, -1, added) : theirs.AlterTableDrop(table, -1, "extra", -1);
        ++*altered;
        usleep(1000 + altering() % 8000);
        return ok ? std::string() : std::string(theirs.ErrorText().Text());
    });
    std::mt19937 random(kSeed * 5);
    std::map<int, int> w, v;
    for (int i = 1; i <= kRows; ++i)
        w[i] = v[i] = 0;
    std::string failure;
    auto start = std::chrono::steady_clock::now();
    int statements = 0;
    // Four seconds, and beside a dozen ALTERs however loaded the machine.
    auto running = [&] {
        auto spent = std::chrono::steady_clock::now() - start;
        return spent < std::chrono::seconds(4) || (altered->load() <= 10 && spent < std::chrono::seconds(60));
    };
    for (int k = 1; failure.empty() && running(); ++k) {
        int low = 1 + static_cast<int>(random() % 20), high = kRows - static_cast<int>(random() % 20);
        std::string range = " >= " + std::to_string(low) + " AND id <= " + std::to_string(high);
        std::string sql;
        switch (k % 4) {
        case 0:
            sql = "UPDATE w SET grp = " + std::to_string(k) + " WHERE id" + range;
            for (auto& [id, grp] : w)
                if (id >= low && id <= high) grp = k;
            break;
        case 1:
            sql = "UPDATE v SET grp = " + std::to_string(k) + " WHERE id" + range +
                  " AND id IN (SELECT id FROM w)";
            for (auto& [id, grp] : v)
                if (id >= low && id <= high && w.count(id)) grp = k;
            break;
        case 2:
            sql = "UPDATE w SET grp = " + std::to_string(k) + " WHERE id" + range +
                  " AND id IN (SELECT id FROM v)";
            for (auto& [id, grp] : w)
                if (id >= low && id <= high && v.count(id)) grp = k;
            break;
        default: {
            // Half the rows of one table go and come back.
            std::map<int, int>& rows = k % 8 == 3 ? w : v;
            std::string table = k % 8 == 3 ? "w" : "v";
            sql = "DELETE FROM " + table + " WHERE id" + range;
            std::string error = Exec(sql);
            ++statements;
            if (!error.empty()) {
                failure = sql + ": " + error;
                break;
            }
            for (int id = low; id <= high; ++id) rows.erase(id);
            for (int id = low; id <= high && failure.empty(); id += 2) {
                sql = "INSERT INTO " + table + " (id, grp) VALUES (" + std::to_string(id) + ", " +
                      std::to_string(k) + ")";
                error = Exec(sql);
                ++statements;
                if (!error.empty()) failure = sql + ": " + error;
                rows[id] = k;
            }
            continue;
        }
        }
        std::string error = Exec(sql);
        ++statements;
        if (!error.empty()) failure = sql + ": " + error;
    }
    std::vector<std::string> alters = other.Stop();
    EXPECT_EQ(failure, "") << "seed " << kSeed << ", statement " << statements;
    for (size_t i = 0; i < alters.size(); ++i) EXPECT_EQ(alters[i], "") << "seed " << kSeed << ", ALTER " << i + 1;
    EXPECT_GT(alters.size(), 10u);
    munmap(altered, sizeof(std::atomic<int>));
    for (const auto& [table, rows] : {std::pair{"w", &w}, std::pair{"v", &v}}) {
        std::vector<std::string> expected;
        for (const auto& [id, grp] : *rows) expected.push_back(std::to_string(id) + "|" + std::to_string(grp));
        std::sort(expected.begin(), expected.end());
        std::vector<std::string> found = Lines(std::string("SELECT id, grp FROM ") + table);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, expected) << "seed " << kSeed << ", table " << table;
        EXPECT_TRUE(IndexesAgree(table)) << table;
    }
}

// Multi-row UPDATE and DELETE walking an index that other requests make anew
// in place: writers killed at random points, and an index left marked as
// half changed (what a writer killed inside a change of several pages
// leaves), repaired by the next insert. The remade tree lacks the entries
// of rows the statement has deleted or moved already, so the entry its walk
// stood on may be gone. A statement reported done changed every row it
// matched; one reported failed changed none.
TEST_F(SqlWriteRaceTest, MultiRowStatementsBesideIndexesMadeAnewChangeEveryMatchedRow) {
    constexpr uint32_t kSeed = 4801;
    constexpr int kGroups = 4, kPerGroup = 60;
    ASSERT_TRUE(CreateTable("m", {{"id", 'N', 8, 0}, {"own", 'N', 4, 0}, {"grp", 'N', 4, 0}}));
    ASSERT_TRUE(CreateIndex("m", "m_id", true, {"id"}));
    ASSERT_TRUE(CreateIndex("m", "m_og", false, {"own", "grp"}));
    std::map<int, int> rows; // this request's rows (own 1): id -> grp
    int nextId = 1;
    auto add = [&](int grp) {
        for (int i = 0; i < kPerGroup; ++i, ++nextId) {
            std::string sql = "INSERT INTO m (id, own, grp) VALUES (" + std::to_string(nextId) + ", 1, " +
                              std::to_string(grp) + ")";
            // An insert that met the index marked again after its repair
            // added nothing (the check after the statement shows it).
            std::string error = Exec(sql);
            for (int again = 0; again < 5 && error.find("index damaged") != std::string::npos; ++again)
                error = Exec(sql);
            if (!error.empty()) return sql + ": " + error;
            rows[nextId] = grp;
        }
        return std::string();
    };
    for (int g = 0; g < kGroups; ++g) ASSERT_EQ(add(g), "");
    schema->DropIdleTables();
    schema->EmptyCache();
    std::string markPath = Path("m_og.vrx");
    Beside other(root, [&](int k, Schema& theirs) {
        std::mt19937 random(kSeed + static_cast<uint32_t>(k));
        if (k % 2 == 0) {
            // A writer of other rows, killed wherever it is.
            pid_t child = fork();
            if (child == 0) {
                VornProgram* own = SqlHost::Get().Open(root);
                Schema mine(own);
                if (!mine.Open("db.dbf", -1)) _exit(1);
                Table* t = mine.GetTable("m", -1);
                for (int n = 0; t; ++n)
                    Insert(t, {{"id", std::to_string(1000000 + k * 1000 + n)}, {"own", "2"},
                               {"grp", std::to_string(n % 7)}});
                _exit(1);
            }
            usleep(2000 + random() % 20000);
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        {
            std::fstream file(markPath, std::ios::in | std::ios::out | std::ios::binary);
            file.seekg(26);
            int flags = file.get();
            file.seekp(26);
            file.put(static_cast<char>(flags | 0x40));
        }
        Table* t = theirs.GetTable("m", -1);
        if (!t) return std::string("no table: ") + theirs.ErrorText().Text();
        int ok = Insert(t, {{"id", std::to_string(2000000 + k)}, {"own", "3"}, {"grp", "0"}});
        usleep(random() % 3000);
        return ok ? std::string() : std::string("insert: ") + t->ErrorText().Text();
    });
    std::mt19937 random(kSeed);
    std::string failure;
    int done = 0, failed = 0;
    // The index is made anew in place that many times (counted behind its header).
    auto remakes = [&] {
        std::string bytes = Bytes("m_og.vrx");
        return bytes.size() > 431 ? GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + 427) : 0;
    };
    // Until enough statements ran beside enough remakes, however loaded the machine.
    auto start = std::chrono::steady_clock::now();
    for (int k = 0; failure.empty() && (done < 30 || remakes() < 10) &&
                    std::chrono::steady_clock::now() - start < std::chrono::seconds(50);
         ++k) {
        int from = static_cast<int>(random() % kGroups), to = static_cast<int>(random() % kGroups);
        bool remove = k % 2 == 1;
        std::string sql = remove ? "DELETE FROM m WHERE own = 1 AND grp = " + std::to_string(from)
                                 : "UPDATE m SET grp = " + std::to_string(to) +
                                       " WHERE own = 1 AND grp = " + std::to_string(from);
        std::string error = Exec(sql);
        if (error.empty()) {
            ++done;
            for (auto it = rows.begin(); it != rows.end();) {
                if (it->second != from) {
                    ++it;
                } else if (remove) {
                    it = rows.erase(it);
                } else {
                    (it++)->second = to;
                }
            }
        } else {
            // Only a statement that met the index marked again after its
            // repairs may fail, and it changes nothing.
            ++failed;
            if (error.find("index damaged") == std::string::npos) failure = sql + ": " + error;
        }
        // A scan, not the index the statements walk, tells what is there.
        std::vector<std::string> expected, found = Lines("SELECT id, grp FROM m WHERE own + 0 = 1");
        for (const auto& [id, grp] : rows) expected.push_back(std::to_string(id) + "|" + std::to_string(grp));
        std::sort(expected.begin(), expected.end());
        std::sort(found.begin(), found.end());
        if (found != expected) {
            std::vector<std::string> extra, missing;
            std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(),
                                std::back_inserter(extra));
            std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(),
                                std::back_inserter(missing));
            failure = sql + (error.empty() ? " reported done" : " failed: " + error) + ", yet " +
                      std::to_string(extra.size()) + " rows are there that should not be (" +
                      (extra.empty() ? "" : extra[0]) + "...) and " + std::to_string(missing.size()) +
                      " are not that should be (" + (missing.empty() ? "" : missing[0]) + "...)";
        }
        if (remove && failure.empty()) failure = add(from);
    }
    std::vector<std::string> disturbed = other.Stop();
    EXPECT_GE(remakes(), 10u);
    EXPECT_EQ(failure, "") << "seed " << kSeed << ", after " << done << " done, " << failed << " failed";
    for (size_t i = 0; i < disturbed.size(); ++i) EXPECT_EQ(disturbed[i], "") << "step " << i;
    EXPECT_GE(done, 30);
    schema->DropIdleTables();
    schema->EmptyCache();
    ASSERT_TRUE(schema->Pack()) << schema->ErrorText().Text();
    EXPECT_TRUE(IndexesAgree("m"));
}

// Thirty visitors at once, each a process doing what the example page does
// without its lock file: open the database (or else create it), create the
// table when it is missing, insert a row. Into a database that exists every
// insert succeeds and stays; thirty first visitors make one database, never
// read a catalog half made, and leave it usable. Before the mend visitors
// failed with "Unknown table", "datafile already exists" and "File is
// corrupt", and rounds lost rows or left the table's file without its row.
TEST_F(SqlWriteRaceTest, ThirtyVisitorsAtOnceMakeOneDatabaseAndLoseNoRow) {
    constexpr int kVisitors = 30;
    struct Visit {
        int32_t visitor;
        int32_t ok;
        char message[150];
    };
    for (int round = 0; round < 6 && !HasFatalFailure(); ++round) {
        // Rounds 3 to 5 start without the database.
        bool first = round >= 3;
        std::string folder = "r" + std::to_string(round);
        std::filesystem::create_directory(Path(folder));
        std::string book = folder + "/book.dbf";
        if (!first) {
            Schema made(program);
            ASSERT_TRUE(made.Create(book.c_str(), -1)) << made.ErrorText().Text();
        }
        int go[2], report[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(report), 0);
        std::vector<pid_t> children;
        for (int v = 0; v < kVisitors; ++v) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(go[1]);
                close(report[0]);
                auto make =
                    reinterpret_cast<VornDatabase* (*)(VornProgram*)>(SqlHost::Get().Symbol("sqltest_database"));
                VornProgram* own = SqlHost::Get().Open(root);
                Visit visit{v, 0, {}};
                {
                    Schema mine(own);
                    SQLEngine engine(&mine, make(own));
                    char byte = 0;
                    (void)!read(go[0], &byte, 1);
                    auto run = [&](const std::string& sql) {
                        int step = engine.Prepare(sql.data(), static_cast<int32_t>(sql.size())) >= 0 ? 1 : -1;
                        while (step > 0) step = engine.Run();
                        std::string error = step == 0 ? "" : engine.ErrorText().Text();
                        engine.Release();
                        return error;
                    };
                    std::string error;
                    if (!mine.Open(book.c_str(), -1) && (!first || !mine.Create(book.c_str(), -1)))
                        error = std::string("open: ") + mine.ErrorText().Text();
                    if (error.empty() && !mine.FindTableRow("people", -1)) {
                        std::string made = run("CREATE TABLE people (name CHAR(20), n NUMERIC(4))");
                        if (!made.empty() && made.find("already exists") == std::string::npos)
                            error = "create table: " + made;
                    }
                    if (error.empty())
                        error = run("INSERT INTO people VALUES ('v" + std::to_string(v) + "', " + std::to_string(v) +
                                    ")");
                    visit.ok = error.empty();
                    std::snprintf(visit.message, sizeof visit.message, "%s", error.c_str());
                }
                (void)!write(report[1], &visit, sizeof visit);
                SqlHost::Get().Close(own);
                _exit(0);
            }
            children.push_back(child);
        }
        close(go[0]);
        close(report[1]);
        close(go[1]);
        std::set<std::string> succeeded;
        for (int v = 0; v < kVisitors; ++v) {
            Visit visit{};
            ASSERT_EQ(read(report[0], &visit, sizeof visit), static_cast<ssize_t>(sizeof visit)) << "round " << round;
            std::string message = visit.message;
            // A first visit may meet the database made again by a later one
            // (VrCREATE empties a database that exists): a clear refusal.
            bool clear = first && (message.find("removed or replaced") != std::string::npos ||
                                   message.find("Unknown table") != std::string::npos ||
                                   message.find("No such file") != std::string::npos);
            EXPECT_TRUE(visit.ok || clear) << "round " << round << ", visitor " << visit.visitor << ": " << message;
            EXPECT_EQ(message.find("open:"), std::string::npos) << "round " << round << ": " << message;
            if (visit.ok) succeeded.insert("v" + std::to_string(visit.visitor));
        }
        close(report[0]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
        }
        std::set<std::string> names;
        std::vector<DbfField> fields;
        std::vector<DbfRecord> records;
        if (Exists(folder + "/people.dbf")) {
            ASSERT_TRUE(ReadDbf(Bytes(folder + "/people.dbf"), &fields, &records)) << "round " << round;
            for (const DbfRecord& r : records)
                if (!r.deleted) names.insert(r.values.at("NAME"));
        }
        // A row is there only when its insert said so; into a database that
        // exists, every one.
        EXPECT_TRUE(std::includes(succeeded.begin(), succeeded.end(), names.begin(), names.end()))
            << "round " << round;
        if (!first) {
            EXPECT_EQ(names.size(), static_cast<size_t>(kVisitors)) << "round " << round;
        }
        // The database goes on: its catalog opens and takes new tables.
        Schema after(program);
        ASSERT_TRUE(after.Open(book.c_str(), -1)) << after.ErrorText().Text();
        ColumnDefinitionList columns;
        Columns(columns, {{"x", 'N', 3, 0}});
        EXPECT_TRUE(after.CreateTable("more", -1, columns)) << after.ErrorText().Text();
        if (!after.FindTableRow("people", -1)) {
            EXPECT_TRUE(after.CreateTable("people", -1, columns)) << after.ErrorText().Text();
        }
        EXPECT_FALSE(after.CreateTable("people", -1, columns));
        EXPECT_STREQ(after.ErrorText().Text(), "Table 'people' already exists");
    }
}

// Requests making the database again (VrCREATE of one that exists) and its
// tables, beside requests that open it, make its table when it is missing
// and write it, in seeded rounds: each request meets one whole catalog and
// whole table files or is refused clearly (a file removed or replaced, the
// table unknown or its file gone), and each round ends with every table
// file named by the catalog and every named file there. Before the mend
// requests read table files still being written ("File is corrupt"), took
// an old catalog's data file with a new one's index (an INSERT into
// another table), and found a file of the old catalog in the way of the
// new one's table for good ("datafile already exists").
TEST_F(SqlWriteRaceTest, ADatabaseMadeAgainBesideItsUsersShowsOnlyWholeFiles) {
    constexpr uint32_t kSeed = 5150;
    constexpr int kRounds = 4;
    constexpr int kUsers = 8;
    constexpr int kMakers = 3;
    constexpr int kRequests = 24;
    struct Report {
        int32_t process;
        int32_t request;
        char message[150];
    };
    for (int round = 0; round < kRounds && !HasFatalFailure(); ++round) {
        uint32_t seed = kSeed + 100u * static_cast<uint32_t>(round);
        std::string folder = "m" + std::to_string(round) + "/";
        std::filesystem::create_directory(Path(folder));
        const std::string book = folder + "book.dbf";
        {
            Schema made(program);
            ASSERT_TRUE(made.Create(book.c_str(), -1)) << made.ErrorText().Text();
        }
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        std::vector<pid_t> children;
        for (int p = 0; p < kUsers + kMakers; ++p) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child != 0) {
                children.push_back(child);
                continue;
            }
            close(report[0]);
            auto make =
                reinterpret_cast<VornDatabase* (*)(VornProgram*)>(SqlHost::Get().Symbol("sqltest_database"));
            auto free =
                reinterpret_cast<void (*)(VornDatabase*)>(SqlHost::Get().Symbol("sqltest_database_free"));
            std::mt19937 random(seed + static_cast<uint32_t>(p));
            bool maker = p >= kUsers;
            VornProgram* own = SqlHost::Get().Open(root);
            for (int r = 0; r < kRequests; ++r) {
                Report out{p, r, {}};
                VornDatabase* database = make(own);
                {
                    Schema mine(own);
                    SQLEngine engine(&mine, database);
                    // A table made by another request at the same time is no failure.
                    auto run = [&](const std::string& sql) {
                        int step = engine.Prepare(sql.data(), static_cast<int32_t>(sql.size())) >= 0 ? 1 : -1;
                        while (step > 0)
                            step = engine.Run();
                        std::string error = step == 0 ? "" : engine.ErrorText().Text();
                        engine.Release();
                        bool made = error == "Table 'people' already exists" ||
                                    error == "Table 'other' already exists";
                        return made ? std::string() : error;
                    };
                    usleep(random() % (maker ? 8000 : 3000));
                    std::string error;
                    if (!(maker ? mine.Create(book.c_str(), -1) : mine.Open(book.c_str(), -1)))
                        error = std::string(maker ? "create: " : "open: ") + mine.ErrorText().Text();
                    // Half the catalogs have another table first, so that a
                    // row's place in one is another table's in the next.
                    if (error.empty() && maker && random() % 2)
                        error = run("CREATE TABLE other (x NUMERIC(3))");
                    if (error.empty() && !mine.FindTableRow("people", -1))
                        error = run("CREATE TABLE people (name CHAR(20), n NUMERIC(6))");
                    for (int k = 0; error.empty() && k < 4; ++k) {
                        usleep(random() % 1500);
                        error = run(k % 2 ? "DELETE FROM people WHERE n < 0"
                                          : "INSERT INTO people VALUES ('p" + std::to_string(p) + "', " +
                                                std::to_string(r) + ")");
                    }
                    std::snprintf(out.message, sizeof out.message, "%s", error.c_str());
                }
                free(database);
                (void)!write(report[1], &out, sizeof out);
            }
            SqlHost::Get().Close(own);
            _exit(0);
        }
        close(report[1]);
        int reports = 0, refused = 0;
        for (Report out{}; read(report[0], &out, sizeof out) == static_cast<ssize_t>(sizeof out); ++reports) {
            std::string message = out.message;
            if (message.empty()) continue;
            ++refused;
            bool clear = message.find("The file was removed or replaced") != std::string::npos ||
                         message == "Unknown table 'people'" ||
                         message.find("No such file") != std::string::npos;
            EXPECT_TRUE(clear) << "seed " << seed << ", process " << out.process << ", request "
                               << out.request << ": " << message;
        }
        close(report[0]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        EXPECT_EQ(reports, (kUsers + kMakers) * kRequests);
        // How many requests a maker's Create overtakes depends on the
        // machine's load (a quarter to a half quiet, an eighth loaded).
        EXPECT_GT(reports - refused, 0) << "seed " << seed;
        Schema after(program);
        ASSERT_TRUE(after.Open(book.c_str(), -1)) << after.ErrorText().Text();
        std::set<std::string> named{book, folder + "book.vrx", folder + "booki.vrx"};
        VornSQLTable& catalog = after.Catalog()->Data();
        for (int32_t r = 1; r <= catalog.RecordCount(); ++r) {
            ASSERT_TRUE(catalog.ReadRecord(r));
            if (catalog.Deleted()) continue;
            named.insert(folder + catalog.Field("FILE")->Value());
            std::string name = catalog.Field("TABLE")->Value();
            EXPECT_NE(after.GetTable(name.c_str()), nullptr) << name << ": " << after.ErrorText().Text();
        }
        std::set<std::string> files;
        for (const std::string& file : Files())
            if (file.rfind(folder, 0) == 0) files.insert(file);
        EXPECT_EQ(files, named) << "seed " << seed;
        ColumnDefinitionList columns;
        Columns(columns, {{"x", 'N', 3, 0}});
        EXPECT_TRUE(after.CreateTable("more", -1, columns)) << after.ErrorText().Text();
    }
}

// A writer process killed at a random point of its statements, 100 times,
// with inserts of this process between the kills: no unique key is ever held
// by two live records, and a pack, the repair step after a crash, brings the
// table and every index back to agreement (before the mend ids were found
// twice, and records were left in no index).
TEST_F(SqlWriteRaceTest, AWriterKilledAtAnyPointLeavesWhatAPackRepairs) {
    constexpr uint32_t kSeed = 4444;
    constexpr int kKills = 100;
    constexpr int kIds = 40;
    ASSERT_TRUE(CreateTable("k", {{"id", 'N', 8, 0}, {"name", 'C', 12, 0}, {"grp", 'N', 4, 0}}));
    ASSERT_TRUE(CreateIndex("k", "k_id", true, {"id"}));
    ASSERT_TRUE(CreateIndex("k", "k_name", false, {"name"}));
    ASSERT_TRUE(CreateIndex("k", "k_gn", true, {"grp", "name"}));
    for (int i = 1; i <= kIds / 2; ++i)
        ASSERT_EQ(Exec("INSERT INTO k VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "', " +
                       std::to_string(i) + ")"),
                  "");
    schema->DropIdleTables();
    schema->EmptyCache();
    std::mt19937 random(kSeed);
    auto statement = [](std::mt19937& r) {
        std::string id = std::to_string(1 + r() % kIds), other = std::to_string(1 + r() % kIds);
        switch (r() % 5) {
        case 0:
            return "INSERT INTO k VALUES (" + id + ", 'n" + other + "', " + other + ")";
        case 1:
            return "UPDATE k SET id = " + other + ", name = 'u" + id + "' WHERE id = " + id;
        case 2:
            return "UPDATE k SET grp = grp + 1, name = 'm" + other + "' WHERE id >= " + id + " AND id <= " + id +
                   " + 5";
        case 3:
            return "UPDATE k SET id = id + 1 WHERE id >= " + id;
        default:
            return "DELETE FROM k WHERE id = " + id;
        }
    };
    auto twice = [&]() -> std::string {
        std::vector<DbfField> fields;
        std::vector<DbfRecord> records;
        if (!ReadDbf(Bytes("k.dbf"), &fields, &records)) return "unreadable";
        std::set<std::string> ids, groups;
        for (const DbfRecord& r : records) {
            if (r.deleted) continue;
            if (!ids.insert(r.values.at("ID")).second) return "id " + r.values.at("ID") + " twice";
            if (!groups.insert(OracleKey(r, fields, {"grp", "name"})).second) return "grp and name twice";
        }
        return "";
    };
    for (int round = 0; round < kKills && !HasFatalFailure(); ++round) {
        uint32_t seed = kSeed + static_cast<uint32_t>(round);
        int started[2];
        ASSERT_EQ(pipe(started), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(started[0]);
            auto make =
                reinterpret_cast<VornDatabase* (*)(VornProgram*)>(SqlHost::Get().Symbol("sqltest_database"));
            VornProgram* own = SqlHost::Get().Open(root);
            Schema mine(own);
            SQLEngine engine(&mine, make(own));
            std::mt19937 r(seed);
            if (!mine.Open("db.dbf", -1)) _exit(1);
            for (int n = 0;; ++n) {
                std::string sql = statement(r);
                if (engine.Prepare(sql.data(), static_cast<int32_t>(sql.size())) >= 0)
                    while (engine.Run() > 0) {
                    }
                engine.Release();
                // Under way: the kill comes within the next few statements.
                if (n == 0) (void)!write(started[1], "s", 1);
            }
        }
        close(started[1]);
        char byte = 0;
        ASSERT_EQ(read(started[0], &byte, 1), 1) << "seed " << seed;
        close(started[0]);
        usleep(static_cast<useconds_t>(random() % 6000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        // What the killed writer left is used at once: each live id is
        // refused again, and others' statements go on.
        std::vector<DbfField> fields;
        std::vector<DbfRecord> records;
        ASSERT_TRUE(ReadDbf(Bytes("k.dbf"), &fields, &records));
        std::vector<std::string> statements;
        for (const DbfRecord& r : records)
            if (!r.deleted)
                statements.push_back("INSERT INTO k VALUES (" + r.values.at("ID") + ", 'again', " +
                                     std::to_string(statements.size() + 5000) + ")");
        for (int n = 0; n < 3; ++n) statements.push_back(statement(random));
        for (const std::string& sql : statements) {
            std::string error = Exec(sql);
            EXPECT_TRUE(error.empty() || error.find("UNIQUE") != std::string::npos)
                << "seed " << seed << ": " << sql << ": " << error;
        }
        EXPECT_EQ(twice(), "") << "seed " << seed;
        if (round % 10 != 9) continue;
        schema->DropIdleTables();
        schema->EmptyCache();
        ASSERT_TRUE(schema->Pack()) << "seed " << seed << ": " << schema->ErrorText().Text();
        ASSERT_TRUE(IndexesAgree("k")) << "seed " << seed;
        EXPECT_EQ(twice(), "") << "seed " << seed;
    }
}

} // namespace
} // namespace vorn::test
