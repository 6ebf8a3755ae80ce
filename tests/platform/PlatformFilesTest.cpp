#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/ThreadSanitizer.h"
#include "platform/Time.h"

#include "tests/platform/PlatformTestSupport.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cstdio>
#include <functional>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace vorn::platform;
using vorn::platform::test::ReadText;
using vorn::platform::test::ScratchDir;
using vorn::platform::test::WriteText;

namespace {

std::string ReadAll(FileHandle& file) {
    std::string out(4096, '\0');
    const int64_t n = file.Read(out.data(), static_cast<int64_t>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

} // namespace

TEST(PlatformFiles, OpenModeBits) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "f.txt";

    FileHandle missing;
    EXPECT_FALSE(missing.Open(path.c_str(), kOpenRead));
    EXPECT_EQ(missing.Error(), ENOENT);
    EXPECT_TRUE(IsNotFound(LastError()));

    // Exclusive create makes the file, then refuses it.
    {
        FileHandle f;
        ASSERT_TRUE(f.Open(path.c_str(), kOpenRead | kOpenWrite | kOpenExclusive));
        EXPECT_EQ(f.Write("hello world", 11), 11);
        FileHandle again;
        EXPECT_FALSE(again.Open(path.c_str(), kOpenWrite | kOpenExclusive));
        EXPECT_TRUE(IsAlreadyExists(again.Error()));
        EXPECT_FALSE(f.Open(path.c_str(), kOpenRead)) << "an open handle is not opened twice";
        EXPECT_EQ(f.Error(), EBUSY);
    }
    // Create keeps the content and starts at 0.
    {
        FileHandle f;
        ASSERT_TRUE(f.Open(path.c_str(), kOpenRead | kOpenCreate));
        EXPECT_EQ(f.Tell(), 0);
        EXPECT_EQ(ReadAll(f), "hello world");
        EXPECT_EQ(f.Write("x", 1), -1) << "a read-only handle cannot write";
    }
    // Append starts at the end; a later seek is honoured (no O_APPEND).
    {
        FileHandle f;
        ASSERT_TRUE(f.Open(path.c_str(), kOpenRead | kOpenWrite | kOpenAppend));
        EXPECT_EQ(f.Tell(), 11);
        EXPECT_EQ(f.Write("!", 1), 1);
        EXPECT_EQ(f.Seek(0), 0);
        EXPECT_EQ(f.Write("J", 1), 1);
        EXPECT_EQ(f.Length(), 12);
        EXPECT_EQ(f.Tell(), 1) << "Length leaves the position alone";
    }
    EXPECT_EQ(ReadText(path), "Jello world!");
    // Truncate empties an existing file; append creates a missing one.
    {
        FileHandle f;
        ASSERT_TRUE(f.Open(path.c_str(), kOpenWrite | kOpenTruncate));
        EXPECT_EQ(f.Length(), 0);
        FileHandle g;
        ASSERT_TRUE(g.Open((dir / "new.txt").c_str(), kOpenWrite | kOpenAppend));
        EXPECT_EQ(g.Tell(), 0);
    }
}

TEST(PlatformFiles, DirectoriesCannotBeOpenedAsFiles) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    for (int mode : {kOpenRead, kOpenRead | kOpenWrite, kOpenRead | kOpenCreate, kOpenWrite | kOpenTruncate}) {
        FileHandle f;
        EXPECT_FALSE(f.Open(dir.Path().c_str(), mode)) << mode;
        EXPECT_FALSE(f.IsOpen());
        EXPECT_EQ(f.Error(), EISDIR) << mode;
    }
    EXPECT_FALSE(IsOpenInProcess(dir.Path().c_str()));
}

TEST(PlatformFiles, ReopenRestoresPositionAndNeverCreatesOrTruncates) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "pooled.txt";
    FileHandle f;
    ASSERT_TRUE(f.Open(path.c_str(), kOpenRead | kOpenWrite | kOpenTruncate));
    ASSERT_EQ(f.Write("0123456789", 10), 10);
    ASSERT_EQ(f.Seek(4), 4);
    const int64_t saved = f.Tell();
    ASSERT_TRUE(f.Close());
    EXPECT_TRUE(f.Close()) << "closing twice is harmless";

    ASSERT_TRUE(f.Reopen(path.c_str(), kOpenRead | kOpenWrite | kOpenTruncate, saved));
    EXPECT_EQ(f.Length(), 10);
    char buffer[3] = {};
    EXPECT_EQ(f.Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "456");
    f.Close();

    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_FALSE(f.Reopen(path.c_str(), kOpenRead | kOpenWrite | kOpenCreate, 0));
    EXPECT_EQ(f.Error(), ENOENT);
    bool exists = true;
    ASSERT_TRUE(PathExists(path.c_str(), exists));
    EXPECT_FALSE(exists);
}

// Writers of one file through handles of their own, reopened or not, each
// write landing at the end as it is then.
TEST(PlatformFiles, AppendWritesGoToTheEndAlsoAfterReopen) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "log.txt";
    FileHandle a, b;
    ASSERT_TRUE(a.Open(path.c_str(), kOpenWrite | kOpenCreate | kOpenAppendWrites));
    ASSERT_TRUE(b.Open(path.c_str(), kOpenWrite | kOpenCreate | kOpenAppendWrites));
    ASSERT_EQ(a.Write("a1", 2), 2);
    ASSERT_EQ(b.Write("b1", 2), 2);
    ASSERT_EQ(a.Seek(0), 0);
    ASSERT_EQ(a.Write("a2", 2), 2);
    ASSERT_TRUE(a.Close());
    ASSERT_TRUE(a.Reopen(path.c_str(), kOpenWrite | kOpenAppendWrites, 0));
    ASSERT_EQ(b.Write("b2", 2), 2);
    ASSERT_EQ(a.Write("a3", 2), 2);
    EXPECT_EQ(ReadText(path), "a1b1a2b2a3");
}

TEST(PlatformFiles, StatQueriesWorkOnReadOnlyFiles) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "ro.txt";
    WriteText(path, "twelve bytes");
    ASSERT_TRUE(SetModifiedTime(path.c_str(), INT64_C(4102444800))); // 2100-01-01, past 2038
    ASSERT_TRUE(ChangeMode(path.c_str(), 0444));

    int64_t size = -1, seconds = 0;
    int mode = 0;
    bool isDir = true, exists = false;
    ASSERT_TRUE(PathSize(path.c_str(), size));
    EXPECT_EQ(size, 12);
    ASSERT_TRUE(PathModifiedTime(path.c_str(), seconds));
    EXPECT_EQ(seconds, INT64_C(4102444800));
    ASSERT_TRUE(PathMode(path.c_str(), mode));
    EXPECT_EQ(mode, 0444);
    ASSERT_TRUE(PathIsDirectory(path.c_str(), isDir));
    EXPECT_FALSE(isDir);
    ASSERT_TRUE(PathExists(path.c_str(), exists));
    EXPECT_TRUE(exists);
    ASSERT_TRUE(PathIsDirectory(dir.Path().c_str(), isDir));
    EXPECT_TRUE(isDir);

    const std::string missing = dir / "nope/x";
    ASSERT_TRUE(PathExists(missing.c_str(), exists)) << "a missing directory on the way is not an error";
    EXPECT_FALSE(exists);
    EXPECT_FALSE(PathSize(missing.c_str(), size));
    EXPECT_TRUE(IsNotFound(LastError()));
    EXPECT_FALSE(IsOpenInProcess(path.c_str())) << "queries open nothing";
}

TEST(PlatformFiles, TouchUsesTheInjectedClockAndCreatesMissingFiles) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "touched";
    SetWallClock([] { return TimeValue{INT64_C(3000000000), 250000}; });
    const bool touched = TouchPath(path.c_str());
    SetWallClock(nullptr);
    ASSERT_TRUE(touched);
    int64_t seconds = 0;
    ASSERT_TRUE(PathModifiedTime(path.c_str(), seconds));
    EXPECT_EQ(seconds, INT64_C(3000000000));

    ASSERT_TRUE(SetModifiedTime(path.c_str(), 1000));
    ASSERT_TRUE(TouchPath(path.c_str()));
    ASSERT_TRUE(PathModifiedTime(path.c_str(), seconds));
    EXPECT_GT(seconds, 1000);
    EXPECT_FALSE(TouchPath((dir / "no/such/dir").c_str()));
}

TEST(PlatformFiles, DirectoryOperationsAndListing) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string sub = dir / "sub";
    ASSERT_TRUE(MakeDirectory(sub.c_str()));
    EXPECT_FALSE(MakeDirectory(sub.c_str()));
    EXPECT_TRUE(IsAlreadyExists(LastError()));
    WriteText(dir / "a", "1");
    WriteText(sub + "/inner", "2");
    ASSERT_TRUE(MakeSymbolicLink("a", (dir / "link").c_str()));
    FileInfo info;
    ASSERT_TRUE(StatPath((dir / "link").c_str(), info));
    EXPECT_TRUE(info.isRegular);
    EXPECT_EQ(info.size, 1);

    std::set<std::string> names;
    DirectoryReader reader;
    ASSERT_TRUE(reader.Open(dir.Path().c_str()));
    while (const char* name = reader.Next()) names.insert(name);
    EXPECT_FALSE(reader.Failed());
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "link", "sub"}));
    EXPECT_FALSE(reader.Open((dir / "missing").c_str()));
    EXPECT_TRUE(reader.Failed());
    EXPECT_EQ(reader.Next(), nullptr);

    EXPECT_FALSE(RemoveDirectory(sub.c_str())) << "not empty";
    ASSERT_TRUE(DeleteFile((sub + "/inner").c_str()));
    EXPECT_TRUE(RemoveDirectory(sub.c_str()));
}

TEST(PlatformFiles, RenameAndDeleteRefusedWhileOpenInProcess) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string a = dir / "a", b = dir / "b", c = dir / "c";
    WriteText(a, "A");
    WriteText(c, "C");
    FileHandle first, second;
    ASSERT_TRUE(first.Open(a.c_str(), kOpenRead | kOpenWrite));
    ASSERT_TRUE(second.Open(a.c_str(), kOpenRead));
    EXPECT_TRUE(IsOpenInProcess(a.c_str()));

    EXPECT_FALSE(RenameFile(a.c_str(), b.c_str()));
    EXPECT_TRUE(IsAccessDenied(LastError()));
    EXPECT_FALSE(RenameFile(c.c_str(), a.c_str())) << "an open target is not replaced";
    EXPECT_TRUE(IsAccessDenied(LastError()));
    EXPECT_FALSE(DeleteFile(a.c_str()));
    EXPECT_TRUE(IsAccessDenied(LastError()));
    EXPECT_FALSE(RenameFileNoReplace(a.c_str(), b.c_str()));
    EXPECT_TRUE(IsAccessDenied(LastError()));
    EXPECT_FALSE(CopyFile(c.c_str(), a.c_str())) << "an open target is not overwritten";
    EXPECT_TRUE(IsAccessDenied(LastError()));
    EXPECT_EQ(ReadText(a), "A");
    EXPECT_EQ(ReadText(c), "C");

    // Every counting handle must go.
    ASSERT_TRUE(first.Close());
    EXPECT_FALSE(DeleteFile(a.c_str()));
    ASSERT_TRUE(second.Close());
    EXPECT_FALSE(IsOpenInProcess(a.c_str()));
    ASSERT_TRUE(RenameFile(a.c_str(), b.c_str()));
    EXPECT_EQ(ReadText(b), "A");

    // A share-delete reader does not stand in the way.
    FileHandle reader;
    ASSERT_TRUE(reader.Open(b.c_str(), kOpenRead | kOpenShareDelete));
    EXPECT_FALSE(IsOpenInProcess(b.c_str()));
    EXPECT_TRUE(DeleteFile(b.c_str()));
    EXPECT_EQ(ReadAll(reader), "A");
}

TEST(PlatformFiles, RenameReplacesAtomicallyInPlace) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string from = dir / "new", to = dir / "old";
    WriteText(from, "new content");
    WriteText(to, "old content, longer");
    FileInfo before;
    ASSERT_TRUE(StatPath(from.c_str(), before));
    ASSERT_TRUE(RenameFile(from.c_str(), to.c_str()));
    FileInfo after;
    ASSERT_TRUE(StatPath(to.c_str(), after));
    EXPECT_EQ(after.inode, before.inode) << "the target is the renamed file, not a copy";
    EXPECT_EQ(ReadText(to), "new content");
    bool exists = true;
    ASSERT_TRUE(PathExists(from.c_str(), exists));
    EXPECT_FALSE(exists);
    EXPECT_FALSE(RenameFile(from.c_str(), to.c_str()));
    EXPECT_TRUE(IsNotFound(LastError()));
}

TEST(PlatformFiles, RenameAcrossFileSystemsCopies) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    struct stat here{}, shm{};
    if (stat(dir.Path().c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev ||
        access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second writable file system";
    }
    const std::string from = "/dev/shm/vorn-platform-move-" + std::to_string(getpid());
    const std::string to = dir / "moved";
    WriteText(from, "crossing");
    WriteText(to, "old");
    ASSERT_TRUE(ChangeMode(from.c_str(), 0640));
    EXPECT_TRUE(RenameFile(from.c_str(), to.c_str()));
    EXPECT_EQ(ReadText(to), "crossing");
    int mode = 0;
    ASSERT_TRUE(PathMode(to.c_str(), mode));
    EXPECT_EQ(mode, 0640);
    bool exists = true;
    ASSERT_TRUE(PathExists(from.c_str(), exists));
    EXPECT_FALSE(exists);
    unlink(from.c_str());
    std::set<std::string> names;
    DirectoryReader reader;
    ASSERT_TRUE(reader.Open(dir.Path().c_str()));
    while (const char* name = reader.Next()) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "moved"})) << "no stray copy is left behind";
}

TEST(PlatformFiles, RenameNoReplaceRefusesExistingTargets) {
    for (bool fallback : {false, true}) {
        SCOPED_TRACE(fallback ? "link and unlink" : "renameat2");
        test_hooks::ForceNoReplaceFallback(fallback);
        ScratchDir dir;
        ASSERT_TRUE(dir.Ok());
        const std::string lock = dir / "lock", mine = dir / "lock.mine", theirs = dir / "lock.theirs";
        WriteText(mine, "mine");
        WriteText(theirs, "theirs");
        EXPECT_TRUE(RenameFileNoReplace(mine.c_str(), lock.c_str()));
        EXPECT_FALSE(RenameFileNoReplace(theirs.c_str(), lock.c_str()));
        EXPECT_TRUE(IsAlreadyExists(LastError()));
        EXPECT_EQ(ReadText(lock), "mine");
        EXPECT_EQ(ReadText(theirs), "theirs");
        bool exists = true;
        ASSERT_TRUE(PathExists(mine.c_str(), exists));
        EXPECT_FALSE(exists) << "the source name is gone";

        // Racing threads: exactly one takes the name.
        constexpr int kThreads = 8;
        std::barrier start(kThreads);
        std::vector<int> won(kThreads, 0);
        std::vector<std::thread> threads;
        const std::string contested = dir / "contested";
        for (int i = 0; i < kThreads; ++i) {
            const std::string temp = contested + "." + std::to_string(i);
            WriteText(temp, std::to_string(i));
            threads.emplace_back([&, i, temp] {
                start.arrive_and_wait();
                won[i] = RenameFileNoReplace(temp.c_str(), contested.c_str()) ? 1 : 0;
            });
        }
        for (auto& t : threads) t.join();
        int winners = 0, winner = -1;
        for (int i = 0; i < kThreads; ++i) {
            winners += won[i];
            if (won[i]) winner = i;
        }
        EXPECT_EQ(winners, 1);
        EXPECT_EQ(ReadText(contested), std::to_string(winner));
    }
    test_hooks::ForceNoReplaceFallback(false);
}

TEST(PlatformFiles, CopyOverwritesAndRefusesItself) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string from = dir / "from", to = dir / "to";
    std::string big(200000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    WriteText(from, big);
    WriteText(to, std::string(300000, 'z'));
    ASSERT_TRUE(ChangeMode(from.c_str(), 0600));
    ASSERT_TRUE(CopyFile(from.c_str(), to.c_str()));
    EXPECT_EQ(ReadText(to), big) << "a longer target is cut to the copied length";
    int mode = 0;
    ASSERT_TRUE(PathMode(to.c_str(), mode));
    EXPECT_EQ(mode, 0600);

    EXPECT_FALSE(CopyFile(from.c_str(), from.c_str()));
    EXPECT_EQ(LastError(), EINVAL);
    ASSERT_TRUE(MakeSymbolicLink(from.c_str(), (dir / "alias").c_str()));
    EXPECT_FALSE(CopyFile(from.c_str(), (dir / "alias").c_str())) << "the same file by another name";
    EXPECT_EQ(ReadText(from), big) << "the source survives";
    EXPECT_FALSE(CopyFile(dir.Path().c_str(), (dir / "d").c_str()));
    EXPECT_EQ(LastError(), EISDIR);
    EXPECT_FALSE(CopyFile((dir / "missing").c_str(), to.c_str()));
    EXPECT_EQ(ReadText(to), big) << "a failed copy leaves the target alone";
}

TEST(PlatformFiles, ReadOnlyMapping) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "mapped";
    std::string bytes(10000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    WriteText(path, bytes);
    Mapping map;
    {
        FileHandle f;
        ASSERT_TRUE(f.Open(path.c_str(), kOpenRead));
        EXPECT_EQ(map.Map(f, 0, 0), nullptr) << "length 0";
        EXPECT_EQ(LastError(), EINVAL);
        EXPECT_EQ(map.Map(f, 9000, 1001), nullptr) << "past the end";
        EXPECT_EQ(map.Map(f, -1, 10), nullptr);
        EXPECT_FALSE(map.IsMapped());

        const char* view = static_cast<const char*>(map.Map(f, 4097, 5000)); // offset not page-aligned
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(memcmp(view, bytes.data() + 4097, 5000), 0);
        const char* whole = static_cast<const char*>(map.Map(f, 0, f.Length()));
        ASSERT_NE(whole, nullptr);
        EXPECT_EQ(map.Length(), 10000);
        f.Close();
        EXPECT_EQ(memcmp(whole, bytes.data(), bytes.size()), 0) << "the view outlives the handle";
    }
    map.Unmap();
    EXPECT_EQ(map.Data(), nullptr);
    FileHandle closed;
    EXPECT_EQ(map.Map(closed, 0, 1), nullptr);
}

// Another process may cut a file short under a view: a copy from bytes no
// longer in the file fails instead of ending the process; a touch of them
// outside a copy still ends it, as it would without the copy's guard.
TEST(PlatformFiles, CopiesFromAViewOfAFileCutShortFail) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "cut";
    const long page = sysconf(_SC_PAGESIZE);
    WriteText(path, std::string(static_cast<size_t>(3 * page), 'x'));
    FileHandle file;
    ASSERT_TRUE(file.Open(path.c_str(), kOpenRead));
    EXPECT_TRUE(SharesOnePageCache(file)) << "the tests' directories lie on a local disk";
    Mapping map;
    const char* view = static_cast<const char*>(map.Map(file, 0, 3 * page));
    ASSERT_NE(view, nullptr);
    char copy[16] = {};
    ASSERT_TRUE(CopyFromMapping(copy, view + 2 * page, sizeof copy));
    ASSERT_EQ(truncate(path.c_str(), page + 10), 0);
    struct Case {
        int64_t at;
        bool copied;
    } const cases[] = {{0, true}, {page, true}, {page + 16, true}, {2 * page, false}, {2 * page + 100, false}};
    for (const Case& c : cases) {
        std::memset(copy, 'q', sizeof copy);
        EXPECT_EQ(CopyFromMapping(copy, view + c.at, sizeof copy), c.copied) << c.at;
    }
    std::thread other([&] { EXPECT_FALSE(CopyFromMapping(copy, view + 2 * page, 1)) << "on another thread"; });
    other.join();
    EXPECT_TRUE(CopyFromMapping(copy, view, 4)) << "a failed copy leaves the guard as it was";
#ifndef VORN_THREAD_SANITIZER
    // (ThreadSanitizer files the child's expected death as a report.)
    EXPECT_DEATH({ volatile char c = view[2 * page]; (void)c; }, "");
#endif
}

TEST(PlatformFiles, ExchangeByRenamesSwapsOrLeavesBothAsTheyWere) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string a = dir / "table.dbf", b = dir / "table.new";
    WriteText(a, "old rows");
    WriteText(b, "packed rows");
    ASSERT_TRUE(ExchangeByRenames(a.c_str(), b.c_str()));
    EXPECT_EQ(ReadText(a), "packed rows");
    EXPECT_EQ(ReadText(b), "old rows");

    // A missing partner moves nothing; no name of the exchange is left behind.
    const std::string missing = dir / "absent";
    EXPECT_FALSE(ExchangeByRenames(a.c_str(), missing.c_str()));
    EXPECT_TRUE(IsNotFound(LastError()));
    EXPECT_EQ(ReadText(a), "packed rows");
    std::set<std::string> names;
    DirectoryReader reader;
    ASSERT_TRUE(reader.Open(dir.Path().c_str()));
    while (const char* name = reader.Next()) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "table.dbf", "table.new"}));
}

namespace {

// Shared stat results: each change made here is seen by the very next
// question, whatever kind of change it is.
TEST(PlatformFiles, SharedStatResultsSeeEveryChangeAtOnce) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    std::string file = dir / "page.vrc";
    std::string folder = dir / "www";
    auto size = [&](const std::string& path) -> int64_t {
        FileInfo info;
        return StatPathShared(path.c_str(), info) ? info.size : -LastError();
    };
    WriteText(file, "one");
    EXPECT_EQ(size(file), 3);
    EXPECT_EQ(size(file), 3); // kept
    struct Change {
        const char* what;
        std::function<void()> make;
        int64_t expected;
    };
    std::string other = dir / "other";
    std::vector<Change> changes = {
        {"rewritten", [&] { WriteText(file, "three"); }, 5},
        {"touched", [&] { ASSERT_TRUE(SetModifiedTime(file.c_str(), NowSeconds() - 60)); }, 5},
        {"appended", [&] { std::FILE* f = std::fopen(file.c_str(), "a"); std::fputs("!", f); std::fclose(f); }, 6},
        {"renamed over", [&] { WriteText(other, "ab"); ASSERT_EQ(::rename(other.c_str(), file.c_str()), 0); }, 2},
        {"removed", [&] { ASSERT_EQ(::remove(file.c_str()), 0); }, -ENOENT},
        {"made again", [&] { WriteText(file, "four"); }, 4},
    };
    for (const Change& c : changes) {
        c.make();
        EXPECT_EQ(size(file), c.expected) << c.what;
        EXPECT_EQ(size(file), c.expected) << c.what;
    }
    // Folders too, and a relative path is asked every time.
    FileInfo info;
    EXPECT_FALSE(StatPathShared(folder.c_str(), info));
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(StatPathShared(folder.c_str(), info));
    EXPECT_TRUE(info.isDirectory);
    ASSERT_EQ(rmdir(folder.c_str()), 0);
    EXPECT_FALSE(StatPathShared(folder.c_str(), info));
    EXPECT_FALSE(StatPathShared("no-such-relative-name", info));
}

} // namespace
