#include "platform/Errors.h"
#include "platform/Process.h"
#include "platform/Time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace vorn::platform;

namespace {

// Sets TZ for one test and puts the old value back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        const char* old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

int64_t gFakeTick = 0;

} // namespace

TEST(PlatformTime, ClocksAreInjectable) {
    SetWallClock([] { return TimeValue{INT64_C(5000000000), 123456}; });
    EXPECT_TRUE(WallClockOverridden());
    EXPECT_EQ(Now().seconds, INT64_C(5000000000));
    EXPECT_EQ(Now().microseconds, 123456);
    EXPECT_EQ(NowSeconds(), INT64_C(5000000000));
    CalendarTime now;
    {
        ZoneScope zone("UTC0");
        ASSERT_TRUE(LocalCalendarNow(now));
    }
    EXPECT_EQ(now.seconds, INT64_C(5000000000));
    EXPECT_EQ(now.microseconds, 123456);
    EXPECT_EQ(now.year + 1900, 2128);
    SetWallClock(nullptr);
    EXPECT_FALSE(WallClockOverridden());
    const int64_t system = static_cast<int64_t>(time(nullptr));
    EXPECT_LE(std::llabs(NowSeconds() - system), 5);
    EXPECT_GE(Now().microseconds, 0);
    EXPECT_LT(Now().microseconds, 1000000);

    gFakeTick = 77;
    SetTickClock([] { return gFakeTick; });
    EXPECT_EQ(TickMilliseconds(), 77);
    gFakeTick = 80;
    EXPECT_EQ(TickMilliseconds(), 80);
    SetTickClock(nullptr);
    const int64_t a = TickMilliseconds();
    EXPECT_GE(TickMilliseconds(), a);
}

TEST(PlatformTime, UtcCalendarBeyond2038) {
    CalendarTime t;
    ASSERT_TRUE(ToUtcCalendar(0, t));
    EXPECT_EQ(t.year, 70);
    EXPECT_EQ(t.month, 0);
    EXPECT_EQ(t.day, 1);
    EXPECT_EQ(t.weekday, 4); // Thursday
    EXPECT_EQ(t.yearDay, 0);
    EXPECT_EQ(t.utcOffset, 0);

    ASSERT_TRUE(ToUtcCalendar(INT64_C(2147483648), t)); // one past the 32-bit limit
    EXPECT_EQ(t.year + 1900, 2038);
    EXPECT_EQ(t.month, 0);
    EXPECT_EQ(t.day, 19);
    EXPECT_EQ(t.hour, 3);
    EXPECT_EQ(t.minute, 14);
    EXPECT_EQ(t.second, 8);
    EXPECT_EQ(t.seconds, INT64_C(2147483648));

    ASSERT_TRUE(ToUtcCalendar(-1, t));
    EXPECT_EQ(t.year + 1900, 1969);
    EXPECT_EQ(t.month, 11);
    EXPECT_EQ(t.day, 31);
    EXPECT_EQ(t.second, 59);

    EXPECT_FALSE(ToUtcCalendar(INT64_MAX, t));
    EXPECT_EQ(t.year, 0);
    EXPECT_EQ(t.day, 0);
    EXPECT_STREQ(t.zone, "");
    EXPECT_NE(LastError(), 0);
}

TEST(PlatformTime, LocalCalendarCarriesZoneNameAndDaylightSaving) {
    ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
    CalendarTime summer, winter;
    ASSERT_TRUE(ToLocalCalendar(INT64_C(1719835200), summer)); // 2024-07-01 12:00 UTC
    EXPECT_EQ(summer.hour, 14);
    EXPECT_GT(summer.daylightSaving, 0);
    EXPECT_STREQ(summer.zone, "CEST");
    EXPECT_EQ(summer.utcOffset, 7200);
    ASSERT_TRUE(ToLocalCalendar(INT64_C(1704110400), winter)); // 2024-01-01 12:00 UTC
    EXPECT_EQ(winter.hour, 13);
    EXPECT_EQ(winter.daylightSaving, 0);
    EXPECT_STREQ(winter.zone, "CET");
    ASSERT_TRUE(ToLocalCalendar(INT64_C(4102444800), winter)); // 2100-01-01 00:00 UTC
    EXPECT_EQ(winter.year + 1900, 2100);
    EXPECT_EQ(winter.hour, 1);
}

TEST(PlatformTime, LocalCalendarOnSeveralThreadsAtOnce) {
    // Requests' first questions come from the workers together (the thread
    // sanitizer watches the zone names the C library keeps).
    CalendarTime first;
    std::vector<std::thread> threads;
    std::vector<CalendarTime> seen(4);
    for (CalendarTime& mine : seen) threads.emplace_back([&mine] { LocalCalendarNow(mine); });
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(LocalCalendarNow(first));
    for (const CalendarTime& t : seen) EXPECT_STREQ(t.zone, first.zone);
}

TEST(PlatformProcess, IdsAndLiveness) {
    EXPECT_EQ(ProcessId(), static_cast<int64_t>(getpid()));
    EXPECT_EQ(ThreadId(), ProcessId()) << "the main thread's id is the process id";
    int64_t other = 0;
    std::thread([&] { other = ThreadId(); }).join();
    EXPECT_NE(other, ProcessId());
    EXPECT_GT(other, 0);

    EXPECT_TRUE(ProcessAlive(ProcessId()));
    EXPECT_TRUE(ProcessAlive(1)) << "a process we may or may not signal still lives";
    EXPECT_FALSE(ProcessAlive(0)) << "0 names our process group";
    EXPECT_FALSE(ProcessAlive(-1));
    EXPECT_FALSE(ProcessAlive(INT64_C(1) << 40));

    // The child's thread is a new one: the id the parent knew is not its own.
    const pid_t child = fork();
    if (child == 0) _exit(ThreadId() == static_cast<int64_t>(getpid()) ? 0 : 3);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the forked child's thread id";
    EXPECT_FALSE(ProcessAlive(child)) << "a reaped child is gone";
}

TEST(PlatformProcess, HostNameFitsTheBuffer) {
    char name[256];
    ASSERT_TRUE(HostName(name, sizeof name));
    EXPECT_GT(strlen(name), 0u);
    char tiny[3] = {'x', 'x', 'x'};
    ASSERT_TRUE(HostName(tiny, sizeof tiny));
    EXPECT_EQ(strlen(tiny), std::min<size_t>(2, strlen(name)));
    EXPECT_EQ(strncmp(tiny, name, strlen(tiny)), 0);
    EXPECT_FALSE(HostName(tiny, 0));
    EXPECT_FALSE(HostName(nullptr, 10));
}

TEST(PlatformErrors, TextsOfCapturedErrors) {
    char buffer[128];
    EXPECT_STREQ(ErrorText(ENOENT, buffer, sizeof buffer), "No such file or directory");
    char tiny[4];
    const char* cut = ErrorText(ENOENT, tiny, sizeof tiny);
    EXPECT_EQ(cut, tiny);
    EXPECT_LT(strlen(cut), sizeof tiny);
    EXPECT_STREQ(ErrorText(ENOENT, nullptr, 0), "");
    EXPECT_GT(strlen(ErrorText(123456, buffer, sizeof buffer)), 0u);

    SetLastError(EACCES);
    errno = 0; // what errno says later does not matter
    EXPECT_EQ(LastError(), EACCES);
    EXPECT_STREQ(LastErrorText(), "Permission denied");
    SetLastModuleError("libx.so: cannot open shared object file");
    EXPECT_STREQ(LastErrorText(), "libx.so: cannot open shared object file");

    // Each thread keeps its own last error.
    int seen = -1;
    std::thread([&] { seen = LastError(); }).join();
    EXPECT_EQ(seen, 0);
}
