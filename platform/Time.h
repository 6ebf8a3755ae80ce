// Wall-clock and monotonic time, and calendar conversion. Seconds are 64-bit
// throughout, so nothing here stops working in 2038.
//
// Every "now" goes through a clock that tests can replace: SetWallClock and
// SetTickClock install a function for the whole process (null puts the system
// clock back). Touching a file while a wall clock is installed stamps it with
// that clock's time as well, so ages measured against it stay consistent.
#pragma once

#include <cstdint>

namespace vorn::platform {

struct TimeValue {
    int64_t seconds = 0;      // since 1970-01-01 00:00:00 UTC
    int32_t microseconds = 0; // 0 to 999999
};

using WallClockFunction = TimeValue (*)();
using TickClockFunction = int64_t (*)(); // milliseconds, only ever increasing

// Installs a process-wide replacement clock; null restores the system clock.
// Safe to call while other threads read the time.
void SetWallClock(WallClockFunction clock);
void SetTickClock(TickClockFunction clock);
bool WallClockOverridden();

TimeValue Now();        // CLOCK_REALTIME unless overridden
int64_t NowSeconds();   // Now().seconds
int64_t TickMilliseconds(); // CLOCK_MONOTONIC unless overridden

// A broken-down time. The nine calendar fields keep the C library's meaning:
// month 0-11, year counted from 1900, weekday 0-6 with Sunday 0, day of the
// year 0-365.
struct CalendarTime {
    int64_t seconds = 0;      // the time that was converted
    int32_t microseconds = 0; // filled by LocalCalendarNow, else 0
    int second = 0;           // 0-60
    int minute = 0;
    int hour = 0;
    int day = 0; // day of the month, 1-31
    int month = 0;
    int year = 0;
    int weekday = 0;
    int yearDay = 0;
    int daylightSaving = 0; // >0 in effect, 0 not, <0 unknown
    int64_t utcOffset = 0;  // seconds east of UTC
    char zone[32] = {};     // abbreviation of the zone in effect, e.g. "CET" or "CEST"
};

// Converts a time to local or UTC calendar fields. On failure (a time whose
// year does not fit) every field is 0, the zone is empty and false is
// returned with LastError() set.
bool ToLocalCalendar(int64_t seconds, CalendarTime& out);
bool ToUtcCalendar(int64_t seconds, CalendarTime& out);
// Now() in local calendar fields, microseconds included.
bool LocalCalendarNow(CalendarTime& out);

// Sleeps for the given milliseconds (the pause of retry loops); a signal does
// not cut it short. Zero or a negative value returns at once.
void SleepMilliseconds(int64_t milliseconds);
// The same in microseconds, for the short first pauses of lock retries.
void SleepMicroseconds(int64_t microseconds);

} // namespace vorn::platform
