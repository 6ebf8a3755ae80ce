#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "host/features/Lockfile.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Time.h"
#include "tests/host/features/HostFeatureSupport.h"

namespace vorn::test {
namespace {

int64_t Age(const FeatureRig& rig, const std::string& name) {
    platform::FileInfo info;
    EXPECT_TRUE(platform::StatPath(rig.Path(name).c_str(), info)) << name;
    return platform::NowSeconds() - info.modifiedSeconds;
}

void MakeOld(const FeatureRig& rig, const std::string& name) {
    ASSERT_TRUE(platform::SetModifiedTime(rig.Path(name).c_str(), platform::NowSeconds() - 500));
}

std::string LockFiles(const FeatureRig& rig) {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(rig.tree.Data()))
        if (entry.path().extension() == ".lck") found.insert(entry.path().filename().string());
    std::string names;
    for (const std::string& name : found)
        names += name + " ";
    return names;
}

TEST(LockfileTest, TicksTouchAndTheEndRemovesOnlyTheFileThisLockMade) {
    FeatureRig rig;
    {
        Lockfile lock(nullptr, &rig.app, "res", 3);
        EXPECT_STREQ(lock.Name().Text(), "res.lck");
        ASSERT_EQ(lock.Lock(), 1) << lock.error.Text();
        EXPECT_EQ(rig.Read("res.lck"), std::to_string(platform::ProcessId()) + "!" +
                                           std::to_string(platform::ThreadId()) + ":testhost");
        MakeOld(rig, "res.lck");
        lock.Tick();
        EXPECT_LE(Age(rig, "res.lck"), 5);

        // Gone (another server judged it stale): a tick does not bring it back,
        // and the lock another server then made is neither touched nor removed.
        std::filesystem::remove(rig.Path("res.lck"));
        lock.Tick();
        EXPECT_FALSE(rig.Exists("res.lck"));
        rig.Write("res.lck", "77!1:elsewhere");
        MakeOld(rig, "res.lck");
        lock.Tick();
        EXPECT_GE(Age(rig, "res.lck"), 499);
    }
    EXPECT_EQ(rig.Read("res.lck"), "77!1:elsewhere");
}

TEST(LockfileTest, AFailingReleaseIsRetriedEveryFileDelayForFileTimeout) {
    struct Case {
        int32_t delay, timeout;
        bool stopped;
        int32_t waits;
    };
    for (Case c : {Case{100, 10, false, 101}, Case{3, 1, false, 334}, Case{100, 0, false, 1},
                   Case{0, 10, false, 0}, Case{100, 10, true, 0}}) {
        SCOPED_TRACE(c.delay);
        FeatureRig rig;
        rig.app.settings.SetInteger(kConfigFileDelay, c.delay);
        rig.app.settings.SetInteger(kConfigFileTimeout, c.timeout);
        auto* lock = new Lockfile(nullptr, &rig.app, "busy", 4);
        ASSERT_EQ(lock->Lock(), 1) << lock->error.Text();
        // Open here, the file cannot be deleted.
        platform::FileHandle holder;
        ASSERT_TRUE(holder.Open(rig.Path("busy.lck").c_str(), platform::kOpenRead));
        if (c.stopped) rig.app.RequestStop();
        rig.app.waits = 0;
        rig.app.lastWait = -1;
        delete lock;
        EXPECT_EQ(rig.app.waits.load(), c.waits);
        EXPECT_EQ(rig.app.lastWait, c.waits ? c.delay : -1); // milliseconds
        EXPECT_TRUE(rig.Exists("busy.lck"));
    }
}

// Blocks step by step: a segment at a time, the files checked between them.
TEST(LockfileTest, BlocksHoldTheirLocksUntilTheirEndOrTheRunsEnd) {
    FeatureRig rig;
    auto vm = rig.Load(".global VrLOCKFILE_Error\n"
                       ".segment main entry\n pushc \"a\"\n lockfile\n pushc \"b\"\n lockfile\n"
                       " pushc \"a\"\n lockfile\n.end\n"
                       ".segment end\n lockfile_end\n.end\n"
                       ".segment tick\n noop\n.end\n",
                       {{kTagLockfile, 0}});
    Segment* end = rig.program->segments.SegmentAt(1);
    Segment* tick = rig.program->segments.SegmentAt(2);
    ASSERT_EQ(vm->Execute(), 1) << vm->LastError().Text();
    // The third failed (the same path again) and holds nothing.
    EXPECT_EQ(rig.Global("VrLOCKFILE_Error"), "Error creating lockfile 'a.lck': Possible deadlock detected");
    EXPECT_EQ(vm->FeatureCount(), 3);
    ASSERT_EQ(vm->RunSegment(end, nullptr, nullptr), 1);
    EXPECT_EQ(LockFiles(rig), "a.lck b.lck ");
    ASSERT_EQ(vm->RunSegment(end, nullptr, nullptr), 1);
    EXPECT_EQ(LockFiles(rig), "a.lck ");

    // The watchdog's tick reaches the lock through the machine.
    MakeOld(rig, "a.lck");
    rig.app.CheckTimeouts();
    ASSERT_EQ(vm->RunSegment(tick, nullptr, nullptr), 1);
    EXPECT_LE(Age(rig, "a.lck"), 5);

    // Timed out inside the block: the lock goes with the machine.
    rig.app.RequestStop();
    EXPECT_EQ(vm->RunSegment(tick, nullptr, nullptr), 0);
    vm.reset();
    EXPECT_EQ(LockFiles(rig), "");
}

TEST(LockfileTest, FailedLocksRunTheirBodyOrEndTheRunByTheTagSetting) {
    const std::string head = ".global seen, VrLOCKFILE_Error\n.segment main entry\n pushc \"\"\n popg seen\n";
    const std::string twice = " pushc \"p\"\n lockfile\n pushc \"p\"\n lockfile\n pushc \"in,\"\n popg seen\n"
                              " lockfile_end\n pushg seen\n pushc \"out\"\n cat\n popg seen\n lockfile_end\n";
    const char deadlock[] = "Error creating lockfile 'p.lck': Possible deadlock detected";
    struct Case {
        std::string code;
        uint32_t setting;
        int result;
        std::string seen, error;
    };
    const Case cases[] = {
        {twice, 3, 0, "", deadlock},
        {twice, 0, 1, "in,out", deadlock},
        {twice, 1, 1, "in,out", deadlock},
        {" pushc \"p\\0q\"\n lockfile\n pushc \"pq\"\n lockfile\n", 0, 1, "",
         "Error creating lockfile 'pq.lck': Possible deadlock detected"},
        {" pushc \"../p\"\n lockfile\n lockfile_end\n", 0, 1, "",
         "Error creating lockfile '../p.lck': The specified path references a path outside the configured "
         "data "
         "directory"},
        {" lockfile_end\n", 0, 0, "", "Invalid instruction"},
        {" pushc \"e\"\n lockfile\n exit\n", 3, 1, "", ""},
        {" pushc \"f\"\n lockfile\n call 9\n", 3, 0, "", "Invalid function"},
    };
    FeatureRig rig;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(rig.Run(head + c.code + ".end\n", {{kTagLockfile, c.setting}}), c.result) << rig.lastError;
        EXPECT_EQ(rig.Global("seen"), c.seen);
        const std::string error = c.result ? rig.Global("VrLOCKFILE_Error") : rig.lastError;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(rig.sink.text.find(deadlock) != std::string::npos, c.error == deadlock && (c.setting & 1));
        EXPECT_EQ(LockFiles(rig), "");
    }
}

} // namespace
} // namespace vorn::test
