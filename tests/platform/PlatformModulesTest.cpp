#include "platform/Errors.h"
#include "platform/Modules.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace vorn::platform;

namespace {
int LocalFunction() { return 7; }
} // namespace

TEST(PlatformModules, LoadsAFixtureAndFindsItsExports) {
    ModuleHandle module = LoadModule(VORN_MODULE_FIXTURE);
    ASSERT_NE(module, nullptr) << LastErrorText();
    EXPECT_EQ(LoadModule(VORN_MODULE_FIXTURE), module) << "one object per file";

    using Answer = int (*)();
    auto answer = reinterpret_cast<Answer>(ModuleSymbol(module, "vorn_fixture_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(ModuleContaining(reinterpret_cast<const void*>(answer)), module);

    using Register = void (*)(void*);
    auto registerLibrary = reinterpret_cast<Register>(ModuleSymbol(module, "vorn_register_library"));
    auto* count = static_cast<int*>(ModuleSymbol(module, "vorn_fixture_registrations"));
    auto** seen = static_cast<void**>(ModuleSymbol(module, "vorn_fixture_host"));
    ASSERT_TRUE(registerLibrary != nullptr && count != nullptr && seen != nullptr);
    registerLibrary(HostModule());
    EXPECT_EQ(*count, 1);
    EXPECT_EQ(*seen, HostModule());

    EXPECT_EQ(ModuleSymbol(module, "VornRegisterLibrary"), nullptr);
    const std::string text = LastErrorText();
    EXPECT_NE(text.find("VornRegisterLibrary"), std::string::npos) << text;
    EXPECT_EQ(LastError(), ELIBACC);

    EXPECT_TRUE(UnloadModule(module));
    EXPECT_TRUE(UnloadModule(module));
}

TEST(PlatformModules, ThreadsLoadAndUnloadTheSameObjectAtOnce) {
    // As requests do with a plug-in: the object is unloaded whenever the
    // last of them lets go and loaded again by the next, on another thread
    // (the thread sanitizer watches the object's globals across that).
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                ModuleHandle module = LoadModule(VORN_MODULE_FIXTURE);
                auto* loaded = module ? static_cast<int*>(ModuleSymbol(module, "vorn_fixture_loaded")) : nullptr;
                if (!loaded || *loaded != 1) ++wrong;
                if (!module || !UnloadModule(module)) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PlatformModules, FailedLoadsReportTheLoadersText) {
    EXPECT_EQ(LoadModule("/nonexistent/vorn/libnothing.so"), nullptr);
    EXPECT_NE(std::string(LastErrorText()).find("libnothing.so"), std::string::npos) << LastErrorText();
    EXPECT_EQ(LoadModule(""), nullptr) << "an empty path is not the main program";
    EXPECT_EQ(LoadModule(nullptr), nullptr);
    EXPECT_EQ(ModuleSymbol(nullptr, "x"), nullptr);
    EXPECT_FALSE(UnloadModule(nullptr));
    // An errno failure afterwards replaces the loader's text.
    SetLastError(ENOENT);
    EXPECT_EQ(std::string(LastErrorText()), "No such file or directory");
}

TEST(PlatformModules, HostModuleIsTheObjectContainingTheHost) {
    ModuleHandle main = MainProgramModule();
    ASSERT_NE(main, nullptr);
    void* self = dlopen(nullptr, RTLD_NOW);
    EXPECT_EQ(main, self);
    dlclose(self);
    // This layer is linked into the test program, so the host is the program.
    EXPECT_EQ(HostModule(), main);
    EXPECT_EQ(ModuleContaining(reinterpret_cast<const void*>(&LocalFunction)), main);
    EXPECT_EQ(LocalFunction(), 7);
    // An address inside a shared library names that library, not the program.
    ModuleHandle libc = ModuleContaining(reinterpret_cast<const void*>(&dlopen));
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(libc, main);
    EXPECT_EQ(ModuleContaining(nullptr), nullptr);
}
