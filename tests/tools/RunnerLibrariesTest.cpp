#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/foundation/Output.h"
#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/SystemLibrary.h"
#include "tests/support/RecordingSink.h"
#include "tools/Assembler.h"
#include "tools/CommandLineApplication.h"
#include "tools/Runner.h"

namespace vorn {
namespace {

using test::RecordingSink;

namespace fs = std::filesystem;

int32_t RunVrrun(std::vector<std::string> args, Output* output, std::string* messages) {
    args.insert(args.begin(), "vrrun");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return RunnerMain(static_cast<int>(argv.size()), argv.data(), output, messages);
}

TEST(RunnerLibrariesTest, CommerceAndSystemLibrariesCanBeRegistered) {
    char pattern[] = "/tmp/vorn-runlib-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    // A block whose transaction ends at once (the body would print "body"),
    // then the error variable between bars.
    const std::string source = ".segment m entry\n"
                               " pushc \"Pay\"\n pushc \"passes=0\"\n pushc \"\"\n"
                               " op_commerce 14\n"
                               " pushc \"body\"\n out\n op_commerce_loop -14\n"
                               " pushc \"|\"\n out\n pushnc \"VrCOMMERCE_Error\"\n out\n pushc \"|\"\n out\n.end\n";
    Assembler assembler;
    ASSERT_TRUE(assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "t.vr"))
        << assembler.ErrorText().Text();
    std::string program = dir + "/pay.vrc";
    std::ofstream(program, std::ios::binary)
        .write(reinterpret_cast<const char*>(assembler.Output()), assembler.OutputLength());

    RecordingSink output;
    std::string messages;
    EXPECT_EQ(RunVrrun({"-m", std::string("pay=") + VORN_FIXTURE_COMMERCEDESCRIPTOR, "-y",
                   std::string("helper=") + VORN_FIXTURE_COMMERCEDESCRIPTOR, program},
                  &output, &messages),
              0)
        << messages << output.text;
    EXPECT_EQ(output.text, "||");

    // Without the method the tag error ends the run (shown and fatal by default).
    output.text.clear();
    EXPECT_EQ(RunVrrun({program}, &output, &messages), 1);
    EXPECT_NE(output.text.find("Commerce method 'Pay' is unsupported or not configured"), std::string::npos)
        << output.text;
    EXPECT_EQ(output.text.find("body"), std::string::npos);

    for (const char* bad : {"pay", "=lib.so", "pay="}) {
        messages.clear();
        EXPECT_EQ(RunVrrun({"-m", bad, program}, &output, &messages), 2) << bad;
        EXPECT_NE(messages.find("option -m needs NAME=LIBRARY"), std::string::npos) << messages;
    }
    fs::remove_all(dir);

    // The application hands its managers out, by family too.
    CommandLineApplication application(&output);
    application.AddCommerceLibrary("visa", "/v.so");
    application.AddSystemLibrary("crypto", "/c.so");
    ASSERT_NE(application.GetCommerceLibraryManager(), nullptr);
    ASSERT_NE(application.GetSystemLibraryManager(), nullptr);
    EXPECT_TRUE(application.GetCommerceLibraryManager()->IsLibraryConfigured("VISA", -1));
    EXPECT_EQ(application.ConfiguredLibrariesOf(kLibraryFamilyCommerce), application.GetCommerceLibraryManager());
    EXPECT_EQ(application.ConfiguredLibrariesOf(kLibraryFamilySystem), application.GetSystemLibraryManager());
    EXPECT_EQ(application.ConfiguredLibrariesOf(kLibraryFamilyDatabase), nullptr);
    EXPECT_STREQ(application.ConfiguredLibrariesOf(kLibraryFamilySystem)->ConfiguredLibraryName(0, nullptr), "crypto");
}

// Database libraries are registered with each run's manager, which the
// configuration's lists show; the VM gets the manager.
TEST(RunnerLibrariesTest, DatabaseLibrariesAreRegisteredPerRun) {
    char pattern[] = "/tmp/vorn-rundb-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    const std::string source = ".segment m entry\n"
                               " pushnc \"vorn_config:database_list\"\n out\n pushc \"|\"\n out\n"
                               " pushnc \"vorn_config:database_lookup:SQL\"\n out\n"
                               " pushnc \"vorn_config:database_lookup:xbase3\"\n out\n.end\n";
    Assembler assembler;
    ASSERT_TRUE(assembler.Assemble(source.data(), static_cast<int32_t>(source.size()), "t.vr"))
        << assembler.ErrorText().Text();
    std::string program = dir + "/db.vrc";
    std::ofstream(program, std::ios::binary)
        .write(reinterpret_cast<const char*>(assembler.Output()), assembler.OutputLength());

    RecordingSink output;
    std::string messages;
    EXPECT_EQ(RunVrrun({"-t", std::string("sql=") + VORN_FIXTURE_DATABASEV6, "-t", "Other=/o.so", program}, &output,
                       &messages),
              0)
        << messages << output.text;
    EXPECT_EQ(output.text, "sql,Other|10");
    for (const char* bad : {"sql", "=lib.so"}) {
        messages.clear();
        EXPECT_EQ(RunVrrun({"-t", bad, program}, &output, &messages), 2) << bad;
        EXPECT_NE(messages.find("option -t needs NAME=LIBRARY"), std::string::npos) << messages;
    }
    fs::remove_all(dir);

    // Outside a run there is no manager.
    CommandLineApplication application(&output);
    application.AddDatabaseLibrary("sql", VORN_FIXTURE_DATABASEV6);
    EXPECT_EQ(application.GetDatabaseLibraryManager(), nullptr);
}

} // namespace
} // namespace vorn
