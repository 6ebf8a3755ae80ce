// xBase tables and index files against SQLite 3 on the same rows: a bulk
// append (AppendRecord and Insert on an index over the character field) and
// seeks by key (Find and ReadRecord), with SQLite in its defaults, in one
// transaction, through prepared statements. Then the same through scripts:
// VrADD with one index open and VrFIND run by the VM, against SQLite on the
// rows the scripts make. Prints rows per second and the ratios. SQLite seeks
// inside one transaction, holding its lock throughout; the finds are timed
// both taking the index's lock each and holding it over batches of 256.
//
//   xbase_bench [rows] [directory]    (1000000 rows, a fresh directory in /tmp)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "database/format/KPZIndexFile.h"
#include "database/format/XBaseTable.h"
#include "database/xbase3/XBaseFileStore.h"
#include "engine/files/BufferFile.h"
#include "engine/files/PosixFile.h"
#include "engine/foundation/Output.h"
#include "tools/Assembler.h"
#include "tools/CommandLineApplication.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Row {
    char key[21];
    char n3[4];
    char n11[12];
    char date[9];
    char logical[2];
};

// The rows: distinct 20-character keys in a fixed random order.
std::vector<Row> MakeRows(int32_t count) {
    std::mt19937_64 random(20240613);
    std::vector<Row> rows(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        Row& row = rows[static_cast<size_t>(i)];
        uint64_t r = random();
        std::snprintf(row.key, sizeof row.key, "K%08X%011d", static_cast<unsigned>(r >> 32), i);
        std::snprintf(row.n3, sizeof row.n3, "%d", static_cast<int>(r % 1000));
        std::snprintf(row.n11, sizeof row.n11, "%d.%02d", static_cast<int>(r % 10000000), static_cast<int>(r % 100));
        std::snprintf(row.date, sizeof row.date, "%04d%02d%02d", 1950 + static_cast<int>(r % 70),
                      1 + static_cast<int>(r % 12), 1 + static_cast<int>(r % 28));
        row.logical[0] = r & 1 ? 'T' : 'F';
        row.logical[1] = 0;
    }
    return rows;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Fail(const char* what, const char* detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail);
    std::exit(1);
}

struct Timing {
    double append;
    double seek;
    // The same finds with the index's shared lock held over batches.
    double heldSeek;
};

// The finds of one hold: the bound the SQL engine's reads keep too.
constexpr int32_t kHeldFinds = 256;

Timing RunXBase(const std::string& directory, const std::vector<Row>& rows, const std::vector<int32_t>& order) {
    vorn::NullOutput output(nullptr);
    vorn::CommandLineApplication app(&output);
    auto* files = static_cast<vorn::PosixFileManager*>(app.GetFileManager());
    if (!files->CheckDataDirectory(directory.c_str())) Fail("data directory", files->ErrorText().Text());
    vorn::XBaseFileOpener opener(&app);
    vorn::XBaseTable table(&opener);
    vorn::List<vorn::XBaseField> specs(true);
    specs.Insert(new vorn::XBaseField(nullptr, "KEY", vorn::kXBaseCharacter, 20, 0), vorn::kListTail);
    specs.Insert(new vorn::XBaseField(nullptr, "N3", vorn::kXBaseNumeric, 3, 0), vorn::kListTail);
    specs.Insert(new vorn::XBaseField(nullptr, "N11", vorn::kXBaseNumeric, 11, 2), vorn::kListTail);
    specs.Insert(new vorn::XBaseField(nullptr, "D", vorn::kXBaseDate, 8, 0), vorn::kListTail);
    specs.Insert(new vorn::XBaseField(nullptr, "L", vorn::kXBaseLogical, 1, 0), vorn::kListTail);
    if (!table.CreateFiles(vorn::LocationData, "bench.dbf", nullptr, specs)) Fail("create", table.ErrorText().Text());
    vorn::KPZIndexFile index(&opener);
    if (!index.CreateFile(vorn::LocationData, "bench.vrx", "KEY", 0)) Fail("index", index.ErrorText().Text());
    vorn::XBaseField* fields[5];
    int f = 0;
    for (vorn::XBaseField* field = table.Fields().First(); field; field = table.Fields().Next()) fields[f++] = field;

    Timing timing{};
    Clock::time_point start = Clock::now();
    for (const Row& row : rows) {
        fields[0]->SetValue(row.key, 20);
        fields[1]->SetValue(row.n3, -1);
        fields[2]->SetValue(row.n11, -1);
        fields[3]->SetValue(row.date, 8);
        fields[4]->SetValue(row.logical, 1);
        if (!table.AppendRecord()) Fail("append", table.ErrorText().Text());
        if (!index.Insert(table.CurrentRecord(), row.key, 20)) Fail("insert", index.ErrorText().Text());
    }
    timing.append = Seconds(start);

    start = Clock::now();
    for (int32_t i : order) {
        const Row& row = rows[static_cast<size_t>(i)];
        int32_t record = 0;
        int found = 0;
        if (!index.Find(row.key, 20, 1, &record, &found, 1) || !found) Fail("find", row.key);
        if (!table.ReadRecord(record)) Fail("read", table.ErrorText().Text());
        if (fields[1]->Value()[0] != row.n3[0]) Fail("read", "wrong record");
    }
    timing.seek = Seconds(start);

    start = Clock::now();
    int32_t inBatch = 0;
    for (int32_t i : order) {
        if (inBatch == 0 && !index.HoldShared()) Fail("hold", index.ErrorText().Text());
        const Row& row = rows[static_cast<size_t>(i)];
        int32_t record = 0;
        int found = 0;
        if (!index.Find(row.key, 20, 1, &record, &found, 1) || !found) Fail("find", row.key);
        if (!table.ReadRecord(record)) Fail("read", table.ErrorText().Text());
        if (fields[1]->Value()[0] != row.n3[0]) Fail("read", "wrong record");
        if (++inBatch == kHeldFinds) {
            index.ReleaseHold();
            inBatch = 0;
        }
    }
    index.ReleaseHold();
    timing.heldSeek = Seconds(start);
    return timing;
}

Timing RunSQLite(const std::string& path, const std::vector<Row>& rows, const std::vector<int32_t>& order) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Fail("sqlite open", sqlite3_errmsg(db));
    char* message = nullptr;
    if (sqlite3_exec(db, "CREATE TABLE t(key TEXT, n3 INTEGER, n11 REAL, d TEXT, l INTEGER);"
                         "CREATE INDEX t_key ON t(key);",
                     nullptr, nullptr, &message) != SQLITE_OK)
        Fail("sqlite create", message);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
    Timing timing{};
    Clock::time_point start = Clock::now();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (const Row& row : rows) {
        sqlite3_bind_text(insert, 1, row.key, 20, SQLITE_STATIC);
        sqlite3_bind_int(insert, 2, std::atoi(row.n3));
        sqlite3_bind_double(insert, 3, std::atof(row.n11));
        sqlite3_bind_text(insert, 4, row.date, 8, SQLITE_STATIC);
        sqlite3_bind_int(insert, 5, row.logical[0] == 'T');
        if (sqlite3_step(insert) != SQLITE_DONE) Fail("sqlite insert", sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    timing.append = Seconds(start);
    sqlite3_finalize(insert);

    sqlite3_stmt* seek = nullptr;
    sqlite3_prepare_v2(db, "SELECT key, n3, n11, d, l FROM t WHERE key = ?", -1, &seek, nullptr);
    start = Clock::now();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int32_t i : order) {
        const Row& row = rows[static_cast<size_t>(i)];
        sqlite3_bind_text(seek, 1, row.key, 20, SQLITE_STATIC);
        if (sqlite3_step(seek) != SQLITE_ROW) Fail("sqlite seek", row.key);
        if (sqlite3_column_int(seek, 1) != std::atoi(row.n3)) Fail("sqlite seek", "wrong row");
        sqlite3_reset(seek);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    timing.seek = Seconds(start);
    sqlite3_finalize(seek);
    sqlite3_close(db);
    return timing;
}

// --- Through scripts ------------------------------------------------------------------

// The step of the find loop through the keys: prime, so that with 10^k rows
// every key is sought once, in a scattered order.
constexpr int32_t kFindStep = 7919;

std::string AddProgram(int32_t count) {
    return R"(.global n
.segment main entry
    pushc "b"
    pushc "script.dbf"
    pushc "xbase3"
    pushc "KEY CHAR(20), N3 NUMBER(3), N11 NUMBER(8.2), D DATE, L BOOL"
    dbcreate
    pushc "b"
    pushc "script.vrx"
    pushc "KEY"
    pushc ""
    dbmakeindex
    storegi n, 0
next:
    pushc "K"
    pushg n
    cat
    popdc "b", "KEY"
    pushg n
    pushi 1000
    mod
    popdc "b", "N3"
    pushg n
    popdc "b", "N11"
    pushc "20240613"
    popdc "b", "D"
    pushc "T"
    popdc "b", "L"
    pushc "b"
    pushc ""
    dbadd
    incg n, 1
    cmpgi n, )" + std::to_string(count) + R"(
    jmp_lt next
.end
)";
}

std::string FindProgram(int32_t count) {
    return R"(.global n, k, misses
.segment main entry
    pushc "b"
    pushc "script.dbf"
    pushc "script.vrx"
    pushc "xbase3"
    pushc ""
    pushc ""
    dbopen
    storegi n, 0
    storegi k, 0
    storegi misses, 0
next:
    pushc "b"
    pushc ""
    pushc "K"
    pushg k
    cat
    pushi 1
    dbfind
    pushdc "b", "eof"
    pushi 0
    eq
    jmp_eq found
    jmp step
found:
    incg misses, 1
step:
    pushg k
    pushi )" + std::to_string(kFindStep) + R"(
    add
    pushi )" + std::to_string(count) + R"(
    mod
    popg k
    incg n, 1
    cmpgi n, )" + std::to_string(count) + R"(
    jmp_lt next
    pushg misses
    out
.end
)";
}

// Runs an assembled program on the data directory; its output.
std::string RunProgram(const std::string& directory, const std::string& source) {
    vorn::Assembler assembler;
    if (!assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "bench.vr"))
        Fail("assemble", assembler.ErrorText().Text());
    std::string text;
    class Sink : public vorn::Output {
    public:
        explicit Sink(std::string* text) : text(text) {}
        int32_t Write(const char* bytes, int32_t length) override {
            text->append(bytes, static_cast<size_t>(length));
            return length;
        }
        int32_t Flush() override { return 1; }
        int32_t Kind() override { return 0; }
        std::string* text;
    } sink(&text);
    vorn::CommandLineApplication app(&sink);
    app.SetDataDirectory(directory.c_str());
    app.SetScriptDirectory(directory.c_str());
    vorn::String error;
    app.SetOption("globaltimeout=0", &error);
    auto* file = new vorn::BufferFile("bench.vrc", assembler.Output(), assembler.OutputLength());
    if (app.RunImage("bench.vrc", file, &error) != vorn::kRunCompleted)
        Fail("run", (std::string(error.Text()) + text).c_str());
    return text;
}

Timing RunScripts(const std::string& directory, int32_t count) {
    Timing timing{};
    Clock::time_point start = Clock::now();
    std::string out = RunProgram(directory, AddProgram(count));
    timing.append = Seconds(start);
    if (!out.empty()) Fail("VrADD", out.c_str());
    start = Clock::now();
    out = RunProgram(directory, FindProgram(count));
    timing.seek = Seconds(start);
    if (out != "0") Fail("VrFIND misses", out.c_str());
    return timing;
}

// The rows the scripts make, and the order their finds take.
std::vector<Row> ScriptRows(int32_t count, std::vector<int32_t>* order) {
    std::vector<Row> rows(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        Row& row = rows[static_cast<size_t>(i)];
        std::snprintf(row.key, sizeof row.key, "K%d", i);
        std::snprintf(row.n3, sizeof row.n3, "%d", i % 1000);
        std::snprintf(row.n11, sizeof row.n11, "%d.00", i % 100000000);
        std::snprintf(row.date, sizeof row.date, "20240613");
        row.logical[0] = 'T';
        row.logical[1] = 0;
    }
    order->clear();
    for (int32_t i = 0, k = 0; i < count; ++i, k = static_cast<int32_t>((k + int64_t{kFindStep}) % count))
        order->push_back(k);
    return rows;
}

} // namespace

int main(int argc, char** argv) {
    int32_t count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    std::string directory;
    if (argc > 2) {
        directory = argv[2];
    } else {
        char pattern[] = "/tmp/vorn-xbase-bench-XXXXXX";
        if (!mkdtemp(pattern)) Fail("directory", "mkdtemp failed");
        directory = pattern;
    }
    std::vector<Row> rows = MakeRows(count);
    std::vector<int32_t> order(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));

    Timing ours = RunXBase(directory, rows, order);
    Timing theirs = RunSQLite(directory + "/bench.sqlite", rows, order);
    std::vector<int32_t> scriptOrder;
    std::vector<Row> scriptRows = ScriptRows(count, &scriptOrder);
    std::filesystem::remove(directory + "/bench.dbf");
    std::filesystem::remove(directory + "/bench.vrx");
    Timing files = RunXBase(directory, scriptRows, scriptOrder);
    Timing scripts = RunScripts(directory, count);
    Timing theirsForScripts = RunSQLite(directory + "/script.sqlite", scriptRows, scriptOrder);
    if (argc <= 2) std::filesystem::remove_all(directory);

    auto line = [&](const char* what, double mine, double sqlite) {
        std::printf("%-36s %10.0f rows/s  (SQLite %10.0f rows/s)  ratio %.2f\n", what, count / mine, count / sqlite,
                    sqlite / mine);
    };
    std::printf("xbase_bench: %d rows of C(20), N(3), N(11,2), D, L with an index on the C field\n", count);
    line("append (AppendRecord + Insert)", ours.append, theirs.append);
    line("seek (Find + ReadRecord)", ours.seek, theirs.seek);
    line("seek, 256 finds per held lock", ours.heldSeek, theirs.seek);
    std::printf("the rows scripts make (keys K0, K1 ...; seeks in steps of %d), files and scripts:\n",
                kFindStep);
    line("append (AppendRecord + Insert)", files.append, theirsForScripts.append);
    line("VrADD with one index", scripts.append, theirsForScripts.append);
    line("seek (Find + ReadRecord)", files.seek, theirsForScripts.seek);
    line("seek, 256 finds per held lock", files.heldSeek, theirsForScripts.seek);
    line("VrFIND", scripts.seek, theirsForScripts.seek);
    std::printf("scripts take %.2f (VrADD) and %.2f (VrFIND) times the files' time per row\n",
                scripts.append / files.append, scripts.seek / files.seek);
    return 0;
}
