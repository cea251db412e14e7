#include "maintenance/MaintenanceCalendar.h"

#include "core/Utilities.h"

#include <cmath>

bool CMaintenanceCalendar::IsHourInWindow(int hour, int startHour, int endHour)
{
    if (startHour > endHour)
        return hour >= startHour || hour <= endHour;
    return hour >= startHour && hour < endHour;
}

int CMaintenanceCalendar::DaysInMonth(int year, int month)
{
    switch (month)
    {
    case 4:
    case 6:
    case 9:
    case 11:
        return 30;
    case 2:
        return IsLeapYear(year) ? 29 : 28;
    default:
        return 31;
    }
}

bool CMaintenanceCalendar::StepBackDays(int year, int month, int day, int days, int& outYear, int& outMonth,
                                        int& outDay)
{
    if (days < 0)
        return false;
    day -= days;
    while (day < 1)
    {
        if (--month < 1)
        {
            month = 12;
            --year;
        }
        day += DaysInMonth(year, month);
    }
    outYear = year;
    outMonth = month;
    outDay = day;
    return true;
}

int CMaintenanceCalendar::ContentCleanPercent(uint64_t sizeMiB, uint64_t limitMiB)
{
    // A database of size 0 can only be at or below its limit; without this
    // guard a limit of 0 would divide by zero.
    if (sizeMiB == 0 || sizeMiB <= limitMiB)
        return 0;
    double share = 100.0 * static_cast<double>(sizeMiB - limitMiB) / static_cast<double>(sizeMiB);
    return static_cast<int>(std::ceil(share));
}

bool CMaintenanceCalendar::IsStrongRepairDue(const LocalTime& now, const LocalTime& lastRepair, int startHour,
                                             int endHour)
{
    if (now.m_DayOfWeek != SATURDAY)
        return false;
    if (now.m_Day == lastRepair.m_Day)
        return false;
    return IsHourInWindow(now.m_Hour, startHour, endHour);
}
