// The SQL library's storage against SQLite 3 on the same rows: t1 (id N(10)
// with a unique index, grp N(5), name C(12), val N(10,2)) and t2 (t1id
// N(10) with an index), 100,000 rows each in random order, inserted with
// Table::Insert (a statement each, every lock and index step included);
// 100,000 lookups of t1 by id; a full read of t1. SQLite with prepared
// statements, the inserts both in one transaction and in autocommit with
// synchronous=OFF. The storage reaches its files through the host's file
// functions, bound as in the plug-in to a host module.
//
//   sqlstore_bench [rows] [ours]    (100000 rows; "ours" skips SQLite)
#include <dlfcn.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "sqllib/binding/HostBinding.h"
#include "sqllib/store/Schema.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Fail(const char* what, const char* detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail);
    std::exit(1);
}

struct Row {
    int id;
    int grp;
    char name[13];
    char val[16];
};

struct Timing {
    double insert = 0, insertAutocommit = 0, lookup = 0, read = 0;
};

void Set(vorn::XBaseField* field, const char* text) {
    field->SetValue(text, -1);
}

Timing RunOurs(const std::string& directory, const std::vector<Row>& rows, const std::vector<int>& order) {
    void* host = dlopen(VORN_SQLBENCH_HOST, RTLD_NOW | RTLD_LOCAL);
    if (!host) Fail("host", dlerror());
    vorn::binding::Bind(host);
    auto open = reinterpret_cast<VornProgram* (*)(const char*)>(dlsym(host, "sqltest_host_open"));
    VornProgram* program = open ? open(directory.c_str()) : nullptr;
    if (!program) Fail("host", "no program");
    vorn::Schema schema(program);
    if (!schema.Create("db.dbf", -1)) Fail("create", schema.ErrorText().Text());
    vorn::ColumnDefinitionList c1, c2;
    c1.Append(new vorn::ColumnDefinition("id", -1, vorn::kXBaseNumeric, 10, 0));
    c1.Append(new vorn::ColumnDefinition("grp", -1, vorn::kXBaseNumeric, 5, 0));
    c1.Append(new vorn::ColumnDefinition("name", -1, vorn::kXBaseCharacter, 12, 0));
    c1.Append(new vorn::ColumnDefinition("val", -1, vorn::kXBaseNumeric, 10, 2));
    c2.Append(new vorn::ColumnDefinition("t1id", -1, vorn::kXBaseNumeric, 10, 0));
    if (!schema.CreateTable("t1", -1, c1) || !schema.CreateTable("t2", -1, c2))
        Fail("table", schema.ErrorText().Text());
    std::vector<vorn::IndexColumn> byId = {{"id", -1, 1}}, byT1 = {{"t1id", -1, 1}};
    if (!schema.CreateIndex("t1", -1, "t1_id", -1, 1, byId) ||
        !schema.CreateIndex("t2", -1, "t2_t1", -1, 0, byT1))
        Fail("index", schema.ErrorText().Text());
    vorn::Table* t1 = schema.GetTable("t1");
    vorn::Table* t2 = schema.GetTable("t2");
    vorn::XBaseField* f[4] = {t1->Data().Field("id"), t1->Data().Field("grp"), t1->Data().Field("name"),
                              t1->Data().Field("val")};
    vorn::XBaseField* g = t2->Data().Field("t1id");
    Timing timing;
    char text[32];
    Clock::time_point start = Clock::now();
    for (const Row& row : rows) {
        std::snprintf(text, sizeof text, "%d", row.id);
        Set(f[0], text);
        Set(g, text);
        std::snprintf(text, sizeof text, "%d", row.grp);
        Set(f[1], text);
        Set(f[2], row.name);
        Set(f[3], row.val);
        if (!t1->Insert()) Fail("insert t1", t1->ErrorText().Text());
        if (!t2->Insert()) Fail("insert t2", t2->ErrorText().Text());
    }
    timing.insert = Seconds(start);

    vorn::Index* index = t1->IndexAt(0);
    start = Clock::now();
    for (int i : order) {
        std::snprintf(text, sizeof text, "%010d", rows[static_cast<size_t>(i)].id);
        int32_t record = 0;
        int found = 0;
        if (!index->File().Find(text, 10, 1, &record, &found, 1) || !found) Fail("find", text);
        if (!t1->Data().ReadRecord(record)) Fail("read", t1->Data().ErrorText().Text());
        if (std::atoi(f[0]->Value()) != rows[static_cast<size_t>(i)].id) Fail("find", "wrong row");
    }
    timing.lookup = Seconds(start);

    start = Clock::now();
    long long sum = 0;
    t1->Data().ReadHeader();
    for (int32_t r = 1; r <= t1->Data().RecordCount(); ++r) {
        if (!t1->Data().ReadRecord(r)) Fail("scan", t1->Data().ErrorText().Text());
        sum += std::atoi(f[1]->Value());
    }
    timing.read = Seconds(start);
    if (sum < 0) Fail("scan", "sum");
    return timing;
}

Timing RunSQLite(const std::string& path, const std::vector<Row>& rows, const std::vector<int>& order,
                 bool autocommit) {
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Fail("sqlite open", sqlite3_errmsg(db));
    char* message = nullptr;
    if (sqlite3_exec(db,
                     "CREATE TABLE t1(id INTEGER, grp INTEGER, name TEXT, val REAL);"
                     "CREATE UNIQUE INDEX t1_id ON t1(id);"
                     "CREATE TABLE t2(t1id INTEGER); CREATE INDEX t2_t1 ON t2(t1id);",
                     nullptr, nullptr, &message) != SQLITE_OK)
        Fail("sqlite create", message);
    if (autocommit) sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    sqlite3_stmt *i1 = nullptr, *i2 = nullptr, *find = nullptr, *scan = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t1 VALUES (?, ?, ?, ?)", -1, &i1, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO t2 VALUES (?)", -1, &i2, nullptr);
    Timing timing;
    Clock::time_point start = Clock::now();
    if (!autocommit) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (const Row& row : rows) {
        sqlite3_bind_int(i1, 1, row.id);
        sqlite3_bind_int(i1, 2, row.grp);
        sqlite3_bind_text(i1, 3, row.name, -1, SQLITE_STATIC);
        sqlite3_bind_double(i1, 4, std::atof(row.val));
        if (sqlite3_step(i1) != SQLITE_DONE) Fail("sqlite insert", sqlite3_errmsg(db));
        sqlite3_reset(i1);
        sqlite3_bind_int(i2, 1, row.id);
        if (sqlite3_step(i2) != SQLITE_DONE) Fail("sqlite insert", sqlite3_errmsg(db));
        sqlite3_reset(i2);
    }
    if (!autocommit) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    (autocommit ? timing.insertAutocommit : timing.insert) = Seconds(start);
    sqlite3_prepare_v2(db, "SELECT id, grp, name, val FROM t1 WHERE id = ?", -1, &find, nullptr);
    start = Clock::now();
    for (int i : order) {
        sqlite3_bind_int(find, 1, rows[static_cast<size_t>(i)].id);
        if (sqlite3_step(find) != SQLITE_ROW) Fail("sqlite find", "none");
        sqlite3_reset(find);
    }
    timing.lookup = Seconds(start);
    sqlite3_prepare_v2(db, "SELECT id, grp, name, val FROM t1", -1, &scan, nullptr);
    start = Clock::now();
    long long sum = 0;
    while (sqlite3_step(scan) == SQLITE_ROW)
        sum += sqlite3_column_int(scan, 1);
    timing.read = Seconds(start);
    if (sum < 0) Fail("sqlite scan", "sum");
    for (sqlite3_stmt* s : {i1, i2, find, scan})
        sqlite3_finalize(s);
    sqlite3_close(db);
    return timing;
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    char pattern[] = "/tmp/vorn-sql-bench-XXXXXX";
    if (!mkdtemp(pattern)) Fail("directory", "mkdtemp failed");
    std::string directory = pattern;
    std::mt19937 random(20261209);
    std::vector<Row> rows(static_cast<size_t>(count));
    std::vector<int> ids(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        ids[static_cast<size_t>(i)] = i + 1;
    std::shuffle(ids.begin(), ids.end(), random);
    for (int i = 0; i < count; ++i) {
        Row& row = rows[static_cast<size_t>(i)];
        row.id = ids[static_cast<size_t>(i)];
        row.grp = static_cast<int>(random() % 1000);
        std::snprintf(row.name, sizeof row.name, "N%08u", static_cast<unsigned>(random() % 100000000));
        std::snprintf(row.val, sizeof row.val, "%u.%02u", static_cast<unsigned>(random() % 1000000),
                      static_cast<unsigned>(random() % 100));
    }
    std::vector<int> order(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), random);

    Timing ours = RunOurs(directory, rows, order);
    if (argc > 2 && std::string(argv[2]) == "ours") {
        std::filesystem::remove_all(directory);
        std::printf("insert %.3f s, lookup %.3f s, read %.3f s\n", ours.insert, ours.lookup, ours.read);
        return 0;
    }
    Timing transaction = RunSQLite(directory + "/t.sqlite", rows, order, false);
    Timing autocommit = RunSQLite(directory + "/a.sqlite", rows, order, true);
    std::filesystem::remove_all(directory);
    std::printf("sqlstore_bench: %d rows in t1 (unique index) and t2 (index)\n", count);
    std::printf("%-34s %8.3f s  SQLite %8.3f s (transaction)  ratio %.2f\n",
                "insert (Table::Insert, t1 and t2)", ours.insert, transaction.insert,
                ours.insert / transaction.insert);
    std::printf("%-34s %8.3f s  SQLite %8.3f s (autocommit, synchronous=OFF)  ratio %.2f\n", "", ours.insert,
                autocommit.insertAutocommit, ours.insert / autocommit.insertAutocommit);
    std::printf("%-34s %8.3f s  SQLite %8.3f s  ratio %.2f\n", "lookup of t1 by id", ours.lookup,
                transaction.lookup, ours.lookup / transaction.lookup);
    std::printf("%-34s %8.3f s  SQLite %8.3f s  ratio %.2f\n", "full read of t1", ours.read, transaction.read,
                ours.read / transaction.read);
    return 0;
}
