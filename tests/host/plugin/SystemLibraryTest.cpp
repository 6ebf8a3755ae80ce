#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "engine/app/PosixExternalLibrary.h"
#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/SystemLibrary.h"
#include "platform/Modules.h"
#include "tests/engine/app/TestApplication.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

using Counter = int32_t (*)();

int32_t Call(void* symbol) {
    return symbol ? reinterpret_cast<Counter>(symbol)() : -1;
}

class SystemLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorn-syslib-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        loader = new PosixExternalLibraryManager(&app, platform::HostModule());
        app.libraryManager = loader;
        manager = new SystemLibraryManager(&app);
    }
    void TearDown() override {
        delete manager;
        delete loader;
        fs::remove_all(dir);
    }

    // A private copy of a fixture, so its handshake counts are this test's.
    std::string Copy(const char* fixture, const std::string& name) {
        std::string path = dir + "/" + name;
        fs::copy_file(fixture, path, fs::copy_options::overwrite_existing);
        return path;
    }

    test::TestApplication app;
    PosixExternalLibraryManager* loader = nullptr;
    SystemLibraryManager* manager = nullptr;
    std::string dir;
};

TEST_F(SystemLibraryTest, FoundByNameInAnyCaseAndLoadedOnce) {
    std::string path = Copy(VORN_FIXTURE_REGISTERBOTH, "tools.so");
    EXPECT_EQ(manager->RegisterLibrary("Tools", path.c_str()), 1);
    EXPECT_EQ(loader->LibraryCount(), 0); // nothing is loaded before the first use

    SystemLibrary* first = manager->Find("TOOLS", -1);
    ASSERT_NE(first, nullptr) << manager->ErrorText().Text();
    EXPECT_EQ(manager->Find("toolsXYZ", 5), first);
    EXPECT_STREQ(first->Name().Text(), "Tools");
    EXPECT_EQ(loader->LibraryCount(), 1);
    // One handshake, and exports are found by name.
    EXPECT_EQ(Call(first->GetFunction("fixture_register_calls")), 1);

    EXPECT_EQ(first->GetFunction("no_such_export"), nullptr);
    std::string text = first->Library()->ErrorText().Text();
    EXPECT_EQ(text.rfind("Unknown symbol 'no_such_export': ", 0), 0u) << text;
    EXPECT_EQ(first->GetFunction(nullptr), nullptr);

    // A second entry of the same name is listed but never found.
    std::string other = Copy(VORN_FIXTURE_NOREGISTER, "other.so");
    manager->RegisterLibrary("TOOLS", other.c_str());
    EXPECT_EQ(manager->Find("tools", -1), first);
    EXPECT_EQ(manager->ConfiguredLibraryCount(), 2);
    int32_t length = 0;
    EXPECT_STREQ(manager->ConfiguredLibraryName(1, &length), "TOOLS");
    EXPECT_EQ(length, 5);
    EXPECT_EQ(manager->ConfiguredLibraryName(2, &length), nullptr);
    EXPECT_TRUE(manager->IsLibraryConfigured("tOoLs", -1));
    EXPECT_FALSE(manager->IsLibraryConfigured("tool", -1));
}

TEST_F(SystemLibraryTest, MissingNamesAndFilesFailWithTheirTextAndAreRetried) {
    EXPECT_EQ(manager->Find("absent", -1), nullptr);
    EXPECT_STREQ(manager->ErrorText().Text(), "System library 'absent' is not configured");
    EXPECT_EQ(manager->Find(nullptr, -1), nullptr);
    EXPECT_STREQ(manager->ErrorText().Text(), "System library '' is not configured");

    std::string path = dir + "/later.so";
    manager->RegisterLibrary("later", path.c_str());
    EXPECT_EQ(manager->Find("later", -1), nullptr);
    EXPECT_FALSE(manager->ErrorText().IsEmpty());
    EXPECT_EQ(loader->LibraryCount(), 0);

    // The file appears: the next lookup loads it.
    Copy(VORN_FIXTURE_REGISTERBOTH, "later.so");
    SystemLibrary* library = manager->Find("LATER", -1);
    ASSERT_NE(library, nullptr) << manager->ErrorText().Text();
    EXPECT_EQ(Call(library->GetFunction("fixture_register_calls")), 1);

    // Without a loader every load fails with a text of its own.
    test::TestApplication bare;
    SystemLibraryManager lonely(&bare);
    lonely.RegisterLibrary("x", "/x.so");
    EXPECT_EQ(lonely.Find("x", 1), nullptr);
    EXPECT_STREQ(lonely.ErrorText().Text(), "Unable to load system library '/x.so'");
}

TEST_F(SystemLibraryTest, AFileServingTwoKindsIsLoadedOnce) {
    std::string path = Copy(VORN_FIXTURE_COMMERCEDESCRIPTOR, "both.so");
    CommerceLibraryManager commerce(&app);
    commerce.RegisterLibrary("pay", path.c_str());
    manager->RegisterLibrary("pay", path.c_str());

    SystemLibrary* system = manager->Find("pay", -1);
    ASSERT_NE(system, nullptr) << manager->ErrorText().Text();
    CommerceLibrary* library = commerce.FindForMethod("PAY", -1);
    ASSERT_NE(library, nullptr) << commerce.ErrorText().Text();
    EXPECT_TRUE(library->Bound());
    EXPECT_EQ(loader->LibraryCount(), 1);
    EXPECT_EQ(Call(system->GetFunction("fixture_commerce_registrations")), 1);
    // Bound once: later uses do not look again.
    EXPECT_EQ(commerce.FindForMethod("pay", 3), library);
}

} // namespace
} // namespace vorn
