#include "platform/Errors.h"
#include "platform/Files.h"

#include "tests/platform/PlatformTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace vorn::platform;
using vorn::platform::test::ScratchDir;
using vorn::platform::test::WriteText;

namespace {

constexpr int kRW = kOpenRead | kOpenWrite;

// Forks a child that opens the file anew and tries the lock; its exit code
// says what happened: 0 granted, 1 refused as a conflict, 2 anything else.
int ChildTries(const std::string& path, int64_t offset, int64_t length, bool exclusive) {
    const pid_t child = fork();
    if (child == 0) {
        FileHandle f;
        int code = 2;
        if (f.Open(path.c_str(), kRW)) {
            if (f.TryLock(offset, length, exclusive)) {
                code = 0;
            } else if (IsLockConflict(f.Error())) {
                code = 1;
            }
        }
        _exit(code);
    }
    if (child < 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

} // namespace

TEST(PlatformLocks, HandlesOfOneThreadExcludeEachOther) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "data";
    WriteText(path, "0123456789");
    FileHandle a, b;
    ASSERT_TRUE(a.Open(path.c_str(), kRW));
    ASSERT_TRUE(b.Open(path.c_str(), kRW));

    ASSERT_TRUE(a.TryLock(0, 10, true));
    EXPECT_FALSE(b.TryLock(5, 1, false));
    EXPECT_TRUE(IsLockConflict(b.Error()));
    EXPECT_FALSE(b.TryLock(9, 5, true));
    EXPECT_TRUE(b.TryLock(10, 5, true)) << "adjacent ranges do not overlap";

    // Past the end of the file.
    ASSERT_TRUE(a.TryLock(1000000, 100, false));
    EXPECT_TRUE(b.TryLock(1000050, 10, false)) << "shared ranges overlap";
    EXPECT_FALSE(b.TryLock(1000099, 1, true));

    EXPECT_TRUE(a.Unlock(0, 10));
    EXPECT_TRUE(b.TryLock(0, 10, true));
    EXPECT_FALSE(a.TryLock(3, 3, false));
    EXPECT_TRUE(IsLockConflict(a.Error()));
    EXPECT_EQ(a.HeldLockCount(), 1u);
    EXPECT_EQ(b.HeldLockCount(), 3u);

    // Closing a handle releases everything it held.
    ASSERT_TRUE(b.Close());
    EXPECT_FALSE(b.HoldsLocks());
    EXPECT_TRUE(a.TryLock(0, 15, true));
}

TEST(PlatformLocks, UnlockMustMatchAHeldRangeExactly) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "data";
    WriteText(path, "");
    FileHandle a, b;
    ASSERT_TRUE(a.Open(path.c_str(), kRW));
    ASSERT_TRUE(b.Open(path.c_str(), kRW));

    EXPECT_FALSE(a.Unlock(0, 10));
    EXPECT_EQ(a.Error(), ENOLCK);
    ASSERT_TRUE(a.TryLock(0, 10, true));
    EXPECT_FALSE(a.Unlock(0, 5)) << "a part of a range";
    EXPECT_FALSE(a.Unlock(0, 20)) << "more than the range";
    EXPECT_FALSE(b.Unlock(0, 10)) << "another handle's range";
    EXPECT_FALSE(b.TryLock(0, 1, false)) << "failed unlocks released nothing";
    EXPECT_TRUE(a.Unlock(0, 10));
    EXPECT_FALSE(a.Unlock(0, 10)) << "released once only";

    EXPECT_FALSE(a.TryLock(-1, 5, true));
    EXPECT_EQ(a.Error(), EINVAL);
    EXPECT_FALSE(a.TryLock(INT64_MAX, 2, true));
    EXPECT_EQ(a.Error(), EINVAL);
    FileHandle closed;
    EXPECT_FALSE(closed.TryLock(0, 1, true));
    EXPECT_EQ(closed.Error(), EBADF);
}

TEST(PlatformLocks, OwnRangesFollowWindowsRules) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "data";
    WriteText(path, "");
    FileHandle a, b;
    ASSERT_TRUE(a.Open(path.c_str(), kRW));
    ASSERT_TRUE(b.Open(path.c_str(), kRW));

    // Overlapping shared ranges of one handle are kept apart: releasing one
    // keeps the bytes the other still covers.
    ASSERT_TRUE(a.TryLock(0, 10, false));
    ASSERT_TRUE(a.TryLock(5, 10, false));
    ASSERT_TRUE(a.Unlock(0, 10));
    EXPECT_TRUE(b.TryLock(0, 5, true)) << "bytes 0-4 were released";
    EXPECT_FALSE(b.TryLock(5, 1, true)) << "bytes 5-14 are still held";
    EXPECT_FALSE(b.TryLock(14, 1, true));

    // The same shared range twice needs two unlocks.
    ASSERT_TRUE(a.TryLock(20, 5, false));
    ASSERT_TRUE(a.TryLock(20, 5, false));
    ASSERT_TRUE(a.Unlock(20, 5));
    EXPECT_FALSE(b.TryLock(20, 5, true));
    ASSERT_TRUE(a.Unlock(20, 5));
    EXPECT_TRUE(b.TryLock(20, 5, true));

    // A range that conflicts with this handle's own could never be granted.
    ASSERT_TRUE(a.TryLock(100, 10, true));
    EXPECT_FALSE(a.TryLock(105, 1, false));
    EXPECT_EQ(a.Error(), EDEADLK);
    EXPECT_FALSE(a.Lock(100, 10, true)) << "the waiting lock fails instead of hanging";
    EXPECT_EQ(a.Error(), EDEADLK);
    EXPECT_FALSE(a.TryLock(5, 1, true)) << "exclusive over an own shared range";
    EXPECT_EQ(a.Error(), EDEADLK);
}

TEST(PlatformLocks, ZeroLengthLocksNothing) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "data";
    WriteText(path, "abc");
    FileHandle a, b;
    ASSERT_TRUE(a.Open(path.c_str(), kRW));
    ASSERT_TRUE(b.Open(path.c_str(), kRW));
    ASSERT_TRUE(a.TryLock(0, 0, true));
    EXPECT_TRUE(b.TryLock(0, 100, true)) << "a zero-length lock is not 'to the end of the file'";
    EXPECT_TRUE(a.TryLock(1, 0, true)) << "nor does it conflict with anything";
    EXPECT_FALSE(a.Unlock(0, 1));
    EXPECT_TRUE(a.Unlock(0, 0));
    EXPECT_TRUE(a.Unlock(1, 0));
    EXPECT_FALSE(a.HoldsLocks());
}

TEST(PlatformLocks, ContentionBetweenProcesses) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "shared";
    WriteText(path, "data");
    FileHandle f;
    ASSERT_TRUE(f.Open(path.c_str(), kRW));
    ASSERT_TRUE(f.TryLock(0, 4, true));
    ASSERT_TRUE(f.TryLock(4096, 10, false));

    EXPECT_EQ(ChildTries(path, 2, 1, false), 1);
    EXPECT_EQ(ChildTries(path, 4000, 100, true), 1) << "overlaps the shared range past the end";
    EXPECT_EQ(ChildTries(path, 4100, 2, false), 0) << "shared with shared";
    EXPECT_EQ(ChildTries(path, 4, 4092, true), 0) << "the gap between the ranges is free";

    ASSERT_TRUE(f.Unlock(0, 4));
    EXPECT_EQ(ChildTries(path, 0, 4, true), 0);
}

TEST(PlatformLocks, ContentionBetweenThreads) {
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir / "shared";
    WriteText(path, "");

    // Of several threads trying at once, exactly one gets the range.
    constexpr int kThreads = 6;
    std::vector<FileHandle> handles(kThreads);
    for (auto& h : handles) ASSERT_TRUE(h.Open(path.c_str(), kRW));
    std::barrier start(kThreads);
    std::atomic<int> granted{0}, refused{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            if (handles[i].TryLock(10, 10, true)) {
                ++granted;
            } else if (IsLockConflict(handles[i].Error())) {
                ++refused;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(granted.load(), 1);
    EXPECT_EQ(refused.load(), kThreads - 1);

    // A waiting lock is granted once the holder lets go.
    int holder = -1;
    for (int i = 0; i < kThreads; ++i) {
        if (handles[i].HoldsLocks()) holder = i;
    }
    ASSERT_GE(holder, 0);
    const int waiter = (holder + 1) % kThreads;
    std::atomic<bool> waited{false};
    std::thread blocked([&] { waited = handles[waiter].Lock(15, 1, false); });
    ASSERT_TRUE(handles[holder].Unlock(10, 10));
    blocked.join();
    EXPECT_TRUE(waited.load());
    EXPECT_FALSE(handles[holder].TryLock(15, 1, true));
}
