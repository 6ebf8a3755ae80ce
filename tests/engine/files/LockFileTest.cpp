#include <gtest/gtest.h>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/files/PosixFile.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "tests/engine/files/FileTestSupport.h"

namespace vorn::test {
namespace {

class LockFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConfigureRoots(app, tree, false);
        app.settings.SetInteger(kConfigFileDelay, 5);
    }

    std::string DataPath(const std::string& name) const { return tree.Data() + "/" + name; }
    std::string OwnText() const {
        return std::to_string(platform::ProcessId()) + "!" + std::to_string(platform::ThreadId()) + ":testhost";
    }
    std::string TemporaryName(const std::string& name, const char* server = "testhost") const {
        return DataPath(name) + "." + server + "." + std::to_string(platform::ProcessId()) + "." +
               std::to_string(platform::ThreadId());
    }
    // No global deadline, and "filetimeout" of one second as the only bound.
    void BoundByFileTimeout() {
        app.settings.SetInteger(kConfigGlobalTimeout, 0);
        app.settings.SetInteger(kConfigFileTimeout, 1);
        app.ResetTimeLimit();
    }

    ScratchTree tree;
    FileTestApplication app;
};

TEST_F(LockFileTest, TakesAFreeLockAndRecognisesItsOwnThread) {
    ASSERT_EQ(app.files.LockFile(LocationData, "res.lck"), LockFileTaken) << app.files.ErrorText().Text();
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("res.lck")), OwnText());
    EXPECT_FALSE(ScratchTree::Exists(TemporaryName("res.lck")));

    EXPECT_EQ(app.files.LockFile(LocationData, "res.lck"), LockFileFailed);
    EXPECT_STREQ(app.files.ErrorText().Text(), "Possible deadlock detected");
    EXPECT_FALSE(ScratchTree::Exists(TemporaryName("res.lck")));

    // Without a thread id the owner text names the whole process: a deadlock too.
    ScratchTree::WriteFile(DataPath("p.lck"), std::to_string(platform::ProcessId()) + ":testhost");
    EXPECT_EQ(app.files.LockFile(LocationData, "p.lck"), LockFileFailed);
    EXPECT_STREQ(app.files.ErrorText().Text(), "Possible deadlock detected");

    // Releasing is deleting.
    ASSERT_TRUE(app.files.Delete(LocationData, "res.lck"));
    EXPECT_EQ(app.files.LockFile(LocationData, "res.lck"), LockFileTaken);
    EXPECT_EQ(app.files.LockFile(LocationData, "../res.lck"), LockFileFailed);
}

TEST_F(LockFileTest, LeftoverTemporaryOfThisThreadIsRemoved) {
    ScratchTree::WriteFile(TemporaryName("left.lck"), "junk from an earlier crash");
    EXPECT_EQ(app.files.LockFile(LocationData, "left.lck"), LockFileTaken) << app.files.ErrorText().Text();
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("left.lck")), OwnText());
    EXPECT_FALSE(ScratchTree::Exists(TemporaryName("left.lck")));
}

TEST_F(LockFileTest, ServerNameCannotMoveTheTemporaryFile) {
    app.serverName = "../x/y";
    ASSERT_EQ(app.files.LockFile(LocationData, "s.lck"), LockFileTaken) << app.files.ErrorText().Text();
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("s.lck")),
              std::to_string(platform::ProcessId()) + "!" + std::to_string(platform::ThreadId()) + ":../x/y");
    for (const auto& entry : std::filesystem::directory_iterator(tree.root))
        EXPECT_TRUE(entry.is_directory()) << entry.path();
}

TEST_F(LockFileTest, StaleLockOfADeadProcessIsTakenOver) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(platform::ProcessAlive(child));

    ScratchTree::WriteFile(DataPath("dead.lck"), std::to_string(child) + "!1:testhost");
    EXPECT_EQ(app.files.LockFile(LocationData, "dead.lck"), LockFileTaken) << app.files.ErrorText().Text();
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("dead.lck")), OwnText());
}

// Temporary files of waiters whose process died go when the next waiter
// begins to wait; those of live processes and of other servers stay, and so
// does one whose owner text names another owner.
TEST_F(LockFileTest, WaitersLeftoversGoWhenTheirProcessIsGone) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string dead = std::to_string(child);
    const std::string live = std::to_string(getppid());
    struct Leftover {
        std::string name;
        std::string text;
        bool removed;
    } leftovers[] = {
        {"q.lck.testhost." + dead + ".7", dead + "!7:testhost", true},
        {"q.lck.testhost." + dead + ".8", "", true},
        {"q.lck.testhost." + live + ".7", live + "!7:testhost", false},
        {"q.lck.elsewhere." + dead + ".7", dead + "!7:elsewhere", false},
        {"q.lck.testhost." + dead + ".9", dead + "!9:testhost.other", false},
        {"q.lck.testhost." + dead + ".7x", dead + "!7:testhost", false},
        {"q.lck.testhost.x" + dead + ".7", dead + "!7:testhost", false},
        {"r.lck.testhost." + dead + ".7", dead + "!7:testhost", false},
    };
    for (const Leftover& l : leftovers) ScratchTree::WriteFile(DataPath(l.name), l.text);

    // Held by a live process of this server: the wait times out, and cleans.
    BoundByFileTimeout();
    ScratchTree::WriteFile(DataPath("q.lck"), live + "!1:testhost");
    EXPECT_EQ(app.files.LockFile(LocationData, "q.lck"), LockFileTimedOut);
    for (const Leftover& l : leftovers)
        EXPECT_EQ(ScratchTree::Exists(DataPath(l.name)), !l.removed) << l.name;
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("q.lck")), live + "!1:testhost");

    // A free lock is taken without looking around.
    ScratchTree::WriteFile(DataPath("f.lck.testhost." + dead + ".7"), dead + "!7:testhost");
    EXPECT_EQ(app.files.LockFile(LocationData, "f.lck"), LockFileTaken);
    EXPECT_TRUE(ScratchTree::Exists(DataPath("f.lck.testhost." + dead + ".7")));
}

TEST_F(LockFileTest, LocksOfOtherServersExpire) {
    BoundByFileTimeout();
    app.lockExpiration = 60;
    const int64_t now = platform::NowSeconds();

    // Young: waited for until the bound.
    ScratchTree::WriteFile(DataPath("young.lck"), "4242!7:elsewhere");
    ASSERT_TRUE(platform::SetModifiedTime(DataPath("young.lck").c_str(), now - 10));
    EXPECT_EQ(app.files.LockFile(LocationData, "young.lck"), LockFileTimedOut);
    EXPECT_STREQ(app.files.ErrorText().Text(), "Timed out waiting for lock");
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("young.lck")), "4242!7:elsewhere");
    EXPECT_FALSE(ScratchTree::Exists(TemporaryName("young.lck")));

    // Old: removed and taken.
    ScratchTree::WriteFile(DataPath("old.lck"), "4242!7:elsewhere");
    ASSERT_TRUE(platform::SetModifiedTime(DataPath("old.lck").c_str(), now - 600));
    EXPECT_EQ(app.files.LockFile(LocationData, "old.lck"), LockFileTaken);
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("old.lck")), OwnText());

    // An unreadable owner counts as another server's; expiration 0 never expires.
    app.lockExpiration = 0;
    ScratchTree::WriteFile(DataPath("odd.lck"), "garbage without any structure");
    ASSERT_TRUE(platform::SetModifiedTime(DataPath("odd.lck").c_str(), now - 100000));
    EXPECT_EQ(app.files.LockFile(LocationData, "odd.lck"), LockFileTimedOut);
    EXPECT_TRUE(ScratchTree::Exists(DataPath("odd.lck")));
}

TEST_F(LockFileTest, WaitEndsOnTheTimeOutFlag) {
    ScratchTree::WriteFile(DataPath("held.lck"), "1!1:elsewhere");
    app.lockExpiration = 0;
    std::atomic<bool> started{false};
    std::thread watchdog([&] {
        started = true;
        platform::SleepMilliseconds(30);
        app.RequestStop();
    });
    while (!started) std::this_thread::yield();
    EXPECT_EQ(app.files.LockFile(LocationData, "held.lck"), LockFileTimedOut);
    watchdog.join();
    EXPECT_FALSE(ScratchTree::Exists(TemporaryName("held.lck")));
}

TEST_F(LockFileTest, WaitEndsAtThePassedDeadlineEvenWithoutAWatchdog) {
    ScratchTree::WriteFile(DataPath("held.lck"), "1!1:elsewhere");
    app.lockExpiration = 0;
    app.settings.SetInteger(kConfigGlobalTimeout, 1);
    app.settings.SetInteger(kConfigFileTimeout, 600);
    app.ResetTimeLimit();
    EXPECT_EQ(app.files.LockFile(LocationData, "held.lck"), LockFileTimedOut);
    EXPECT_EQ(app.TimedOut(), 0); // nobody set the flag
}

platform::TimeValue LaterClock() {
    platform::TimeValue now;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    now.seconds = ts.tv_sec + 1000;
    return now;
}

std::atomic<int64_t> gFixedMicroseconds{0};

platform::TimeValue FixedClock() {
    const int64_t at = gFixedMicroseconds.load();
    return {at / 1000000, static_cast<int32_t>(at % 1000000)};
}

// Another server's lock stamped at x.986 is 1.035 s old at x+2.021, not two
// seconds: the fractions of both times count.
TEST_F(LockFileTest, ALocksAgeCountsTheFractionsOfASecond) {
    BoundByFileTimeout();
    app.lockExpiration = 2;
    constexpr int64_t kStamp = 1700000000;
    ScratchTree::WriteFile(DataPath("f.lck"), "4242!7:elsewhere");
    ASSERT_TRUE(platform::SetModifiedTime(DataPath("f.lck").c_str(), kStamp, 986000000));
    struct {
        int64_t now; // microseconds
        int32_t result;
    } cases[] = {{(kStamp + 2) * 1000000 + 21000, LockFileTimedOut}, {(kStamp + 2) * 1000000 + 986000, LockFileTaken}};
    platform::SetWallClock(FixedClock);
    for (const auto& c : cases) {
        gFixedMicroseconds = c.now;
        EXPECT_EQ(app.files.LockFile(LocationData, "f.lck"), c.result) << c.now;
    }
    platform::SetWallClock(nullptr);
    EXPECT_EQ(ScratchTree::ReadFile(DataPath("f.lck")), OwnText());
}

// Taken after a wait, a lock must not look as old as the wait to other
// servers; the taker learns which file it made.
TEST_F(LockFileTest, ALockTakenAfterAWaitLooksFreshAndNamesItsFile) {
    ScratchTree::WriteFile(DataPath("w.lck"), std::to_string(platform::ProcessId()) + "!1:testhost");
    // A dead waiter's file, which the waiter removes only once its first try
    // has failed: from then on it is waiting, however slow the machine.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string deadWaiter = "w.lck.testhost." + std::to_string(child) + ".7";
    ScratchTree::WriteFile(DataPath(deadWaiter), std::to_string(child) + "!7:testhost");
    FileIdentity taken;
    std::atomic<int32_t> result{-1};
    std::thread waiter([&] { result = app.files.LockFile(LocationData, "w.lck", &taken); });
    while (ScratchTree::Exists(DataPath(deadWaiter))) platform::SleepMilliseconds(5);
    platform::SetWallClock(LaterClock);
    std::filesystem::remove(DataPath("w.lck"));
    waiter.join();
    platform::FileInfo info;
    ASSERT_TRUE(platform::StatPath(DataPath("w.lck").c_str(), info));
    const int64_t age = platform::NowSeconds() - info.modifiedSeconds;
    platform::SetWallClock(nullptr);
    ASSERT_EQ(result.load(), LockFileTaken) << app.files.ErrorText().Text();
    EXPECT_LE(age, 2);
    EXPECT_EQ(taken.inode, info.inode);
    EXPECT_EQ(std::string(taken.text.Text()), ScratchTree::ReadFile(DataPath("w.lck")));
}

// Each taker increments a counter file under the lock; a lost update would
// show as a short count.
void CountUnderLock(FileTestApplication& app, const std::string& counterPath, int rounds, int& failures) {
    for (int i = 0; i < rounds; ++i) {
        if (app.files.LockFile(LocationData, "count.lck") != LockFileTaken) {
            ++failures;
            continue;
        }
        std::string text = ScratchTree::ReadFile(counterPath);
        int value = text.empty() ? 0 : std::stoi(text);
        ScratchTree::WriteFile(counterPath + ".new", std::to_string(value + 1));
        std::filesystem::rename(counterPath + ".new", counterPath);
        if (!app.files.Delete(LocationData, "count.lck")) ++failures;
    }
}

TEST_F(LockFileTest, ForkedProcessesExcludeEachOther) {
    const std::string counter = DataPath("counter");
    constexpr int kChildren = 4;
    constexpr int kRounds = 25;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int failures = 0;
            {
                FileTestApplication mine;
                mine.settings.SetInteger(kConfigFileDelay, 1);
                if (!mine.files.CheckDataDirectory(tree.Data().c_str())) _exit(99);
                CountUnderLock(mine, counter, kRounds, failures);
            }
            _exit(failures > 0 ? 1 : 0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(ScratchTree::ReadFile(counter), std::to_string(kChildren * kRounds));
    EXPECT_FALSE(ScratchTree::Exists(DataPath("count.lck")));
}

TEST_F(LockFileTest, ThreadsOfOneProcessExcludeEachOther) {
    const std::string counter = DataPath("counter");
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            FileTestApplication mine;
            mine.settings.SetInteger(kConfigFileDelay, 1);
            int failures = mine.files.CheckDataDirectory(tree.Data().c_str()) ? 0 : 1;
            CountUnderLock(mine, counter, kRounds, failures);
            failed += failures;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(ScratchTree::ReadFile(counter), std::to_string(kThreads * kRounds));
}

// Byte-range locks: two handles of one thread exclude each other, and a
// wait for a held range ends when the run is stopped or its bound passes.
TEST_F(LockFileTest, ByteRangeWaitEndsWhenTheRequestStops) {
    File* first = app.files.Open(LocationData, "table", OpenRead | OpenWrite | OpenCreate);
    File* second = app.files.Open(LocationData, "table", OpenRead | OpenWrite);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(first->Lock(LockShared, 0, 10));
    ASSERT_TRUE(second->Lock(LockShared, 5, 10)); // shared ranges overlap
    ASSERT_TRUE(second->Unlock(5, 10));
    EXPECT_FALSE(second->Unlock(5, 10)); // no longer held
    ASSERT_TRUE(first->Lock(LockExclusive, 100, 4));

    std::atomic<bool> started{false};
    std::thread watchdog([&] {
        started = true;
        platform::SleepMilliseconds(30);
        app.RequestStop();
    });
    while (!started) std::this_thread::yield();
    EXPECT_FALSE(second->Lock(LockShared, 102, 1));
    EXPECT_STREQ(second->ErrorText().Text(), "Timed out waiting for lock");
    watchdog.join();

    // Without a global limit, "filetimeout" ends the wait.
    BoundByFileTimeout();
    EXPECT_FALSE(second->Lock(LockExclusive, 0, 1));
    EXPECT_STREQ(second->ErrorText().Text(), "Timed out waiting for lock");

    // A holder that lets go during the wait.
    app.settings.SetInteger(kConfigFileTimeout, 30);
    std::thread releaser([&] {
        platform::SleepMilliseconds(30);
        first->Unlock(100, 4);
    });
    EXPECT_TRUE(second->Lock(LockExclusive, 100, 4)) << second->ErrorText().Text();
    releaser.join();
    delete first;
    delete second;
}

} // namespace
} // namespace vorn::test
