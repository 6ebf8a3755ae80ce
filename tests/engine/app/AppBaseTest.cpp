#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Config.h"
#include "engine/foundation/Output.h"
#include "platform/Time.h"
#include "tests/engine/app/TestApplication.h"
#include "tests/support/RecordingSink.h"

namespace vorn {
namespace {

std::atomic<int64_t> fakeNow{0};
platform::TimeValue FakeClock() {
    return {fakeNow.load(), 0};
}

class AppBaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakeNow = 1'000'000;
        platform::SetWallClock(&FakeClock);
        app.config = &config;
    }
    void TearDown() override { platform::SetWallClock(nullptr); }

    Config config;
    test::TestApplication app;
};

TEST_F(AppBaseTest, GlobalDeadlineIsPassedOnlyAfterItsSecond) {
    app.ResetTimeLimit(); // "globaltimeout" defaults to 90
    EXPECT_EQ(app.GlobalDeadline(), 1'000'090);
    EXPECT_EQ(app.SecondsLeft(), 90);

    fakeNow = 1'000'090; // reached exactly: not yet passed
    app.CheckTimeouts();
    EXPECT_EQ(app.TimedOut(), 0);
    EXPECT_EQ(app.SecondsLeft(), 0);

    fakeNow = 1'000'095;
    app.CheckTimeouts();
    EXPECT_EQ(app.TimedOut(), 1);
    EXPECT_TRUE(app.StopRequested());
    EXPECT_EQ(app.SecondsLeft(), -5);
    EXPECT_EQ(app.TickCount(), 2u);
    EXPECT_EQ(app.TimedOutPlace()->load(), 1);

    // A new limit clears the flag and starts from the current time.
    app.ResetTimeLimit();
    EXPECT_EQ(app.TimedOut(), 0);
    EXPECT_EQ(app.SecondsLeft(), 90);
}

TEST_F(AppBaseTest, NoGlobalDeadlineWithZeroNegativeOrNoConfiguration) {
    for (int32_t seconds : {0, -5}) {
        config.SetInteger(kConfigGlobalTimeout, seconds);
        app.ResetTimeLimit();
        EXPECT_EQ(app.GlobalDeadline(), 0) << seconds;
        EXPECT_EQ(app.SecondsLeft(), -1) << seconds;
        fakeNow = fakeNow + 1'000'000;
        app.CheckTimeouts();
        EXPECT_EQ(app.TimedOut(), 0) << seconds;
    }
    EXPECT_EQ(app.TickCount(), 2u); // ticks are counted without deadlines too

    app.config = nullptr;
    app.ResetTimeLimit();
    EXPECT_EQ(app.SecondsLeft(), -1);
}

TEST_F(AppBaseTest, PostDeadlineSetsOnlyItsOwnFlag) {
    config.SetInteger(kConfigGlobalTimeout, 0);
    app.ResetTimeLimit();
    app.ResetPostTimeLimit(); // "posttimeout" defaults to 30
    EXPECT_EQ(app.PostDeadline(), 1'000'030);
    fakeNow = 1'000'031;
    app.CheckTimeouts();
    EXPECT_EQ(app.PostTimedOut(), 1);
    EXPECT_EQ(app.TimedOut(), 0);
    EXPECT_FALSE(app.StopRequested());

    app.ClearPostTimeLimit();
    EXPECT_EQ(app.PostTimedOut(), 0);
    EXPECT_EQ(app.PostDeadline(), 0);
    fakeNow = 9'000'000;
    app.CheckTimeouts();
    EXPECT_EQ(app.PostTimedOut(), 0);
}

TEST_F(AppBaseTest, DeadlinesBeyond2038KeepWorking) {
    const int64_t after2038 = int64_t{INT32_MAX} + 100;
    fakeNow = after2038;
    config.SetInteger(kConfigGlobalTimeout, 60);
    app.ResetTimeLimit();
    EXPECT_EQ(app.GlobalDeadline(), after2038 + 60);
    EXPECT_EQ(app.SecondsLeft(), 60);
    app.CheckTimeouts();
    EXPECT_EQ(app.TimedOut(), 0);
    fakeNow = after2038 + 61;
    app.CheckTimeouts();
    EXPECT_EQ(app.TimedOut(), 1);
}

TEST_F(AppBaseTest, StopAndExitRequestsAndFileDelay) {
    EXPECT_FALSE(app.StopRequested());
    EXPECT_EQ(app.WaitForStop(4), WaitTimedOut);
    app.ExitRequestedPlace()->store(1);
    EXPECT_TRUE(app.StopRequested());
    EXPECT_EQ(app.TimedOut(), 0);
    app.ExitRequestedPlace()->store(0);
    app.RequestStop();
    EXPECT_EQ(app.TimedOut(), 1);
    EXPECT_EQ(app.WaitForStop(100), WaitStopSignalled);

    EXPECT_EQ(app.FileDelay(), 100);
    config.SetInteger(kConfigFileDelay, 250);
    EXPECT_EQ(app.FileDelay(), 250);
    config.SetInteger(kConfigFileDelay, -3);
    EXPECT_EQ(app.FileDelay(), 0);
    app.config = nullptr;
    EXPECT_EQ(app.FileDelay(), 100);
}

TEST_F(AppBaseTest, LanguageCountersRiseOnEverySet) {
    EXPECT_TRUE(app.Language().Equals("en-US"));
    EXPECT_TRUE(app.DefaultLanguage().Equals("en-US"));
    EXPECT_TRUE(app.DefaultDatabase().Equals("xbase3"));
    EXPECT_EQ(app.LanguageVersion(), 1);
    EXPECT_EQ(app.DefaultLanguageVersion(), 1);
    EXPECT_EQ(app.DefaultDatabaseVersion(), 1);

    EXPECT_TRUE(app.SetLanguage("en-US", -1).Equals("en-US"));
    EXPECT_EQ(app.LanguageVersion(), 2);
    EXPECT_TRUE(app.SetLanguage("de-DEextra", 5).Equals("de-DE"));
    EXPECT_EQ(app.LanguageVersion(), 3);
    EXPECT_EQ(app.DefaultLanguageVersion(), 1);

    app.SetDefaultLanguage("fr-FR", -1);
    app.SetDefaultDatabase("sql", 3);
    EXPECT_TRUE(app.DefaultLanguage().Equals("fr-FR"));
    EXPECT_TRUE(app.DefaultDatabase().Equals("sql"));
    EXPECT_EQ(app.DefaultLanguageVersion(), 2);
    EXPECT_EQ(app.DefaultDatabaseVersion(), 2);
}

TEST_F(AppBaseTest, WritesGoToTheCurrentOutputAndAreFlushed) {
    EXPECT_EQ(app.WriteText("dropped"), 0); // no output yet: nothing happens
    test::RecordingSink out;
    app.output = &out;
    EXPECT_EQ(app.WriteText("one "), 0);
    EXPECT_EQ(app.WriteString(String("two ")), 0);
    EXPECT_EQ(app.Write("three!", 5), 0);
    EXPECT_EQ(app.WriteText(nullptr), 0);
    EXPECT_EQ(out.text, "one two three");
    EXPECT_EQ(out.flushes, 3);
}

TEST(LogEventNameTest, EveryBitHasItsNameAndOthersAreUnknown) {
    test::TestApplication app;
    const struct {
        uint32_t bit;
        const char* name;
    } table[] = {
        {0x10, "Function Call"},
        {0x20, "Function Parameter"},
        {0x40, "Function Return Value"},
        {0x80, "Function Return"},
        {0x100, "External Function Call"},
        {0x200, "External Function Parameter"},
        {0x400, "External Function Return Value"},
        {0x800, "External Function Return"},
        {0x1000, "VrDO Enter"},
        {0x2000, "VrDO Exit"},
        {0x100000, "VrCALL"},
        {0x200000, "VrSMTP"},
        {0x8000000, "Application Timed Out"},
        {0x10000000, "Runtime Error"},
        {0x20000000, "Fatal Error"},
        {0x40000000, "Trace"},
    };
    for (const auto& row : table)
        EXPECT_STREQ(app.LogEventName(row.bit), row.name) << row.bit;
    for (uint32_t other : {0u, 1u, 0x30u, 0x4000u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_STREQ(app.LogEventName(other), "Unknown") << other;
}

} // namespace
} // namespace vorn
