// Shared pieces of the file-layer tests: an application whose system error
// text is the platform's, with its own configuration, and a scratch directory
// tree with data, script and temporary roots.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/files/PosixFile.h"
#include "engine/foundation/Config.h"
#include "platform/Errors.h"
#include "platform/Time.h"
#include "tests/engine/app/TestApplication.h"

namespace vorn::test {

class FileTestApplication : public TestApplication {
public:
    FileTestApplication() {
        config = &settings;
        fileManager = &files;
    }
    ~FileTestApplication() override { fileManager = nullptr; }

    const char* LastSystemErrorText() override { return platform::LastErrorText(); }
    // Really waits, so retry loops do not spin.
    int32_t WaitForStop(int32_t milliseconds) override {
        waits.fetch_add(1);
        platform::SleepMilliseconds(milliseconds);
        return StopRequested() ? WaitStopSignalled : WaitTimedOut;
    }

    Config settings;
    PosixFileManager files{this};
};

class ScratchTree {
public:
    ScratchTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vorn-files-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        EXPECT_NE(made, nullptr);
        root = pattern;
        std::filesystem::create_directories(root + "/data");
        std::filesystem::create_directories(root + "/scripts");
        std::filesystem::create_directories(root + "/temp");
    }
    ~ScratchTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    ScratchTree(const ScratchTree&) = delete;
    ScratchTree& operator=(const ScratchTree&) = delete;

    std::string Data() const { return root + "/data"; }
    std::string Scripts() const { return root + "/scripts"; }
    std::string Temp() const { return root + "/temp"; }

    static void WriteFile(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static bool Exists(const std::string& path) { return std::filesystem::exists(path); }

    std::string root;
};

// An application with the three roots configured.
inline void ConfigureRoots(FileTestApplication& app, const ScratchTree& tree, bool withTemporary = true) {
    ASSERT_TRUE(app.files.CheckDataDirectory(tree.Data().c_str())) << app.files.ErrorText().Text();
    ASSERT_TRUE(app.files.CheckScriptDirectory(tree.Scripts().c_str())) << app.files.ErrorText().Text();
    if (withTemporary) {
        ASSERT_TRUE(app.files.CheckTemporaryDirectory(tree.Temp().c_str())) << app.files.ErrorText().Text();
    }
}

} // namespace vorn::test
