#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/app/ExternalLibrary.h"
#include "engine/app/PosixExternalLibrary.h"
#include "platform/Modules.h"
#include "tests/engine/app/TestApplication.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

using CountFunction = int32_t (*)();
using HostFunction = void* (*)();

int32_t Count(ExternalLibrary* library, const char* name) {
    auto f = reinterpret_cast<CountFunction>(library->GetSymbol(name));
    EXPECT_NE(f, nullptr) << name;
    return f ? f() : -1;
}

void* LastHost(ExternalLibrary* library) {
    auto f = reinterpret_cast<HostFunction>(library->GetSymbol("fixture_last_host"));
    EXPECT_NE(f, nullptr);
    return f ? f() : nullptr;
}

// Whether the file is still mapped in this process.
bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return false;
    dlclose(handle);
    return true;
}

class LibraryManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorn-libs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // A private copy of a fixture, so its load state is this test's alone.
    std::string CopyFixture(const char* fixture, const std::string& name) {
        std::string path = dir + "/" + name;
        fs::copy_file(fixture, path, fs::copy_options::overwrite_existing);
        return path;
    }

    test::TestApplication app;
    std::string dir;
};

TEST_F(LibraryManagerTest, BothRegistrationNamesCallOnlyTheNewOneWithTheHostModule) {
    std::string path = CopyFixture(VORN_FIXTURE_REGISTERBOTH, "both.so");
    platform::ModuleHandle host = platform::HostModule();
    ASSERT_NE(host, nullptr);
    PosixExternalLibraryManager manager(&app, host);
    ExternalLibrary* library = manager.Load(path.c_str());
    ASSERT_NE(library, nullptr) << manager.ErrorText().Text();
    EXPECT_EQ(Count(library, "fixture_register_calls"), 1);
    EXPECT_EQ(Count(library, "fixture_legacy_register_calls"), 0);
    EXPECT_EQ(LastHost(library), host);
    EXPECT_TRUE(library->Path().Equals(path.c_str()));
}

TEST_F(LibraryManagerTest, OlderRegistrationNameIsTheFallback) {
    std::string path = CopyFixture(VORN_FIXTURE_LEGACYREGISTER, "legacy.so");
    PosixExternalLibraryManager manager(&app, platform::HostModule());
    ExternalLibrary* library = manager.Load(path.c_str());
    ASSERT_NE(library, nullptr) << manager.ErrorText().Text();
    EXPECT_EQ(Count(library, "fixture_legacy_register_calls"), 1);
    EXPECT_EQ(LastHost(library), platform::HostModule());
}

TEST_F(LibraryManagerTest, NullHostModuleHandsOverTheMainProgram) {
    std::string path = CopyFixture(VORN_FIXTURE_REGISTERBOTH, "main.so");
    PosixExternalLibraryManager manager(&app, nullptr);
    EXPECT_EQ(manager.HostModule(), platform::MainProgramModule());
    ExternalLibrary* library = manager.Load(path.c_str());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(LastHost(library), platform::MainProgramModule());
}

TEST_F(LibraryManagerTest, SamePathTwiceGivesOneObjectAndOneRegistration) {
    std::string path = CopyFixture(VORN_FIXTURE_REGISTERBOTH, "twice.so");
    PosixExternalLibraryManager manager(&app, platform::HostModule());
    ExternalLibrary* first = manager.Load(path.c_str());
    ExternalLibrary* second = manager.Load(path.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(manager.LibraryCount(), 1);
    EXPECT_EQ(Count(first, "fixture_register_calls"), 1);
}

TEST_F(LibraryManagerTest, LibraryWithoutRegistrationLoadsAndMissingSymbolsAreReported) {
    std::string path = CopyFixture(VORN_FIXTURE_NOREGISTER, "plain.so");
    PosixExternalLibraryManager manager(&app, platform::HostModule());
    ExternalLibrary* library = manager.Load(path.c_str());
    ASSERT_NE(library, nullptr) << manager.ErrorText().Text();
    EXPECT_TRUE(library->ErrorText().IsEmpty());
    EXPECT_EQ(Count(library, "fixture_answer"), 42);

    EXPECT_EQ(library->GetSymbol("vorn_function_table"), nullptr);
    std::string error = library->ErrorText().Text();
    EXPECT_EQ(error.rfind("Unknown symbol 'vorn_function_table': ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::string("Unknown symbol 'vorn_function_table': ").size());
}

TEST_F(LibraryManagerTest, FailedLoadIsReportedAndNotRemembered) {
    std::string path = dir + "/later.so";
    PosixExternalLibraryManager manager(&app, platform::HostModule());
    EXPECT_EQ(manager.Load(path.c_str()), nullptr);
    EXPECT_FALSE(manager.ErrorText().IsEmpty());
    EXPECT_EQ(manager.LibraryCount(), 0);

    CopyFixture(VORN_FIXTURE_NOREGISTER, "later.so");
    ExternalLibrary* library = manager.Load(path.c_str());
    ASSERT_NE(library, nullptr) << manager.ErrorText().Text();
    EXPECT_EQ(manager.LibraryCount(), 1);

    // A file that is not a shared object fails the same way.
    std::string junk = dir + "/junk.so";
    FILE* f = fopen(junk.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("not a library", f);
    fclose(f);
    EXPECT_EQ(manager.Load(junk.c_str()), nullptr);
    EXPECT_FALSE(manager.ErrorText().IsEmpty());

    EXPECT_EQ(manager.Load(""), nullptr);
    EXPECT_EQ(manager.Load(nullptr), nullptr);
    EXPECT_EQ(manager.LibraryCount(), 1);
}

TEST_F(LibraryManagerTest, PathsAreKeysAsWritten) {
    std::string lower = CopyFixture(VORN_FIXTURE_REGISTERBOTH, "case.so");
    PosixExternalLibraryManager manager(&app, platform::HostModule());
    ExternalLibrary* library = manager.Load(lower.c_str());
    ASSERT_NE(library, nullptr);

    // Letter case matters on this file system: "CASE.so" is another file.
    std::string upper = dir + "/CASE.so";
    EXPECT_EQ(manager.Load(upper.c_str()), nullptr);
    CopyFixture(VORN_FIXTURE_NOREGISTER, "CASE.so");
    ExternalLibrary* other = manager.Load(upper.c_str());
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, library);
    EXPECT_EQ(Count(other, "fixture_answer"), 42);

    // Another way of writing the same file is another library object with
    // its own handshake (the system shares the mapping).
    std::string dotted = dir + "/./case.so";
    ExternalLibrary* again = manager.Load(dotted.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, library);
    EXPECT_EQ(Count(library, "fixture_register_calls"), 2);
    EXPECT_EQ(manager.LibraryCount(), 3);
}

TEST_F(LibraryManagerTest, DestroyingTheManagerFreesEveryModule) {
    std::string a = CopyFixture(VORN_FIXTURE_REGISTERBOTH, "a.so");
    std::string b = CopyFixture(VORN_FIXTURE_NOREGISTER, "b.so");
    {
        PosixExternalLibraryManager manager(&app, platform::HostModule());
        ASSERT_NE(manager.Load(a.c_str()), nullptr);
        ASSERT_NE(manager.Load(b.c_str()), nullptr);
        ASSERT_NE(manager.Load((dir + "/./a.so").c_str()), nullptr);
        EXPECT_TRUE(IsLoaded(a));
        EXPECT_TRUE(IsLoaded(b));
    }
    EXPECT_FALSE(IsLoaded(a));
    EXPECT_FALSE(IsLoaded(b));

    // The next request loads it again and repeats the handshake.
    PosixExternalLibraryManager next(&app, platform::HostModule());
    ExternalLibrary* library = next.Load(a.c_str());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(Count(library, "fixture_register_calls"), 1);
}

// The cache and failure protocol of the base manager, without any files.
class FakeLibrary : public ExternalLibrary {
  public:
    FakeLibrary(VornApplication* app, const char* path, int* alive)
        : ExternalLibrary(app, path), alive(alive) {
        ++*alive;
    }
    ~FakeLibrary() override { --*alive; }
    int32_t Load(const char* path) override {
        std::string p(path);
        if (p.rfind("bad", 0) == 0) {
            if (p == "bad-with-text") SetError("cannot map");
            return 0;
        }
        return 1;
    }
    void* GetSymbol(const char*) override { return nullptr; }
    int* alive;
};

class FakeManager : public ExternalLibraryManager {
  public:
    FakeManager(VornApplication* app, int* alive) : ExternalLibraryManager(app), alive(alive) {}
    ExternalLibrary* CreateLibrary(const char* path) override {
        ++created;
        auto* library = new FakeLibrary(owner, path, alive);
        if (library->Load(path)) return library;
        error.Assign(library->ErrorText());
        delete library;
        return nullptr;
    }
    int* alive;
    int created = 0;
};

TEST(ExternalLibraryManagerTest, CachesSuccessesOnlyAndOwnsItsLibraries) {
    test::TestApplication app;
    int alive = 0;
    {
        FakeManager manager(&app, &alive);
        EXPECT_EQ(manager.Owner(), &app);
        ExternalLibrary* one = manager.Load("one");
        EXPECT_EQ(manager.Load("one"), one);
        EXPECT_EQ(manager.created, 1);

        EXPECT_EQ(manager.Load("bad-with-text"), nullptr);
        EXPECT_TRUE(manager.ErrorText().Equals("cannot map"));
        // A failure without a text leaves no stale message behind.
        EXPECT_EQ(manager.Load("bad-silent"), nullptr);
        EXPECT_TRUE(manager.ErrorText().IsEmpty());
        EXPECT_EQ(manager.Load("bad-silent"), nullptr);
        EXPECT_EQ(manager.created, 4); // failures are tried again

        EXPECT_NE(manager.Load("ONE"), one); // keys are case-sensitive
        EXPECT_EQ(manager.LibraryCount(), 2);
        EXPECT_EQ(alive, 2);
    }
    EXPECT_EQ(alive, 0);
}

} // namespace
} // namespace vorn
