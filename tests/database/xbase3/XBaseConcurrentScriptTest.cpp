// Several requests on one indexed table through scripts: vrrun processes and
// threads append records and re-key shared ones, then a pack runs while a
// process appends. Every append a script saw succeed is in the table, and
// the indexes hold exactly the table's keys.
#include <fcntl.h>
#include <spawn.h>

#include <thread>

#include "tests/database/xbase3/DatabaseScriptSupport.h"

extern char** environ;

namespace vorn::test {
namespace {

constexpr int kSeeds = 7;

// A writer: appends records with its own ORIGIN and KEY, and every third
// time re-keys one of the seven shared records. Prints "A w n" for every
// append that succeeded, "U w" for every update; a failed append is retried
// with a new key after opening the table again.
std::string WriterSource(int writer, int appends) {
    std::string w = std::to_string(writer);
    return R"(.global n, try, VrADD_Error, VrUPDATE_Error, VrGO_Error, VrOPEN_Error
.segment main entry
    tagerror 28, 0
    tagerror 31, 0
    tagerror 35, 0
    tagerror 38, 0
    call open
    pop
    storegi n, 0
    storegi try, 0
next:
    pushc ")" +
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
    pushc "c"
    dbclose
    call open
    pop
    jmp next
advance:
    incg n, 1
    cmpgi n, )" +
           std::to_string(appends) + R"(
    jmp_lt next
    exit

.function open()
    pushc "c"
    pushc "C.DBF"
    pushc "K.VRX, W.VRX"
    pushc "xbase3"
    pushc ""
    pushc ""
    dbopen
    retn
.end
)";
}

class XBaseConcurrentScriptTest : public DatabaseScriptTest {
  protected:
    // Starts vrrun on an assembled program; its output goes to a file.
    pid_t StartVrrun(const std::string& program, const std::string& output) {
        std::vector<uint8_t> bytes = AssembleScript(program);
        std::string path = tree.Scripts() + "/" + output + ".vrc";
        ScratchTree::WriteFile(path, std::string(bytes.begin(), bytes.end()));
        std::string out = tree.root + "/" + output + ".out";
        std::string data = tree.Data();
        std::vector<std::string> args = {VORN_VRRUN, "-c", "globaltimeout=60", "-d", data, path};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, VORN_VRRUN, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    std::string Finish(pid_t pid, const std::string& output) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output << " status " << status;
        return ScratchTree::ReadFile(tree.root + "/" + output + ".out");
    }

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
    // replaced) open the table again and retry.
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
        EXPECT_GE(origins[origin], 1) << origin;
    }
    EXPECT_EQ(done, 200) << out;
    Verify("C.DBF", {{"K.VRX", KeyKey}, {"W.VRX", WriterKey}});
}

} // namespace
} // namespace vorn::test
