#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/foundation/Output.h"
#include "tests/support/RecordingSink.h"
#include "tools/Assembler.h"
#include "tools/CommandLineApplication.h"
#include "platform/Process.h"
#include "platform/Time.h"
#include "tests/tools/LoadedProgram.h"
#include "tools/Runner.h"

namespace vorn {
namespace {

using test::RecordingSink;

namespace fs = std::filesystem;

class RunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorn-runner-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Assembles the source ("@label" tag jumps allowed) into DIR/name and returns the path.
    std::string Program(const std::string& name, const std::string& text) {
        const std::string source = test::ResolveTagJumps(text);
        Assembler assembler;
        EXPECT_TRUE(assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "t.vr"))
            << assembler.ErrorText().Text();
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(assembler.Output()), assembler.OutputLength());
        return path;
    }

    int32_t Run(std::vector<std::string> args) {
        output.text.clear();
        messages.clear();
        args.insert(args.begin(), "vrrun");
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        return RunnerMain(static_cast<int>(argv.size()), argv.data(), &output, &messages);
    }

    std::string dir;
    RecordingSink output;
    std::string messages;
};

TEST_F(RunnerTest, ExitStatusTellsHowTheRunEnded) {
    std::string hello = Program("hello.vrc", ".segment m entry\n pushc \"Hello\\n\"\n out\n.end\n");
    EXPECT_EQ(Run({hello}), 0);
    EXPECT_EQ(output.text, "Hello\n");
    EXPECT_EQ(messages, "");

    // exit from inside a function is a normal end.
    std::string leave = Program("leave.vrc", ".segment m entry\n call f\n pushc \"no\"\n out\n"
                                             ".function f()\n pushc \"bye\"\n out\n exit\n.end\n");
    EXPECT_EQ(Run({leave}), 0);
    EXPECT_EQ(output.text, "bye");

    // Error texts go to the output as the machine writes them.
    std::string fatal = Program("fatal.vrc", ".segment m entry\n pushc \"a\"\n out\n call 9\n.end\n");
    EXPECT_EQ(Run({fatal}), 1);
    EXPECT_EQ(output.text, "aFatal error in " + fatal + " @ [00000000:00000008]: Invalid function call\n");
    EXPECT_EQ(messages, "");

    std::string runtime =
        Program("runtime.vrc", ".global a\n.segment m entry\n pushg a\n pushi 0\n elem\n.end\n");
    EXPECT_EQ(Run({runtime}), 1);
    EXPECT_NE(output.text.find("Runtime error in "), std::string::npos) << output.text;
}

TEST_F(RunnerTest, ProgramsThatCannotBeLoadedGiveStatusTwo) {
    EXPECT_EQ(Run({dir + "/missing.vrc"}), 2);
    EXPECT_EQ(messages.rfind("vrrun: Unable to execute '" + dir + "/missing.vrc': ", 0), 0u) << messages;
    EXPECT_EQ(output.text, "");

    std::string junk = dir + "/junk.vrc";
    std::ofstream(junk) << "this is not a compiled program at all";
    EXPECT_EQ(Run({junk}), 2);
    EXPECT_NE(messages.find("vrrun: Unable to execute '" + junk + "'"), std::string::npos) << messages;

    // A damaged section inside a well-formed container.
    std::string damaged = Program("damaged.vrc", ".raw segs\n .u32 7\n.end\n.segment m entry\n.end\n");
    EXPECT_EQ(Run({damaged}), 2);
    EXPECT_NE(
        messages.find("': File does not exist, is corrupt, is not a valid Vorn Script file, or cannot be "
                      "opened due to permission problems\n"),
        std::string::npos)
        << messages;

    // Bad command lines.
    EXPECT_EQ(Run({}), 2);
    EXPECT_NE(messages.find("usage: vrrun"), std::string::npos);
    EXPECT_EQ(Run({"-x", junk}), 2);
    EXPECT_NE(messages.find("unknown option -x"), std::string::npos);
    EXPECT_EQ(Run({junk, "-c"}), 2);
    EXPECT_EQ(Run({junk, junk}), 2);
}

TEST_F(RunnerTest, ConfigurationItemsAreSetByTheirRegistryNames) {
    std::string hello = Program("hello.vrc", ".segment m entry\n pushc \"x\"\n out\n.end\n");
    EXPECT_EQ(Run({"-c", "GlobalTimeout=0", "-c", "logfilter=a.vr:1-2", "-c", "maxfiles=5", hello}), 0);
    EXPECT_EQ(Run({"-c", "nosuchitem=1", hello}), 2);
    EXPECT_NE(messages.find("Unknown configuration item 'nosuchitem'"), std::string::npos) << messages;
    EXPECT_EQ(Run({"-c", "globaltimeout=soon", hello}), 2);
    EXPECT_EQ(Run({"-c", "=1", hello}), 2);
    EXPECT_EQ(Run({"-c", "dir_data=x", hello}), 2); // a member name, not a registry name

    // Numbers in hexadecimal too, as bit sets are written: fatal errors logged.
    std::string fatal = Program("fatal.vrc", ".segment m entry\n call 9\n.end\n");
    std::string log = dir + "/hex.log";
    EXPECT_EQ(Run({"-c", "logfile=" + log, "-c", "loglevel=0x20000000", fatal}), 1) << messages;
    std::ifstream in(log, std::ios::binary);
    std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(logged.find("\tFatal Error\t"), std::string::npos) << logged;
    for (const char* bad : {"loglevel=0x", "loglevel=0x2g", "loglevel=0x100000000", "loglevel=0x-1"}) {
        EXPECT_EQ(Run({"-c", bad, hello}), 2) << bad;
        EXPECT_NE(messages.find("Not a number for 'loglevel'"), std::string::npos) << messages;
    }
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(output.text, "vrrun: Vorn 5.20\n");

    // The time limit stops an endless loop.
    std::string endless = Program("endless.vrc", ".segment m entry\nagain:\n jmp again\n.end\n");
    EXPECT_EQ(Run({"-c", "globaltimeout=1", endless}), 1);
    EXPECT_EQ(output.text, "Application timed out");
}

TEST_F(RunnerTest, DirectoriesAndLibraries) {
    fs::create_directory(dir + "/scripts");
    Program("scripts/p.vrc",
            ".extern plain()\n.segment m entry\n call plain\n pushc \"ok\"\n cat\n out\n.end\n");
    // Relative to the script directory.
    EXPECT_EQ(Run({"-s", dir + "/scripts", "-d", dir, "-l", VORN_FIXTURE_FUNCTIONLIBRARY, "p.vrc"}), 0)
        << messages << output.text;
    EXPECT_EQ(output.text, "ok");

    // Without the library the function does not resolve.
    EXPECT_EQ(Run({"-s", dir + "/scripts", "p.vrc"}), 1);
    EXPECT_NE(output.text.find("Unresolved call to external function 'plain'"), std::string::npos);

    EXPECT_EQ(Run({"-l", dir + "/nolib.so", dir + "/scripts/p.vrc"}), 2);
    EXPECT_NE(messages.find("vrrun: Unable to register library '" + dir + "/nolib.so'"), std::string::npos)
        << messages;
    EXPECT_EQ(Run({"-d", dir + "/nowhere", dir + "/scripts/p.vrc"}), 2);
    EXPECT_EQ(Run({"-s", dir + "/nowhere", "p.vrc"}), 2);
}

TEST_F(RunnerTest, ComputedSystemVariablesAnswerFromTheRun) {
    std::string path = Program("sv.vrc", R"(
.segment main entry
    pushnc "s.vorn_config:timeout_global"
    out
    pushc "/"
    pushnc "s.dyn_time_remaining"
    pushi 0
    gt
    cat
    out
.end
)");
    EXPECT_EQ(Run({"-c", "globaltimeout=7", path}), 0) << messages;
    EXPECT_EQ(output.text, "7/1");
}

// Starts the vrrun tool itself with these arguments; its output goes to
// DIR/name.out.
pid_t Spawn(const std::string& dir, const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(), VORN_VRRUN);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir + "/" + name + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, VORN_VRRUN, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitFor(pid_t pid) {
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// M rounds of: take the lock, read the file's last number, append the next.
std::string CounterProgram(int rounds) {
    return ".global round, last, n\n.segment m entry\n storegi round, 0\n"
           "again:\n pushc \"counter\"\n lockfile\n"
           " storegi last, 0\n pushc \"counter.txt\"\n pushc \",\"\n pushc \"n\"\n import @read\n"
           "body:\n pushg n\n popg last\n import_loop @body\nread:\n pushg last\n pushi 1\n add\n popg n\n"
           " pushc \"counter.txt\"\n pushc \",\"\n pushc \"n\"\n export\n lockfile_end\n incg round, 1\n"
           " cmpgi round, " +
           std::to_string(rounds) + "\n jmp_lt again\n.end\n";
}

std::string Count(int n) {
    std::string text;
    for (int i = 1; i <= n; ++i)
        text += std::to_string(i) + "\n";
    return text;
}

TEST_F(RunnerTest, LockFilesSerialiseProcessesAndThreads) {
    constexpr int kRunners = 4, kRounds = 10;
    std::string program = Program("counter.vrc", CounterProgram(kRounds));
    std::ofstream(dir + "/counter.txt").close();
    std::vector<pid_t> runners;
    for (int i = 0; i < kRunners; ++i)
        runners.push_back(
            Spawn(dir, "runner" + std::to_string(i), {"-d", dir, "-c", "filedelay=1", program}));
    for (pid_t pid : runners)
        EXPECT_EQ(WaitFor(pid), 0);
    std::ifstream in(dir + "/counter.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), Count(kRunners * kRounds));

    // Threads, an application and a machine each.
    std::ofstream(dir + "/counter.txt", std::ios::trunc).close();
    std::vector<std::thread> threads;
    for (int i = 0; i < kRunners; ++i) {
        threads.emplace_back([&] {
            RecordingSink sink;
            CommandLineApplication application(&sink);
            application.SetDataDirectory(dir.c_str());
            String error;
            EXPECT_EQ(application.SetOption("filedelay=1", &error), 1);
            EXPECT_EQ(application.Run(program.c_str(), &error), kRunCompleted) << error.Text() << sink.text;
        });
    }
    for (std::thread& t : threads)
        t.join();
    std::ifstream again(dir + "/counter.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), Count(kRunners * kRounds));
    EXPECT_FALSE(fs::exists(dir + "/counter.lck"));
}

// A holder killed inside its block: taken over at once under the same lock
// host name, once older than "lockexpiration" under another.
TEST_F(RunnerTest, AKilledHoldersLockIsTakenOverByItsServerOrWhenExpired) {
    std::string holder =
        Program("holder.vrc", ".segment m entry\n pushc \"held\"\n lockfile\nagain:\n jmp again\n.end\n");
    std::string taker =
        Program("taker.vrc", ".segment m entry\n pushc \"held\"\n lockfile\n pushc \"taken\"\n out\n"
                             " lockfile_end\n.end\n");
    struct Case {
        const char* host;
        const char* expiration;
        const char* timeout;
        int status;
        const char* output;
        int64_t atLeast; // seconds
    };
    for (Case c : {Case{"web1", "90", "5", 0, "taken", 0}, Case{"web2", "2", "10", 0, "taken", 1},
                   Case{"web2", "0", "1", 1, "Timed out waiting for lock", 0}}) {
        SCOPED_TRACE(c.host + std::string(" ") + c.expiration);
        pid_t pid = Spawn(dir, "holder", {"-d", dir, "-c", "lock_hostname=web1", holder});
        for (int i = 0; i < 1000 && !fs::exists(dir + "/held.lck"); ++i)
            platform::SleepMilliseconds(10);
        ASSERT_TRUE(fs::exists(dir + "/held.lck"));
        kill(pid, SIGKILL);
        EXPECT_EQ(WaitFor(pid), -1);
        const int64_t start = platform::NowSeconds();
        EXPECT_EQ(Run({"-d", dir, "-c", std::string("lock_hostname=") + c.host, "-c",
                       std::string("lockexpiration=") + c.expiration, "-c",
                       std::string("globaltimeout=") + c.timeout, "-c", "filedelay=20", taker}),
                  c.status);
        EXPECT_NE(output.text.find(c.output), std::string::npos) << output.text;
        EXPECT_GE(platform::NowSeconds() - start, c.atLeast);
        fs::remove(dir + "/held.lck");
    }
}

// "-c" takes the member names of items the registry does not carry; the lock
// host name defaults to the machine's.
TEST_F(RunnerTest, LockHostNameAndImportBufferFromTheCommandLine) {
    std::string program =
        Program("owner.vrc", ".global a, b\n.segment m entry\n pushc \"x\"\n lockfile\n"
                             " pushc \"x.lck\"\n pushc \"!\"\n pushc \"a, b\"\n import @done\n"
                             "body:\n pushg b\n out\n import_loop @body\ndone:\n lockfile_end\n.end\n");
    char host[256];
    ASSERT_TRUE(platform::HostName(host, sizeof host));
    const std::string thread = std::to_string(platform::ThreadId()) + ":";
    EXPECT_EQ(Run({"-d", dir, "-c", "lock_hostname=web2", "-c", "bufsz_import=3", program}), 0) << messages;
    EXPECT_EQ(output.text, thread + "web2");
    EXPECT_EQ(Run({"-d", dir, program}), 0) << messages;
    EXPECT_EQ(output.text, thread + host);
    EXPECT_EQ(Run({"-c", "bufsz_import=many", program}), 2);
}

// --- The limits of a run: its time-out, the end of the memory it may take --

using Clock = std::chrono::steady_clock;

struct Ended {
    int status = -1; // the exit status, -1 for a signal
    std::string out;
    std::string err;
    Clock::duration took{};
};

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Runs the vrrun tool with these arguments through the shell (its output
// and messages go to DIR/out and DIR/err); limited, it may take about
// memoryMegabytes (the sanitizer's allocator is told to fail above it, any
// other build gets an address-space limit).
Ended RunLimited(const std::string& dir, const std::vector<std::string>& args, int memoryMegabytes = 0) {
    std::string script = "exec \"$0\" \"$@\"";
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) environment.push_back(*e);
    }
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    if (memoryMegabytes > 0) {
#if defined(__SANITIZE_ADDRESS__)
        asan += (asan.empty() ? "" : ":") + std::string("allocator_may_return_null=1:soft_rss_limit_mb=") +
                std::to_string(memoryMegabytes);
#else
        script = "ulimit -v " + std::to_string(memoryMegabytes * 1024) + " && " + script;
#endif
    }
    if (!asan.empty()) environment.push_back("ASAN_OPTIONS=" + asan);
    std::vector<std::string> words = {"/bin/sh", "-c", script, VORN_VRRUN};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Ended ended;
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    ended.took = Clock::now() - start;
    ended.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ended.out = Contents(dir + "/out");
    ended.err = Contents(dir + "/err");
    return ended;
}

// One second allowed: each program would run on for minutes. The byte form
// stops before any instruction once the time is out; so must every way the
// interpreter goes.
TEST_F(RunnerTest, TheTimeOutEndsARunWhateverItSpendsItsTimeOn) {
    struct Case {
        const char* name;
        const char* source;
    };
    const Case cases[] = {
        {"recursive calls in one segment",
         ".segment main entry\n pushi 38\n call fib\n out\n exit\n"
         ".function fib(n)\n pushl n\n pushi 2\n cmp\n jmp_lt small\n"
         " pushl n\n pushi 1\n sub\n call fib\n pushl n\n pushi 2\n sub\n call fib\n add\n ret\n"
         "small:\n pushl n\n ret\n.end\n"},
        {"searches through a 64 MB text",
         ".global s, i, r\n.segment main entry\n pushc \"x\"\n popg s\n storegi i, 0\n"
         "grow:\n pushg s\n pushg s\n cat\n popg s\n incg i, 1\n cmpgi i, 26\n jmp_lt grow\n"
         " storegi i, 0\nagain:\n pushc \"y\"\n pushg s\n in\n popg r\n incg i, 1\n cmpgi i, 250\n jmp_lt again\n"
         " pushc \"done\"\n out\n.end\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ended ended = RunLimited(dir, {"-c", "globaltimeout=1", Program("long.vrc", c.source)});
        EXPECT_EQ(ended.status, 1) << ended.err;
        EXPECT_EQ(ended.out, "Application timed out");
        // About a second after the time is out (the watchdog looks every
        // second), with room for a busy sanitizer build: without the checks these runs take minutes.
        EXPECT_LT(ended.took, std::chrono::seconds(60));
    }
}

// A run that takes all the memory there is ends with its fatal error, at the
// word that asked for more, and a failed status.
TEST_F(RunnerTest, RunningOutOfMemoryIsReportedAsTheFatalErrorOfTheRun) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "no way to limit the memory of a ThreadSanitizer build";
#endif
    struct Case {
        const char* name;
        const char* source;
        const char* position; // of the word that ran out
    };
    const Case cases[] = {
        {"an array of texts grown without end",
         ".global a, i\n.segment main entry\n storegi i, 1\n"
         "again:\n pushc \"abcdefghijklmnopqrstuvwxyz0123456789\"\n pushg a\n pushg i\n elem\n store\n"
         " incg i, 1\n jmp again\n.end\n",
         "[00000000:0000001e]"}, // store
        {"a text doubled by the fused append",
         ".global g\n.segment main entry\n pushc \"0123456789abcdef\"\n popg g\n"
         "again:\n pushg g\n pushg g\n cat\n popg g\n jmp again\n.end\n",
         "[00000000:00000018]"}, // cat
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string program = Program("grows.vrc", c.source);
        Ended ended = RunLimited(dir, {"-c", "globaltimeout=0", program}, 200);
        EXPECT_EQ(ended.status, 1) << ended.err;
        EXPECT_EQ(ended.out, "Fatal error in " + program + " @ " + c.position + ": Out of memory\n");
#if !defined(__SANITIZE_ADDRESS__)
        // (The sanitizer says that its limit was reached.)
        EXPECT_EQ(ended.err, "");
#endif
    }
}

} // namespace
} // namespace vorn
