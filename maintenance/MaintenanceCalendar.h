#pragma once
#include "core/Clock.h"

#include <cstdint>

// The calendar rules of the database maintenance tasks, free of clocks and
// configuration so that they can be checked for any day and hour.
class CMaintenanceCalendar
{
public:
    // Hours 0-23. A window whose start lies after its end spans midnight and
    // includes its end hour; otherwise the end hour is excluded (start ==
    // end is an empty window).
    static bool IsHourInWindow(int hour, int startHour, int endHour);

    // Days of a month by the calendar (February 29 in leap years).
    static int DaysInMonth(int year, int month);

    // The date `days` days before year-month-day, stepping back through the
    // months one by one. False for a negative count.
    static bool StepBackDays(int year, int month, int day, int days, int& outYear, int& outMonth,
                             int& outDay);

    // Share of the data (in percent, rounded up) to drop so that a database of
    // sizeMiB comes down to limitMiB. 0 when the size is 0.
    static int ContentCleanPercent(uint64_t sizeMiB, uint64_t limitMiB);

    // A strong repair is due on a Saturday inside the hour window, unless one
    // already succeeded on this day of the month.
    static bool IsStrongRepairDue(const LocalTime& now, const LocalTime& lastRepair, int startHour,
                                  int endHour);

    static constexpr int SATURDAY = 6;
};
