#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Errors.h"
#include "platform/Registry.h"
#include "platform/Time.h"
#include "tests/platform/PlatformTestSupport.h"

namespace vorn::platform {
namespace {

using test::ScratchDir;
using test::WriteText;

// Points the registry at a file of the scratch directory.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Ok());
        Use("registry.conf");
    }
    void TearDown() override { unsetenv(kRegistryPathVariable); }

    void Use(const std::string& name) {
        path = dir / name;
        setenv(kRegistryPathVariable, path.c_str(), 1);
    }

    RegistryKey Open(const char* subkey, RegistryKey parent = LocalMachineKey()) {
        RegistryKey key = nullptr;
        return RegistryOpenKey(parent, subkey, &key) ? key : nullptr;
    }

    // The value's type and bytes as a string ("" and type 0 when missing).
    std::string Query(RegistryKey key, const char* name, uint32_t* type = nullptr) {
        size_t size = 0;
        uint32_t t = 0;
        if (!RegistryQueryValue(key, name, &t, nullptr, &size)) return "<missing>";
        std::string bytes(size, '\0');
        EXPECT_TRUE(RegistryQueryValue(key, name, &t, bytes.data(), &size));
        if (type) *type = t;
        return bytes;
    }

    std::string Query(const char* subkey, const char* name, uint32_t* type = nullptr) {
        RegistryKey key = Open(subkey);
        if (!key) return "<no key>";
        std::string value = Query(key, name, type);
        RegistryCloseKey(key);
        return value;
    }

    ScratchDir dir;
    std::string path;
};

std::string Number(uint32_t n) {
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)};
}

TEST_F(RegistryTest, ReadsTheLinesOfTheFile) {
    WriteText(path, "# comment\n"
                    "; comment\n"
                    "[SOFTWARE\\Vorn\\Conf]\n"
                    "plain =   some text  \n"
                    "quoted = \"  \\\\ \\\" \\n\\r\\t\\x41\\xff \"\n"
                    "empty =\n"
                    "number = dword:90\n"
                    "hex = DWORD:0xFFFFFFFF\n"
                    "negative = dword:-2147483648\n"
                    "top = dword:4294967295\n"
                    "list[] = a\n"
                    "list[] = \"b,c\"\n"
                    "none = []\n"
                    "Twice = first\n"
                    "twice = second\r\n"
                    "restart[] = x\n"
                    "restart = []\n"
                    "restart[] = y\n"
                    "high = caf\xc3\xa9\n"
                    "[software\\VORN\\conf\\Sub]\n"
                    "inner = 1\n");
    struct Case {
        const char* name;
        uint32_t type;
        std::string bytes;
    } cases[] = {
        {"plain", kRegistryString, std::string("some text\0", 10)},
        {"quoted", kRegistryString, std::string("  \\ \" \n\r\tA\xff \0", 13)},
        {"empty", kRegistryString, std::string("\0", 1)},
        {"number", kRegistryNumber, Number(90)},
        {"hex", kRegistryNumber, Number(0xffffffffu)},
        {"negative", kRegistryNumber, Number(0x80000000u)},
        {"top", kRegistryNumber, Number(0xffffffffu)},
        {"LIST", kRegistryMultiString, std::string("a\0b,c\0\0", 7)},
        {"none", kRegistryMultiString, std::string("\0", 1)},
        {"twice", kRegistryString, std::string("second\0", 7)},
        {"restart", kRegistryMultiString, std::string("y\0\0", 3)},
        {"high", kRegistryString, std::string("caf\xc3\xa9\0", 6)},
    };
    RegistryKey key = Open("Software\\vorn\\CONF");
    ASSERT_NE(key, nullptr);
    for (const Case& c : cases) {
        uint32_t type = 0;
        EXPECT_EQ(Query(key, c.name, &type), c.bytes) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    EXPECT_EQ(Query(key, "inner"), "<missing>");
    EXPECT_EQ(LastError(), ENOENT);
    EXPECT_EQ(Query("SOFTWARE\\Vorn\\Conf\\sub", "inner"), std::string("1\0", 2));
    // Opening relative to an open key; empty components are skipped.
    RegistryKey sub = Open("\\Sub\\", key);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(Query(sub, "inner"), std::string("1\0", 2));
    RegistryCloseKey(sub);
    EXPECT_EQ(Open("Missing", key), nullptr);
    EXPECT_EQ(LastError(), ENOENT);
    RegistryCloseKey(key);

    std::vector<RegistryProblem> problems;
    ASSERT_TRUE(RegistryCheck(problems));
    EXPECT_TRUE(problems.empty());
}

TEST_F(RegistryTest, BadLinesAreSkippedAndReportedByNumber) {
    WriteText(path, "stray = outside\n"         // 1
                    "[K]\n"                     // 2
                    "good = 1\n"                // 3
                    "no equals sign\n"          // 4
                    "= nameless\n"              // 5
                    "a\\b = 1\n"                // 6
                    "n = dword:4294967296\n"    // 7
                    "n = dword:-2147483649\n"   // 8
                    "n = dword:0x100000000\n"   // 9
                    "n = dword:12z\n"           // 10
                    "q = \"open\n"              // 11
                    "q = \"a\" b\n"             // 12
                    "q = \"\\q\"\n"             // 13
                    "q = \"\\x0\"\n"            // 14
                    "q = \"\\x00\"\n"           // 15
                    "e[] = \"\"\n"              // 16
                    "[unterminated\n"           // 17
                    "[\\\\]\n"                  // 18
                    "after = lost\n"            // 19
                    "[K]\n"                     // 20
                    "c = a\x01z\n"              // 21
                    "last = 2\n");              // 22
    std::vector<RegistryProblem> problems;
    ASSERT_TRUE(RegistryCheck(problems));
    std::vector<int64_t> lines;
    for (const RegistryProblem& p : problems) lines.push_back(p.line);
    EXPECT_EQ(lines, (std::vector<int64_t>{1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 21}));
    EXPECT_EQ(Query("K", "good"), std::string("1\0", 2));
    EXPECT_EQ(Query("K", "last"), std::string("2\0", 2));
    EXPECT_EQ(Query("K", "n"), "<missing>");
}

TEST_F(RegistryTest, QueriesAreShapedLikeTheRegistrys) {
    WriteText(path, "[K]\ntext = abc\n[K\\B]\n[K\\a]\n[k\\C\\deep]\n");
    RegistryKey key = Open("K");
    ASSERT_NE(key, nullptr);
    size_t size = 0;
    uint32_t type = 0;
    ASSERT_TRUE(RegistryQueryValue(key, "TEXT", &type, nullptr, &size));
    EXPECT_EQ(size, 4u);
    char buffer[8] = "zzzzzzz";
    size = 3;
    EXPECT_FALSE(RegistryQueryValue(key, "text", &type, buffer, &size));
    EXPECT_EQ(LastError(), ERANGE);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buffer[0], 'z');
    size = sizeof buffer;
    ASSERT_TRUE(RegistryQueryValue(key, "text", &type, buffer, &size));
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(buffer, "abc");

    // Subkeys in file order, with the spelling first seen.
    std::vector<std::string> names;
    char name[16];
    for (uint32_t i = 0;; ++i) {
        size_t n = sizeof name;
        if (!RegistryEnumerateSubkey(key, i, name, &n)) {
            EXPECT_EQ(LastError(), ENOENT);
            break;
        }
        EXPECT_EQ(n, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "C"}));
    size_t tiny = 1;
    EXPECT_FALSE(RegistryEnumerateSubkey(key, 0, name, &tiny));
    EXPECT_EQ(LastError(), ERANGE);
    EXPECT_EQ(tiny, 2u);
    RegistryCloseKey(key);

    // A missing file is an empty registry.
    Use("absent.conf");
    EXPECT_EQ(Open("K"), nullptr);
    EXPECT_EQ(LastError(), ENOENT);
}

TEST_F(RegistryTest, WritesRoundTripEveryByteAndRefuseBadNames) {
    RegistryKey key = nullptr;
    ASSERT_TRUE(RegistryCreateKey(LocalMachineKey(), "SOFTWARE\\Vorn\\Shop", &key));
    std::string every;
    for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
    std::string awkward[] = {every, " lead", "trail ", "\"quoted\"", "[]", "dword:5", "#hash", "x = y", "\\"};
    for (size_t i = 0; i < std::size(awkward); ++i) {
        std::string name = "v" + std::to_string(i);
        ASSERT_TRUE(RegistrySetValue(key, name.c_str(), kRegistryString, awkward[i].c_str(), awkward[i].size() + 1));
    }
    std::string list;
    for (const std::string& entry : awkward) list.append(entry).push_back('\0');
    list.push_back('\0');
    ASSERT_TRUE(RegistrySetValue(key, "list", kRegistryMultiString, list.data(), list.size()));
    ASSERT_TRUE(RegistrySetValue(key, "empty", kRegistryMultiString, "\0", 1));
    ASSERT_TRUE(RegistrySetValue(key, "emptytext", kRegistryString, "", 0));
    for (uint32_t n : {0u, 1u, 0x7fffffffu, 0x80000000u, 0xffffffffu}) {
        std::string name = "n" + std::to_string(n);
        ASSERT_TRUE(RegistrySetValue(key, name.c_str(), kRegistryNumber, Number(n).data(), 4));
    }
    const char* refused[] = {"", "a\\b", "a[", "b]", "c=d", "tab\tin", " lead", "trail ", "#x", ";x", "nl\n"};
    for (const char* name : refused) {
        EXPECT_FALSE(RegistrySetValue(key, name, kRegistryString, "x", 2)) << name;
        EXPECT_EQ(LastError(), EINVAL);
    }
    EXPECT_FALSE(RegistrySetValue(key, "n", kRegistryNumber, "abc", 3));
    EXPECT_FALSE(RegistrySetValue(key, "n", 99, "abc", 3));
    RegistryKey bad = nullptr;
    EXPECT_FALSE(RegistryCreateKey(LocalMachineKey(), "SOFTWARE\\a]b", &bad));
    RegistryCloseKey(key);

    // Read back through a fresh parse of the written file.
    std::string copy = dir / "copy.conf";
    WriteText(copy, test::ReadText(path));
    Use("copy.conf");
    std::vector<RegistryProblem> problems;
    ASSERT_TRUE(RegistryCheck(problems));
    EXPECT_TRUE(problems.empty()) << problems.front().line << ": " << problems.front().reason;
    key = Open("software\\vorn\\shop");
    ASSERT_NE(key, nullptr);
    for (size_t i = 0; i < std::size(awkward); ++i)
        EXPECT_EQ(Query(key, ("v" + std::to_string(i)).c_str()), awkward[i] + '\0') << i;
    EXPECT_EQ(Query(key, "list"), list);
    EXPECT_EQ(Query(key, "empty"), std::string("\0", 1));
    EXPECT_EQ(Query(key, "emptytext"), std::string("\0", 1));
    for (uint32_t n : {0u, 1u, 0x7fffffffu, 0x80000000u, 0xffffffffu})
        EXPECT_EQ(Query(key, ("n" + std::to_string(n)).c_str()), Number(n)) << n;
    ASSERT_TRUE(RegistryDeleteValue(key, "V0"));
    EXPECT_EQ(Query(key, "v0"), "<missing>");
    EXPECT_FALSE(RegistryDeleteValue(key, "v0"));
    EXPECT_EQ(LastError(), ENOENT);
    RegistryCloseKey(key);
}

TEST_F(RegistryTest, HostileFilesNeverCrashTheParser) {
    std::mt19937 random(11);
    std::vector<std::string> files;
    for (int round = 0; round < 40; ++round) {
        std::string text(1 + random() % 4000, '\0');
        for (char& c : text) c = static_cast<char>(random());
        files.push_back(text);
        // Plausible lines with damage, NULs among them.
        std::string lines = "[K]\n";
        const char* pieces[] = {"a = ", "b[] = ", "\"", "\\x", "dword:", "[", "]", "\\", "=", "\0", "\r", "\n", "0x"};
        for (int i = 0; i < 300; ++i) lines += std::string(pieces[random() % std::size(pieces)], 1 + (i % 3 == 0));
        files.push_back(lines);
    }
    files.push_back("[K]\nbig = " + std::string(1 << 20, 'x') + "\nafter = 1\n");
    files.push_back("[" + std::string(1 << 20, 'k') + "]\nv = 1\n");
    files.push_back("[K]\nbig[] = \"" + std::string(1 << 20, 'y') + "\n");
    for (const std::string& text : files) {
        WriteText(path, text);
        std::vector<RegistryProblem> problems;
        ASSERT_TRUE(RegistryCheck(problems));
        for (const RegistryProblem& p : problems) EXPECT_GE(p.line, 1);
        if (RegistryKey key = Open("K")) {
            char name[64];
            size_t n = sizeof name;
            RegistryEnumerateSubkey(key, 0, name, &n);
            Query(key, "a");
            RegistryCloseKey(key);
        }
    }
    EXPECT_EQ(Query("K", "after"), std::string("<missing>")); // the last file
    WriteText(path, "[K]\nbig = " + std::string(1 << 20, 'x') + "\nafter = 1\n");
    EXPECT_EQ(Query("K", "big").size(), (1u << 20) + 1);
    EXPECT_EQ(Query("K", "after"), std::string("1\0", 2));
}

TEST_F(RegistryTest, AWalkSeesOneVersionWhileTheFileIsRewritten) {
    RegistryKey writer = nullptr;
    ASSERT_TRUE(RegistryCreateKey(LocalMachineKey(), "W\\Inner", &writer));
    ASSERT_TRUE(RegistrySetValue(writer, "a", kRegistryNumber, Number(0).data(), 4));
    ASSERT_TRUE(RegistrySetValue(writer, "b", kRegistryNumber, Number(0).data(), 4));
    std::atomic<bool> done{false};
    std::atomic<int> walks{0}, mixed{0}, backwards{0};
    std::thread walker([&] {
        uint32_t last = 0;
        while (!done.load()) {
            RegistryKey outer = nullptr, inner = nullptr;
            if (!RegistryOpenKey(LocalMachineKey(), "W", &outer)) continue;
            std::string a, b;
            if (RegistryOpenKey(outer, "Inner", &inner)) {
                a = Query(inner, "a");
                platform::SleepMilliseconds(0);
                RegistryCloseKey(inner);
            }
            // Opened later from the same outer key: still the outer key's version.
            if (RegistryOpenKey(outer, "Inner", &inner)) {
                b = Query(inner, "b");
                RegistryCloseKey(inner);
            }
            RegistryCloseKey(outer);
            auto word = [](const std::string& v) {
                return v.size() == 4 ? static_cast<uint32_t>(static_cast<unsigned char>(v[0]) |
                                                             static_cast<unsigned char>(v[1]) << 8)
                                     : 0u;
            };
            // In any one version a equals b or leads it by one; b ahead of a
            // would mean the second read saw a newer version than the first.
            if (word(b) > word(a) || word(a) > word(b) + 1) ++mixed;
            if (word(a) < last) ++backwards;
            last = word(a);
            ++walks;
        }
    });
    for (uint32_t i = 1; i <= 500; ++i) {
        // a first, b second: a walk that mixed versions would see them differ.
        ASSERT_TRUE(RegistrySetValue(writer, "a", kRegistryNumber, Number(i).data(), 4));
        ASSERT_TRUE(RegistrySetValue(writer, "b", kRegistryNumber, Number(i).data(), 4));
    }
    done = true;
    walker.join();
    RegistryCloseKey(writer);
    EXPECT_GT(walks.load(), 0);
    EXPECT_EQ(backwards.load(), 0);
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(Query("W\\Inner", "a"), Number(500));
}

TEST_F(RegistryTest, ForkedWritersLoseNoChange) {
    WriteText(path, "[Shared]\nkeep = yes\n");
    std::vector<pid_t> children;
    for (char writer : {'a', 'b'}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < 60; ++i) {
                RegistryKey key = nullptr;
                if (!RegistryCreateKey(LocalMachineKey(), "Shared", &key)) {
                    ++failures;
                    continue;
                }
                std::string name = std::string(1, writer) + std::to_string(i);
                if (!RegistrySetValue(key, name.c_str(), kRegistryString, name.c_str(), name.size() + 1)) ++failures;
                RegistryCloseKey(key);
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    RegistryKey key = Open("Shared");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(Query(key, "keep"), std::string("yes\0", 4));
    for (char writer : {'a', 'b'}) {
        for (int i = 0; i < 60; ++i) {
            std::string name = std::string(1, writer) + std::to_string(i);
            EXPECT_EQ(Query(key, name.c_str()), name + '\0');
        }
    }
    RegistryCloseKey(key);
}

// A write the system refuses reports the system's reason.
TEST_F(RegistryTest, RefusedWritesReportTheSystemsReason) {
    RegistryKey key = nullptr;
    WriteText(dir / "plain", "a file, not a folder");
    Use("plain/registry.conf");
    EXPECT_FALSE(RegistryCreateKey(LocalMachineKey(), "SOFTWARE\\Vorn", &key));
    EXPECT_EQ(LastError(), ENOTDIR);

    // A folder the writer may read but not write; root may write anywhere, so
    // a child without its rights tries.
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "readonly").c_str(), 0755), 0);
    WriteText(dir / "readonly/registry.conf", "[K]\nv = 1\n");
    ASSERT_EQ(chmod((dir / "readonly").c_str(), 0555), 0);
    Use("readonly/registry.conf");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
        if (!RegistryOpenKey(LocalMachineKey(), "K", &key)) _exit(11); // reading still works
        if (RegistrySetValue(key, "v", kRegistryString, "2", 2)) _exit(12);
        _exit(LastError() == EACCES ? 0 : LastError() % 256);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << status;
    chmod((dir / "readonly").c_str(), 0755);
}

} // namespace
} // namespace vorn::platform
