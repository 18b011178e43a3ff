#include "platform/date.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace platform {
namespace {

std::mutex &sourceMutex()
{
    static std::mutex m;
    return m;
}

std::shared_ptr<std::function<double()>> &source()
{
    static std::shared_ptr<std::function<double()>> s;
    return s;
}

} // namespace

Date currentDate()
{
    std::shared_ptr<std::function<double()>> s;
    {
        std::lock_guard lock(sourceMutex());
        s = source();
    }
    if (s) return Date{(*s)()};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return Date{std::chrono::duration<double>(now).count()};
}

void setDateSource(std::function<double()> secondsSince1970)
{
    std::lock_guard lock(sourceMutex());
    source() = secondsSince1970 ? std::make_shared<std::function<double()>>(std::move(secondsSince1970)) : nullptr;
}

std::string describeDate(const Date &date)
{
    const auto t = static_cast<std::time_t>(date.secondsSince1970);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buffer;
}

CalendarDay localCalendarDay(const Date &date, int dayOffset)
{
    const auto t = static_cast<std::time_t>(date.secondsSince1970);
    std::tm tm{};
    localtime_r(&t, &tm);
    tm.tm_mday += dayOffset;
    tm.tm_hour = 12; // away from daylight-saving edges
    tm.tm_isdst = -1;
    std::mktime(&tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

Date startOfLocalYear(int year)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = 0;
    tm.tm_mday = 1;
    tm.tm_isdst = -1;
    return Date{static_cast<double>(std::mktime(&tm))};
}

} // namespace platform
