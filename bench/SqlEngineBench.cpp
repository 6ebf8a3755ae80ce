// SQL statements through the vornsql descriptor against SQLite 3: t1 (id
// N(10) with a unique index, grp N(5), name C(12), val N(10,2)) and t2 (t1id
// N(10) with an index), 100,000 rows each. Every statement is prepared anew:
// here the open-view entry (prepare, bind, first row), skips to the end and
// close-view; in SQLite prepare, step to the end, finalize. Workloads: point
// selects by id, ranges of 1,000 ids, the join on t1id, GROUP BY grp with
// COUNT(*) and SUM(val), ORDER BY name. Prints both times and the ratios,
// then the system calls of one statement of each, counted in-process by the
// kernel's syscall tracepoint over a run of that workload alone (a column of
// "-" where the kernel does not let the process count them), and the page
// faults it takes (fresh memory first touched: each a trap to the kernel,
// dear on a virtual machine).
//
//   sqlengine_bench [rows] [workload number, from 1: only that one] [times: its run repeated, for profiling]
#include <dlfcn.h>
#include <linux/perf_event.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "sqllib/binding/HostBinding.h"
#include "sqllib/engine/SqlDriver.h"
#include "sqllib/store/Schema.h"

namespace {

using Clock = std::chrono::steady_clock;

void Fail(const char* what, const char* detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail ? detail : "");
    std::exit(1);
}

struct Workload {
    const char* name;
    int statements;
    std::function<std::string(int)> sql;
};

// Counts the system calls this process makes between Start and Stop.
class SyscallCounter {
  public:
    SyscallCounter() {
        long id = -1;
        for (const char* path : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                                 "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
            if (FILE* f = std::fopen(path, "r")) {
                if (std::fscanf(f, "%ld", &id) != 1) id = -1;
                std::fclose(f);
            }
            if (id >= 0) break;
        }
        if (id < 0) return;
        perf_event_attr attr{};
        attr.type = PERF_TYPE_TRACEPOINT;
        attr.size = sizeof attr;
        attr.config = static_cast<uint64_t>(id);
        attr.disabled = 1;
        attr.sample_period = 0;
        fd = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
    }
    ~SyscallCounter() {
        if (fd >= 0) close(fd);
    }
    bool Works() const { return fd >= 0; }
    // The calls the run made, or -1.
    long long Count(const std::function<void()>& run) {
        if (fd < 0) return -1;
        ioctl(fd, PERF_EVENT_IOC_RESET, 0);
        ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
        run();
        ioctl(fd, PERF_EVENT_IOC_DISABLE, 0);
        long long n = 0;
        if (read(fd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) return -1;
        return n;
    }

  private:
    int fd = -1;
};

// The minor page faults the run takes.
long long Faults(const std::function<void()>& run) {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    run();
    getrusage(RUSAGE_SELF, &after);
    return after.ru_minflt - before.ru_minflt;
}

double Time(const std::function<void()>& run) {
    auto start = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    int only = argc > 2 ? std::atoi(argv[2]) : 0;
    int times = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    char pattern[] = "/tmp/vorn-sqlengine-bench-XXXXXX";
    if (!mkdtemp(pattern)) Fail("directory", "mkdtemp failed");
    std::string directory = pattern;
    std::mt19937 random(20261209);
    std::vector<int> ids(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) ids[static_cast<size_t>(i)] = i + 1;
    std::shuffle(ids.begin(), ids.end(), random);

    // Ours: the tables filled through the storage, then the descriptor.
    void* host = dlopen(VORN_SQLBENCH_HOST, RTLD_NOW | RTLD_LOCAL);
    if (!host) Fail("host", dlerror());
    vorn::binding::Bind(host);
    auto open = reinterpret_cast<VornProgram* (*)(const char*)>(dlsym(host, "sqltest_host_open"));
    auto makeDatabase = reinterpret_cast<VornDatabase* (*)(VornProgram*)>(dlsym(host, "sqltest_database"));
    auto findView = reinterpret_cast<VornDatabaseView* (*)(VornDatabase*, const char*)>(dlsym(host, "sqltest_view"));
    auto removeView = reinterpret_cast<void (*)(VornDatabase*, VornDatabaseView*)>(dlsym(host, "sqltest_remove_view"));
    VornProgram* program = open ? open(directory.c_str()) : nullptr;
    if (!program || !makeDatabase) Fail("host", "no program");
    sqlite3* lite = nullptr;
    if (sqlite3_open((directory + "/b.sqlite").c_str(), &lite) != SQLITE_OK) Fail("sqlite", "open");
    sqlite3_exec(lite,
                 "CREATE TABLE t1 (id INTEGER, grp INTEGER, name TEXT, val REAL);"
                 "CREATE UNIQUE INDEX t1_id ON t1 (id); CREATE TABLE t2 (t1id INTEGER);"
                 "CREATE INDEX t2_t1 ON t2 (t1id); BEGIN",
                 nullptr, nullptr, nullptr);
    {
        vorn::Schema schema(program);
        if (!schema.Create("db.dbf", -1)) Fail("create", schema.ErrorText().Text());
        vorn::ColumnDefinitionList c1, c2;
        c1.Append(new vorn::ColumnDefinition("id", -1, vorn::kXBaseNumeric, 10, 0));
        c1.Append(new vorn::ColumnDefinition("grp", -1, vorn::kXBaseNumeric, 5, 0));
        c1.Append(new vorn::ColumnDefinition("name", -1, vorn::kXBaseCharacter, 12, 0));
        c1.Append(new vorn::ColumnDefinition("val", -1, vorn::kXBaseNumeric, 10, 2));
        c2.Append(new vorn::ColumnDefinition("t1id", -1, vorn::kXBaseNumeric, 10, 0));
        std::vector<vorn::IndexColumn> byId = {{"id", -1, 1}}, byT1 = {{"t1id", -1, 1}};
        if (!schema.CreateTable("t1", -1, c1) || !schema.CreateTable("t2", -1, c2) ||
            !schema.CreateIndex("t1", -1, "t1_id", -1, 1, byId) || !schema.CreateIndex("t2", -1, "t2_t1", -1, 0, byT1))
            Fail("schema", schema.ErrorText().Text());
        vorn::Table* t1 = schema.GetTable("t1");
        vorn::Table* t2 = schema.GetTable("t2");
        sqlite3_stmt *i1 = nullptr, *i2 = nullptr;
        sqlite3_prepare_v2(lite, "INSERT INTO t1 VALUES (?, ?, ?, ?)", -1, &i1, nullptr);
        sqlite3_prepare_v2(lite, "INSERT INTO t2 VALUES (?)", -1, &i2, nullptr);
        char id[16], grp[16], name[16], val[24];
        for (int i = 0; i < count; ++i) {
            std::snprintf(id, sizeof id, "%d", ids[static_cast<size_t>(i)]);
            std::snprintf(grp, sizeof grp, "%u", static_cast<unsigned>(random() % 1000));
            std::snprintf(name, sizeof name, "N%08u", static_cast<unsigned>(random() % 100000000));
            std::snprintf(val, sizeof val, "%u.%02u", static_cast<unsigned>(random() % 100000),
                          static_cast<unsigned>(random() % 100));
            t1->Data().Field("id")->SetValue(id, -1);
            t1->Data().Field("grp")->SetValue(grp, -1);
            t1->Data().Field("name")->SetValue(name, -1);
            t1->Data().Field("val")->SetValue(val, -1);
            std::snprintf(id, sizeof id, "%d", 1 + static_cast<int>(random() % static_cast<unsigned>(count)));
            t2->Data().Field("t1id")->SetValue(id, -1);
            if (!t1->Insert() || !t2->Insert()) Fail("insert", t1->ErrorText().Text());
            sqlite3_bind_int(i1, 1, ids[static_cast<size_t>(i)]);
            sqlite3_bind_int(i1, 2, std::atoi(grp));
            sqlite3_bind_text(i1, 3, name, -1, SQLITE_TRANSIENT);
            sqlite3_bind_double(i1, 4, std::atof(val));
            sqlite3_step(i1);
            sqlite3_reset(i1);
            sqlite3_bind_int(i2, 1, std::atoi(id));
            sqlite3_step(i2);
            sqlite3_reset(i2);
        }
        sqlite3_finalize(i1);
        sqlite3_finalize(i2);
    }
    sqlite3_exec(lite, "COMMIT", nullptr, nullptr, nullptr);

    DatabaseLibraryDescriptor* d = vorn::SQLDescriptor();
    VornDatabase* database = makeDatabase(program);
    if (!d->open_database(database, "db.dbf", 6, "db", 2, "", 0, "", 0, "", 0)) Fail("open", d->database_error(database));

    std::vector<Workload> workloads = {
        {"point select by id", count,
         [&](int i) { return "SELECT name, val FROM t1 WHERE id = " + std::to_string(ids[static_cast<size_t>(i)]); }},
        {"range of 1,000 ids", 100,
         [&](int i) {
             int from = 1 + (i * 997) % std::max(1, count - 1000);
             return "SELECT id, val FROM t1 WHERE id >= " + std::to_string(from) + " AND id < " +
                    std::to_string(from + 1000);
         }},
        {"join on t1id", 1, [](int) { return std::string("SELECT t1.name, t2.t1id FROM t2, t1 WHERE t1.id = t2.t1id"); }},
        {"GROUP BY grp, COUNT(*), SUM(val)", 1,
         [](int) { return std::string("SELECT grp, COUNT(*), SUM(val) FROM t1 GROUP BY grp"); }},
        {"ORDER BY name", 1, [](int) { return std::string("SELECT id, name FROM t1 ORDER BY name"); }},
    };
    std::printf("sqlengine_bench: %d rows in t1 and t2; each statement prepared anew\n", count);
    std::printf("%-34s %12s %12s %7s %9s\n", "", "vornsql", "SQLite", "ratio", "rows");
    struct Calls {
        const char* name;
        double ours;
        double theirs;
        double ourFaults;
        double theirFaults;
    };
    std::vector<Calls> calls;
    SyscallCounter counter;
    for (const Workload& w : workloads) {
        if (only > 0 && &w != &workloads[static_cast<size_t>(only - 1)]) continue;
        long ourRows = 0, liteRows = 0;
        int view = 0;
        auto runOurs = [&](int statements) {
            for (int i = 0; i < statements; ++i) {
                std::string sql = w.sql(i % w.statements);
                std::string name = "v" + std::to_string(++view);
                if (!d->open_view(database, name.data(), static_cast<int32_t>(name.size()), sql.data(),
                                  static_cast<int32_t>(sql.size()), nullptr, 0))
                    Fail(sql.c_str(), d->database_error(database));
                VornDatabaseView* v = findView(database, name.c_str());
                if (!v) Fail("view", name.c_str());
                // The first row is there; every skip gives the next, until eof.
                for (;;) {
                    ++ourRows;
                    if (!d->skip_rows(v, 1)) Fail("skip", d->view_error(v));
                    if (vorn::SQLViewFinished(v)) break;
                }
                d->close_view(v);
                removeView(database, v);
            }
        };
        auto runTheirs = [&](int statements) {
            for (int i = 0; i < statements; ++i) {
                std::string sql = w.sql(i % w.statements);
                sqlite3_stmt* statement = nullptr;
                if (sqlite3_prepare_v2(lite, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
                    Fail(sql.c_str(), sqlite3_errmsg(lite));
                while (sqlite3_step(statement) == SQLITE_ROW) {
                    sqlite3_column_text(statement, 0);
                    ++liteRows;
                }
                sqlite3_finalize(statement);
            }
        };
        long long ourFaults = 0, theirFaults = 0;
        double ours = Time([&] { ourFaults = Faults([&] { runOurs(w.statements * times); }); }) / times;
        double theirs = Time([&] { theirFaults = Faults([&] { runTheirs(w.statements); }); });
        std::printf("%-34s %9.1f us %9.1f us %7.2f %9ld\n", w.name, ours * 1e6 / w.statements,
                    theirs * 1e6 / w.statements, ours / theirs, liteRows);
        // A few statements are enough to count: at most 1,000.
        int counted = std::min(w.statements, 1000);
        calls.push_back({w.name, counter.Count([&] { runOurs(counted); }) / static_cast<double>(counted),
                         counter.Count([&] { runTheirs(counted); }) / static_cast<double>(counted),
                         static_cast<double>(ourFaults) / (w.statements * times),
                         static_cast<double>(theirFaults) / w.statements});
    }
    std::printf("\nper statement: system calls (the same statements, counted alone), page faults (of the timed runs)\n");
    std::printf("%-34s %12s %12s %12s %12s\n", "", "calls ours", "SQLite", "faults ours", "SQLite");
    for (const Calls& c : calls) {
        if (c.ours < 0 || c.theirs < 0)
            std::printf("%-34s %12s %12s", c.name, "-", "-");
        else
            std::printf("%-34s %12.1f %12.1f", c.name, c.ours, c.theirs);
        std::printf(" %12.1f %12.1f\n", c.ourFaults, c.theirFaults);
    }
    sqlite3_close(lite);
    std::filesystem::remove_all(directory);
    return 0;
}
