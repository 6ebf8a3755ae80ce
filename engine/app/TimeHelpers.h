// The clock and calendar helpers the runtime's date texts are made from:
// cookies, HTTP dates, the log line, the host interface and the time system
// variables. Seconds are 64-bit everywhere, and every reading goes through the
// replaceable platform clock.
#pragma once

#include <cstdint>

#include "platform/Time.h"

namespace vorn {

// The nine fields of a broken-down time, with the C library's meaning: month
// 0-11, year counted from 1900, weekday 0-6 with Sunday 0, day of the year
// 0-365, daylight-saving flag >0 in effect, 0 not, <0 unknown.
struct BrokenDownTime {
    int32_t second = 0;
    int32_t minute = 0;
    int32_t hour = 0;
    int32_t day = 0;
    int32_t month = 0;
    int32_t year = 0;
    int32_t weekday = 0;
    int32_t yearDay = 0;
    int32_t daylightSaving = 0;
};

// One reading of the local time as the runtime shows it: counts 1-based where
// people count from 1, the year in full and the names spelled out.
struct TimeRecord {
    int64_t seconds = 0;         // since 1970-01-01 00:00:00 UTC
    int32_t microseconds = 0;    // within the second
    int32_t second = 0;          // 0-60
    int32_t minute = 0;          // 0-59
    int32_t hour = 0;            // 0-23
    int32_t day = 0;             // day of the month, 1-31
    int32_t month = 1;           // 1-12
    const char* monthName = "";  // "Jan" ... "Dec"
    int32_t year = 1900;         // full year
    int32_t weekday = 1;         // 1-7, Sunday 1
    const char* weekdayName = ""; // "Sun" ... "Sat"
    int32_t yearDay = 1;         // 1-366
    int32_t daylightSaving = 0;  // as the local conversion gives it
    char zone[32] = {};          // the zone name in force
};

// The wall-clock time now (seconds and microseconds). Returns 0.
int32_t GetTimeOfDay(platform::TimeValue* out);

// The UTC or local broken-down time of seconds; every field 0 when the time
// cannot be converted. zone (optional, 32 bytes) receives the name of the
// zone in force, empty on failure.
void GmTime(int64_t seconds, BrokenDownTime* out);
void LocalTime(int64_t seconds, BrokenDownTime* out, char* zone = nullptr);

// One GetTimeOfDay and the LocalTime of its seconds, as a time record.
void LocalTimeNow(TimeRecord* out);
// The record of a given time (microseconds as given).
void MakeTimeRecord(int64_t seconds, int32_t microseconds, TimeRecord* out);

// "Jan" ... "Dec" for month 0-11, "Sun" ... "Sat" for weekday 0-6; "" out of
// range.
const char* MonthAbbreviation(int32_t month);
const char* WeekdayAbbreviation(int32_t weekday);

} // namespace vorn
