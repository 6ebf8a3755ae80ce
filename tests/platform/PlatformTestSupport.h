// Scratch directories and small file helpers for the platform tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <ftw.h>
#include <unistd.h>

namespace vorn::platform::test {

class ScratchDir {
public:
    ScratchDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/vorn-platform-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        if (!path_.empty()) {
            nftw(
                path_.c_str(),
                [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
                FTW_DEPTH | FTW_PHYS);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool Ok() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace vorn::platform::test
