#include "engine/app/TimeHelpers.h"

#include <cstring>

namespace vorn {

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

void Fill(const platform::CalendarTime& c, BrokenDownTime* out) {
    out->second = c.second;
    out->minute = c.minute;
    out->hour = c.hour;
    out->day = c.day;
    out->month = c.month;
    out->year = c.year;
    out->weekday = c.weekday;
    out->yearDay = c.yearDay;
    out->daylightSaving = c.daylightSaving;
}

} // namespace

const char* MonthAbbreviation(int32_t month) { return month >= 0 && month < 12 ? kMonths[month] : ""; }

const char* WeekdayAbbreviation(int32_t weekday) { return weekday >= 0 && weekday < 7 ? kWeekdays[weekday] : ""; }

int32_t GetTimeOfDay(platform::TimeValue* out) {
    if (out) *out = platform::Now();
    return 0;
}

void GmTime(int64_t seconds, BrokenDownTime* out) {
    if (!out) return;
    platform::CalendarTime c;
    // A failed conversion leaves every field of c at 0.
    platform::ToUtcCalendar(seconds, c);
    Fill(c, out);
}

void LocalTime(int64_t seconds, BrokenDownTime* out, char* zone) {
    platform::CalendarTime c;
    platform::ToLocalCalendar(seconds, c);
    if (out) Fill(c, out);
    if (zone) std::memcpy(zone, c.zone, sizeof c.zone);
}

void MakeTimeRecord(int64_t seconds, int32_t microseconds, TimeRecord* out) {
    if (!out) return;
    BrokenDownTime t;
    TimeRecord r;
    LocalTime(seconds, &t, r.zone);
    r.seconds = seconds;
    r.microseconds = microseconds;
    r.second = t.second;
    r.minute = t.minute;
    r.hour = t.hour;
    r.day = t.day;
    r.month = t.month + 1;
    r.monthName = MonthAbbreviation(t.month);
    r.year = t.year + 1900;
    r.weekday = t.weekday + 1;
    r.weekdayName = WeekdayAbbreviation(t.weekday);
    r.yearDay = t.yearDay + 1;
    r.daylightSaving = t.daylightSaving;
    *out = r;
}

void LocalTimeNow(TimeRecord* out) {
    platform::TimeValue now;
    GetTimeOfDay(&now);
    MakeTimeRecord(now.seconds, now.microseconds, out);
}

} // namespace vorn
