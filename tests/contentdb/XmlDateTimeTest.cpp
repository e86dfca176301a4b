#include <gtest/gtest.h>
#include <cmath>
#include <limits>
#include "contentdb/XmlDateTime.h"

namespace
{
constexpr double kSecond = 1.0 / 86400.0;

SYSTEMTIME MakeTime(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0,
                    WORD milliseconds = 0)
{
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = milliseconds;
    return t;
}

TIME_ZONE_INFORMATION FixedZone(LONG bias)
{
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = bias;
    return zone;
}

// UTC-5 in winter, UTC-4 from the second Sunday of March to the first Sunday of November.
TIME_ZONE_INFORMATION ZoneWithDaylightRules()
{
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = 300;
    zone.StandardDate = MakeTime(0, 11, 1, 2);  // day 1 with year 0: first Sunday (wDayOfWeek 0)
    zone.StandardBias = 0;
    zone.DaylightDate = MakeTime(0, 3, 2, 2);  // second Sunday
    zone.DaylightBias = -60;
    return zone;
}

DATE Built(const SYSTEMTIME& t)
{
    CXmlDateTime dt;
    EXPECT_TRUE(dt.SetSystemTime(t, false));
    EXPECT_EQ(CXmlDateTime::valid, dt.GetStatus());
    return dt.GetValue();
}

}  // namespace

TEST(XmlDateTime, KeepsMillisecondsAndEarlyDatesMoveForwardWithinTheirDay)
{
    EXPECT_DOUBLE_EQ(36526.5 + 0.5 * kSecond, Built(MakeTime(2000, 1, 1, 12, 0, 0, 500)));
    EXPECT_DOUBLE_EQ(36526.0, Built(MakeTime(2000, 1, 1)));
    EXPECT_DOUBLE_EQ(0.0, Built(MakeTime(1899, 12, 30)));
    EXPECT_DOUBLE_EQ(2.0 + 0.999 * kSecond, Built(MakeTime(1900, 1, 1, 0, 0, 0, 999)));
    // Milliseconds beyond a second are a span like any other.
    EXPECT_DOUBLE_EQ(36526.0 + 2.5 * kSecond, Built(MakeTime(2000, 1, 1, 0, 0, 0, 2500)));
    // 1899-12-29 06:00 is -1.25: day -1, a quarter day into it.
    EXPECT_NEAR(-1.25, Built(MakeTime(1899, 12, 29, 6)), 1e-12);
    EXPECT_NEAR(-(1.25 + 0.5 * kSecond), Built(MakeTime(1899, 12, 29, 6, 0, 0, 500)), 1e-12);
    // 1800-06-15 18:00:00.250 keeps its day (the integral part) and is later than 18:00.
    const DATE base = Built(MakeTime(1800, 6, 15, 18));
    const DATE withMs = Built(MakeTime(1800, 6, 15, 18, 0, 0, 250));
    EXPECT_EQ(std::ceil(base), std::ceil(withMs));
    EXPECT_NEAR(base - 0.25 * kSecond, withMs, 1e-9);
}

TEST(XmlDateTime, ImpossibleDatesAreInvalid)
{
    const SYSTEMTIME cases[] = {
        MakeTime(2009, 2, 30), MakeTime(2100, 2, 29), MakeTime(2009, 4, 31),  MakeTime(2009, 13, 1),
        MakeTime(2009, 0, 1),  MakeTime(2009, 1, 0),  MakeTime(2009, 1, 1, 24), MakeTime(2009, 1, 1, 0, 60),
        MakeTime(2009, 1, 1, 0, 0, 60), MakeTime(99, 1, 1), MakeTime(10000, 1, 1),
    };
    for (const SYSTEMTIME& t : cases)
    {
        CXmlDateTime dt;
        EXPECT_TRUE(dt.SetSystemTime(t, false));
        EXPECT_EQ(CXmlDateTime::invalid, dt.GetStatus())
            << t.wYear << "-" << t.wMonth << "-" << t.wDay << " " << t.wHour << ":" << t.wMinute << ":" << t.wSecond;
    }
    EXPECT_DOUBLE_EQ(36585.0, Built(MakeTime(2000, 2, 29)));
    Built(MakeTime(100, 1, 1));
    Built(MakeTime(9999, 12, 31, 23, 59, 59));
}

TEST(XmlDateTime, SpanArithmetic)
{
    struct
    {
        DATE date;
        double span;
        DATE expected;
    } cases[] = {
        {10.25, 0.5, 10.75},
        {-1.25, 0.5, -1.75},   // 12-29 06:00 + 12 h = 12-29 18:00
        {-1.75, 0.5, 0.25},    // across 1899-12-30
        {0.25, -0.5, -1.75},   // and back
        {-2.5, 1.0, -1.5},     // whole days keep the time of day
        {-1.0, -0.25, -2.75},  // midnight minus 6 h
        {5.0, -6.0, -1.0},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(c.expected, CXmlDateTime::AddSpan(c.date, c.span), 1e-12) << c.date << " + " << c.span;

    EXPECT_NEAR(-1.25, CXmlDateTime::DateFromLinear(CXmlDateTime::LinearFromDate(-1.25)), 1e-12);
    EXPECT_NEAR(-0.75, CXmlDateTime::LinearFromDate(-1.25), 1e-12);

    // Spans beyond about 9900 years either way, and NaN, leave the date alone.
    EXPECT_EQ(10.0, CXmlDateTime::AddSpan(10.0, 3615897.5));
    EXPECT_EQ(10.0, CXmlDateTime::AddSpan(10.0, -3615898.0));
    EXPECT_EQ(10.0, CXmlDateTime::AddSpan(10.0, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(3615907.0, CXmlDateTime::AddSpan(10.0, CXmlDateTime::kMaxSpanDays));
}

TEST(XmlDateTime, ZonesWithAndWithoutDaylightRules)
{
    const TIME_ZONE_INFORMATION daylight = ZoneWithDaylightRules();
    struct
    {
        TIME_ZONE_INFORMATION zone;
        SYSTEMTIME local;
        SYSTEMTIME utc;
    } cases[] = {
        // Without daylight rules the bias is added.
        {FixedZone(-540), MakeTime(2009, 6, 1, 9), MakeTime(2009, 6, 1)},
        {FixedZone(300), MakeTime(1999, 12, 31, 20, 0, 0, 250), MakeTime(2000, 1, 1, 1, 0, 0, 250)},
        {daylight, MakeTime(2020, 1, 15, 12), MakeTime(2020, 1, 15, 17)},
        {daylight, MakeTime(2020, 7, 1, 12, 0, 0, 750), MakeTime(2020, 7, 1, 16, 0, 0, 750)},
        {daylight, MakeTime(2020, 12, 31, 22, 30, 15, 5), MakeTime(2021, 1, 1, 3, 30, 15, 5)},
        // Before 1899-12-30 the kept milliseconds must still land after the converted second.
        {daylight, MakeTime(1899, 12, 29, 22, 30, 0, 500), MakeTime(1899, 12, 30, 3, 30, 0, 500)},
        {daylight, MakeTime(1899, 12, 28, 12, 0, 0, 400), MakeTime(1899, 12, 28, 17, 0, 0, 400)},
    };
    for (const auto& c : cases)
    {
        CXmlDateTime dt;
        ASSERT_TRUE(dt.SetSystemTime(c.local, c.zone));
        EXPECT_EQ(CXmlDateTime::valid, dt.GetStatus());
        EXPECT_NEAR(Built(c.utc), dt.GetValue(), 1e-9) << c.local.wYear << "-" << c.local.wMonth << "-" << c.local.wDay;
    }
}

TEST(XmlDateTime, AnInvalidDateStaysInvalidWithoutDaylightRulesAndIsRefusedWithThem)
{
    CXmlDateTime converted;
    ASSERT_TRUE(converted.SetSystemTime(MakeTime(2009, 2, 30), FixedZone(60)));
    EXPECT_EQ(CXmlDateTime::invalid, converted.GetStatus());

    CXmlDateTime dt;
    EXPECT_EQ(0.0, dt.GetValue());  // a new value is 0 and valid
    EXPECT_EQ(CXmlDateTime::valid, dt.GetStatus());
    ASSERT_TRUE(dt.SetSystemTime(MakeTime(2000, 1, 1), false));
    EXPECT_FALSE(dt.SetSystemTime(MakeTime(2009, 2, 30), ZoneWithDaylightRules()));
    EXPECT_EQ(36526.0, dt.GetValue());
    EXPECT_EQ(CXmlDateTime::valid, dt.GetStatus());
}

TEST(XmlDateTime, MachineLocalTimeBecomesUtc)
{
    // Two readings of the same moment: the local one converted must match the UTC one. The slack
    // covers the time between the two calls on a busy machine.
    SYSTEMTIME utc;
    SYSTEMTIME local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    CXmlDateTime fromUtc;
    CXmlDateTime fromLocal;
    ASSERT_TRUE(fromUtc.SetSystemTime(utc, false));
    ASSERT_TRUE(fromLocal.SetSystemTime(local, true));
    EXPECT_NEAR(fromUtc.GetValue(), fromLocal.GetValue(), 5 * kSecond);
}
