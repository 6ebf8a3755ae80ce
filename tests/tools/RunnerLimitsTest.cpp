// The vrrun tool at the limits of a run: its time-out, and the end of the
// memory it may take.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/Assembler.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
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

class RunnerLimitsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorn-limits-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Program(const std::string& name, const std::string& source) {
        Assembler assembler;
        EXPECT_TRUE(assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "t.vr"))
            << assembler.ErrorText().Text();
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(assembler.Output()), assembler.OutputLength());
        return path;
    }

    // Runs vrrun with these arguments through the shell; limited, it may
    // take about memoryMegabytes (the sanitizer's allocator is told to fail
    // above it, any other build gets an address-space limit).
    Ended Run(const std::vector<std::string>& args, int memoryMegabytes = 0) {
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

    std::string dir;
};

// One second allowed: each program would run on for minutes. The byte form
// stops before any instruction once the time is out; so must every way the
// interpreter goes.
TEST_F(RunnerLimitsTest, TheTimeOutEndsARunWhateverItSpendsItsTimeOn) {
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
        Ended ended = Run({"-c", "globaltimeout=1", Program("long.vrc", c.source)});
        EXPECT_EQ(ended.status, 1) << ended.err;
        EXPECT_EQ(ended.out, "Application timed out");
        // About a second after the time is out (the watchdog looks every
        // second), with room for a busy machine.
        EXPECT_LT(ended.took, std::chrono::seconds(10));
    }
}

// A run that takes all the memory there is ends with its fatal error, at the
// word that asked for more, and a failed status.
TEST_F(RunnerLimitsTest, RunningOutOfMemoryIsReportedAsTheFatalErrorOfTheRun) {
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
        Ended ended = Run({"-c", "globaltimeout=0", program}, 200);
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
