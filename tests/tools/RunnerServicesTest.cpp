// The runner's host services: the log file, OpenSSL and crypt.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/foundation/Output.h"
#include "platform/Registry.h"
#include "tests/support/RecordingSink.h"
#include "tools/Assembler.h"
#include "tools/Runner.h"

namespace vorn {
namespace {

using test::RecordingSink;

TEST(RunnerServices, LogsBindsOpenSSLAndCrypts) {
    char pattern[] = "/tmp/vorn-services-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    // No product key: the default OpenSSL 3 names.
    setenv(platform::kRegistryPathVariable, (dir + "/absent.conf").c_str(), 1);

    const char source[] = ".system vorn_sslavailable\n"
                          ".segment m entry\n"
                          " pushs vorn_sslavailable\n out\n"
                          " pushc \"test\"\n pushc \"aa\"\n crypt\n out\n"
                          " call 9\n"
                          ".end\n";
    Assembler assembler;
    ASSERT_TRUE(assembler.Assemble(source, static_cast<int32_t>(sizeof source - 1), "t.vr"))
        << assembler.ErrorText().Text();
    std::string program = dir + "/services.vrc";
    std::ofstream(program, std::ios::binary)
        .write(reinterpret_cast<const char*>(assembler.Output()), assembler.OutputLength());

    std::string log = dir + "/run.log";
    std::vector<std::string> args = {"vrrun", "-c", "logfile=" + log, "-c", "loglevel=536870912", program};
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    RecordingSink output;
    std::string messages;
    EXPECT_EQ(RunnerMain(static_cast<int>(argv.size()), argv.data(), &output, &messages), 1);
    EXPECT_EQ(output.text.substr(0, 14), "1aaqPiZY5xR5l.");

    std::ifstream in(log, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\tFatal Error\t"), std::string::npos) << text;
    EXPECT_EQ(text.size() >= 2 ? text.substr(text.size() - 2) : text, "\r\n");
    unsetenv(platform::kRegistryPathVariable);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace vorn
