#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/foundation/Output.h"
#include "tools/Assembler.h"
#include "tools/CommandLineApplication.h"
#include "tools/Runner.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

class StringSink : public Output {
  public:
    int32_t Write(const char* bytes, int32_t length) override {
        if (length > 0) text.append(bytes, static_cast<size_t>(length));
        return length;
    }
    int32_t Flush() override { return 1; }
    int32_t Kind() override { return 0; }
    std::string text;
};

class RunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorn-runner-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Assembles the source into DIR/name and returns the path.
    std::string Program(const std::string& name, const std::string& source) {
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
    StringSink output;
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

} // namespace
} // namespace vorn
