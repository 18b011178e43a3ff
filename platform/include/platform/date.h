// Wall-clock dates. The source of "now" can be replaced, so tests can move
// time without sleeping.
#ifndef PLATFORM_DATE_H
#define PLATFORM_DATE_H

#include "platform/plist.h"

#include <functional>
#include <string>

namespace platform {

// Now, from the current source (the system clock unless replaced).
[[nodiscard]] Date currentDate();
// Replaces the source of currentDate(); an empty function restores the system clock.
void setDateSource(std::function<double()> secondsSince1970);

// The default text of a date: "2024-05-17 09:30:12 +0000" (UTC).
[[nodiscard]] std::string describeDate(const Date &date);

struct CalendarDay {
    int year = 0;
    int month = 0; // 1 to 12
    int day = 0;   // 1 to 31
};
// The local calendar day of `date` moved by `dayOffset` days.
[[nodiscard]] CalendarDay localCalendarDay(const Date &date, int dayOffset = 0);
// 00:00 local time on 1 January of `year`.
[[nodiscard]] Date startOfLocalYear(int year);

} // namespace platform

#endif // PLATFORM_DATE_H
