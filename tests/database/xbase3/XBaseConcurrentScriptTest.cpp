// Several requests on one indexed table through scripts: vrrun processes and
// threads append records and re-key shared ones, then a pack runs while a
// process appends. Every append a script saw succeed is in the table, and
// the indexes hold exactly the table's keys.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <random>

#include <thread>

#include "tests/database/xbase3/DatabaseScriptSupport.h"

namespace vorn::test {
namespace {

constexpr int kSeeds = 7;

// A writer: appends records with its own ORIGIN and KEY, and every third
// time re-keys one of the seven shared records. Prints "A w n" for every
// append that succeeded, "U w" for every update; a failed append is retried
// with a new key after opening the table again.
std::string WriterSource(int writer, int appends) {
    std::string w = std::to_string(writer);
    WriterLoop loop;
    loop.globals = "n, try, VrADD_Error, VrUPDATE_Error, VrGO_Error, VrOPEN_Error";
    loop.silent = {28, 31, 35, 38};
    loop.start = "    storegi try, 0\n";
    loop.step = R"(    pushc ")" +
                w + R"("
    popdc "c", "WRITER"
    pushc ")" +
                w + R"(-"
    pushg n
    cat
    popdc "c", "ORIGIN"
    pushc "a)" +
                w + R"(-"
    pushg n
    cat
    pushc "-"
    cat
    pushg try
    cat
    popdc "c", "KEY"
    pushc "note of )" +
                w + R"("
    popdc "c", "NOTE"
    pushc "c"
    pushc ""
    dbadd
    pushg VrADD_Error
    pushc ""
    eq
    jmp_eq failed
    pushc "A )" +
                w + R"( "
    pushg n
    cat
    pushc "\n"
    cat
    out
    pushg n
    pushi 3
    mod
    pushi 2
    eq
    jmp_eq advance
    pushc "c"
    pushc ""
    pushg n
    pushi )" +
                std::to_string(kSeeds) + R"(
    mod
    pushi 1
    add
    dbgo
    pushc "u)" +
                w + R"(-"
    pushg n
    cat
    popdc "c", "KEY"
    pushc ")" +
                w + R"("
    popdc "c", "WRITER"
    pushc "c"
    pushc ""
    dbupdate
    pushg VrUPDATE_Error
    pushc ""
    eq
    jmp_eq updatefailed
    pushc "U )" +
                w + R"(\n"
    out
    jmp advance
updatefailed:
    pushc "X )" +
                w + R"( "
    pushg VrUPDATE_Error
    cat
    pushc "\n"
    cat
    out
    jmp advance
failed:
    pushc "F )" +
                w + R"( "
    pushg VrADD_Error
    cat
    pushc "\n"
    cat
    out
    incg try, 1
)" + kReopen + "    jmp next\n";
    loop.limit = appends;
    loop.open = OpenTable("C.DBF", "K.VRX, W.VRX");
    return WriterLoopSource(loop);
}

// An adder for the race with a pack: count adds to TABLE with KEY "k<n>"
// (unique index) and GRP "g<n % 5>" (second index), printing "A n" or
// "F n <error>"; after a failure it opens the table again.
std::string AdderSource(const std::string& table, int count) {
    WriterLoop loop;
    loop.globals = "n, tries, VrADD_Error, VrOPEN_Error";
    loop.silent = {28, 31, 35, 38};
    loop.step = R"(    pushc "k"
    pushg n
    cat
    popdc "c", "KEY"
    pushc "g"
    pushg n
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
    pushc "A "
    pushg n
    cat
    pushc "\n"
    cat
    out
    jmp advance
failed:
    pushc "F "
    pushg n
    cat
    pushc " "
    cat
    pushg VrADD_Error
    cat
    pushc "\n"
    cat
    out
)" + kReopen;
    loop.limit = count;
    loop.open = "    storegi tries, 0\nagain:\n" + OpenTable(table + ".DBF", table + "K.VRX, " + table + "G.VRX") +
                R"(    pushg VrOPEN_Error
    pushc ""
    eq
    jmp_ne opened
    ; Packs one after another may replace the files faster than an open
    ; follows them: it fails with the reason and is made again.
    incg tries, 1
    cmpgi tries, 100
    jmp_lt again
    pushc "O "
    pushg VrOPEN_Error
    cat
    pushc "\n"
    cat
    out
opened:
)";
    return WriterLoopSource(loop);
}

class XBaseConcurrentScriptTest : public DatabaseScriptTest {
  protected:
    // The origins of the table's live and deleted records, with their counts.
    std::map<std::string, int> Origins() {
        std::vector<std::string> names;
        std::map<std::string, int> origins;
        for (const Row& row : ReadTable("C.DBF", &names))
            ++origins[row.values[1]];
        return origins;
    }
};

std::string KeyKey(const std::vector<std::string>&, const std::vector<std::string>& v) {
    return v[2];
}
std::string WriterKey(const std::vector<std::string>&, const std::vector<std::string>& v) {
    return v[0];
}

TEST_F(XBaseConcurrentScriptTest, ProcessesAndThreadsThenAPackWhileAppending) {
    std::string seed = "create c C.DBF \"WRITER NUMBER(3), ORIGIN CHAR(12), KEY CHAR(20), NOTE MEMO\"\n";
    for (int i = 1; i <= kSeeds; ++i)
        seed += "set c WRITER 0\nset c ORIGIN seed" + std::to_string(i) + "\nset c KEY seed" +
                std::to_string(i) + "\ndbadd c \"\"\n";
    seed += "dbmakeindex c W.VRX WRITER \"\"\ndbmakeindex c K.VRX KEY \"unique\"\nerr VrADD VrMAKEINDEX\n";
    ASSERT_EQ(Run(seed), "VrADD= VrMAKEINDEX=\n");

    // Two processes, then four threads alongside them.
    constexpr int kAppends = 45;
    pid_t first = StartVrrun(WriterSource(1, kAppends), "w1");
    pid_t second = StartVrrun(WriterSource(2, kAppends), "w2");
    std::vector<std::string> outputs(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&, t] { outputs[static_cast<size_t>(t)] = RunSource(WriterSource(3 + t, kAppends)); });
    for (std::thread& thread : threads)
        thread.join();
    outputs.push_back(Finish(first, "w1"));
    outputs.push_back(Finish(second, "w2"));

    std::map<std::string, int> origins = Origins();
    int appended = 0;
    for (const std::string& out : outputs) {
        std::stringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (line[0] == 'A') {
                ++appended;
                std::string origin = line.substr(2);
                origin[origin.find(' ')] = '-';
                EXPECT_EQ(origins[origin], 1) << origin;
            } else {
                EXPECT_EQ(line[0], 'U') << line;
            }
        }
    }
    EXPECT_EQ(appended, 6 * kAppends);
    Verify("C.DBF", {{"K.VRX", KeyKey}, {"W.VRX", WriterKey}});

    // A pack while a process appends: appends that fail (their files were
    // replaced) open the table again and retry; a failed one left nothing.
    pid_t appender = StartVrrun(WriterSource(9, 200), "w9");
    // The packs start once the appender is under way (its output comes at
    // its end; the table's record count tells).
    auto count = [&] {
        std::string header = Bytes("C.DBF").substr(0, 8);
        return header.size() == 8 ? GetU32(reinterpret_cast<const uint8_t*>(header.data()) + 4) : 0u;
    };
    uint32_t before = count();
    for (int wait = 0; wait < 2000 && count() < before + 20; ++wait)
        usleep(5000);
    std::string packs;
    for (int i = 0; i < 3; ++i)
        packs += "open p C.DBF \"K.VRX, W.VRX\"\ndbgo p \"\" 2\ndbdelete p \"\"\ndbpack p\nerr "
                 "VrPACK\ndbclose p\n";
    EXPECT_EQ(Run(packs), "VrPACK=\nVrPACK=\nVrPACK=\n");
    std::string out = Finish(appender, "w9");
    origins = Origins();
    int done = 0;
    std::stringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line[0] != 'A') continue;
        ++done;
        std::string origin = line.substr(2);
        origin[origin.find(' ')] = '-';
        EXPECT_EQ(origins[origin], 1) << origin;
    }
    EXPECT_EQ(done, 200) << out;
    Verify("C.DBF", {{"K.VRX", KeyKey}, {"W.VRX", WriterKey}});
}

} // namespace
} // namespace vorn::test

namespace vorn::test {
namespace {

// A reader process: walks of the index, each holding its header's read lock
// for about a millisecond, as index moves do, until stop is closed. An add
// meets it between appending its record and entering the record's keys.
pid_t StartIndexReader(const std::string& path, int stop[2]) {
    pid_t pid = fork();
    if (pid != 0) {
        close(stop[0]);
        return pid;
    }
    close(stop[1]);
    for (;;) {
        pollfd closed{stop[0], POLLIN, 0};
        if (poll(&closed, 1, 0) > 0) _exit(0);
        int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) {
            struct flock range = {};
            range.l_type = F_RDLCK;
            range.l_whence = SEEK_SET;
            range.l_len = 427;
            if (fcntl(fd, F_OFD_SETLKW, &range) == 0) usleep(1000);
            close(fd);
        }
        usleep(300);
    }
}

// An adder process racing packs of its table, 20 seeded runs: an add reported
// failed leaves no live record, one reported done exactly one, and both
// indexes hold exactly the live records' keys.
TEST_F(XBaseConcurrentScriptTest, AddsRacingPacksLeaveExactlyTheRecordsReportedDone) {
    constexpr int kRuns = 20;
    constexpr int kAdds = 25;
    int done = 0;
    int packs = 0;
    for (int run = 0; run < kRuns && !HasFailure(); ++run) {
        uint32_t seed = 500u + static_cast<uint32_t>(run);
        std::mt19937 random(seed);
        std::string table = "R" + std::to_string(run);
        ASSERT_EQ(Run("create c " + table + ".DBF \"KEY CHAR(12), GRP CHAR(4)\"\ndbmakeindex c " + table +
                      "K.VRX KEY \"unique\"\ndbmakeindex c " + table + "G.VRX GRP \"\"\nerr VrMAKEINDEX\n"),
                  "VrMAKEINDEX=\n");
        int stop[2];
        ASSERT_EQ(pipe(stop), 0);
        // Made close-on-exec, so that the end stays with this process.
        fcntl(stop[1], F_SETFD, FD_CLOEXEC);
        pid_t reader = StartIndexReader(DataPath(table + "K.VRX"), stop);
        ASSERT_GT(reader, 0);
        std::string name = "adder" + std::to_string(run);
        pid_t adder = StartVrrun(AdderSource(table, kAdds), name);
        std::string pack = "open p " + table + ".DBF \"" + table + "K.VRX, " + table +
                           "G.VRX\"\ndbpack p\nerr VrPACK\ndbclose p\n";
        // Packs until the adder ends, each after a pause of its own.
        int status = 0;
        while (waitpid(adder, &status, WNOHANG) == 0) {
            EXPECT_EQ(Run(pack), "VrPACK=\n") << "seed " << seed;
            ++packs;
            usleep(random() % 2000);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "seed " << seed;
        close(stop[1]);
        ASSERT_EQ(waitpid(reader, &status, 0), reader);
        std::string out = ScratchTree::ReadFile(tree.root + "/" + name + ".out");
        std::map<std::string, int> live;
        std::vector<std::string> names;
        std::vector<Row> rows = ReadTable(table + ".DBF", &names);
        for (const Row& row : rows)
            if (!row.deleted) ++live[row.values[0].substr(0, row.values[0].find(' '))];
        int reported = 0;
        std::stringstream lines(out);
        for (std::string line; std::getline(lines, line); ++reported) {
            ASSERT_TRUE(line.size() > 2 && (line[0] == 'A' || line[0] == 'F')) << line << "\n" << out;
            std::string key = "k" + line.substr(2, line.find(' ', 2) - 2);
            bool ok = line[0] == 'A';
            done += ok ? 1 : 0;
            EXPECT_EQ(live[key], ok ? 1 : 0) << "seed " << seed << ": " << line;
        }
        EXPECT_EQ(reported, kAdds) << "seed " << seed << "\n" << out;
        // The keys of a failed add go with it: the entries are the live records'.
        for (const auto& [index, field] : {std::pair{table + "K.VRX", 0}, std::pair{table + "G.VRX", 1}}) {
            std::vector<IndexEntry> entries;
            EXPECT_TRUE(CheckIndex(Bytes(index), &entries)) << index;
            std::multiset<IndexEntry> expected;
            for (size_t r = 0; r < rows.size(); ++r)
                if (!rows[r].deleted)
                    expected.insert({rows[r].values[static_cast<size_t>(field)], static_cast<int32_t>(r + 1)});
            EXPECT_TRUE(std::multiset<IndexEntry>(entries.begin(), entries.end()) == expected)
                << "seed " << seed << ": " << index;
        }
    }
    EXPECT_GT(done, 0);
    EXPECT_GT(packs, kRuns);
}

} // namespace
} // namespace vorn::test
