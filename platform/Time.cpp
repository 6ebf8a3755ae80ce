#include "platform/Time.h"

#include "platform/Errors.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace vorn::platform {

namespace {

std::atomic<WallClockFunction> gWallClock{nullptr};
// The C library reads the time zone on first use and keeps its names for good,
// under a lock of its own: read here, at load, it is read before any thread of
// ours asks, and requests share what it keeps without racing to make it.
const bool gZoneRead = (tzset(), true);
std::atomic<TickClockFunction> gTickClock{nullptr};

TimeValue SystemNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return TimeValue{static_cast<int64_t>(ts.tv_sec), static_cast<int32_t>(ts.tv_nsec / 1000)};
}

int64_t SystemTick() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool Convert(int64_t seconds, bool local, CalendarTime& out) {
    static_assert(sizeof(time_t) == 8, "time_t must be 64-bit");
    out = CalendarTime{};
    const time_t t = static_cast<time_t>(seconds);
    tm fields{};
    errno = 0;
    const tm* done = local ? localtime_r(&t, &fields) : gmtime_r(&t, &fields);
    if (done == nullptr) {
        SetLastError(errno != 0 ? errno : EOVERFLOW);
        return false;
    }
    out.seconds = seconds;
    out.second = fields.tm_sec;
    out.minute = fields.tm_min;
    out.hour = fields.tm_hour;
    out.day = fields.tm_mday;
    out.month = fields.tm_mon;
    out.year = fields.tm_year;
    out.weekday = fields.tm_wday;
    out.yearDay = fields.tm_yday;
    out.daylightSaving = fields.tm_isdst;
    out.utcOffset = fields.tm_gmtoff;
    snprintf(out.zone, sizeof out.zone, "%s", fields.tm_zone != nullptr ? fields.tm_zone : "");
    return true;
}

} // namespace

void SetWallClock(WallClockFunction clock) { gWallClock.store(clock); }
void SetTickClock(TickClockFunction clock) { gTickClock.store(clock); }
bool WallClockOverridden() { return gWallClock.load() != nullptr; }

TimeValue Now() {
    const WallClockFunction clock = gWallClock.load();
    return clock != nullptr ? clock() : SystemNow();
}

int64_t NowSeconds() { return Now().seconds; }

int64_t TickMilliseconds() {
    const TickClockFunction clock = gTickClock.load();
    return clock != nullptr ? clock() : SystemTick();
}

bool ToLocalCalendar(int64_t seconds, CalendarTime& out) { return Convert(seconds, true, out); }
bool ToUtcCalendar(int64_t seconds, CalendarTime& out) { return Convert(seconds, false, out); }

bool LocalCalendarNow(CalendarTime& out) {
    const TimeValue now = Now();
    if (!Convert(now.seconds, true, out)) return false;
    out.microseconds = now.microseconds;
    return true;
}

void SleepMilliseconds(int64_t milliseconds) {
    if (milliseconds <= 0) return;
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void SleepMicroseconds(int64_t microseconds) {
    if (microseconds <= 0) return;
    timespec left{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace vorn::platform
