#include "tools/fuzz/DateTimeTarget.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include "contentdb/XmlDateTime.h"
#include "tools/fuzz/FuzzInput.h"
#include "tools/soak/SoakRandom.h"

namespace
{
// The years the platform's variant dates cover without reading them as two-digit years.
constexpr WORD kFirstFullYear = 100;
constexpr WORD kLastYear = 9999;

bool IsLeap(unsigned year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool IsRealDateTime(const SYSTEMTIME& t)
{
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.wYear < kFirstFullYear || t.wYear > kLastYear || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1)
        return false;
    const unsigned inMonth = days[t.wMonth - 1] + (t.wMonth == 2 && IsLeap(t.wYear) ? 1 : 0);
    return t.wDay <= inMonth && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60;
}

SYSTEMTIME ReadTime(CFuzzInput& in)
{
    SYSTEMTIME t = {};
    if (in.Flag())
    {
        // Mostly plausible: near the calendar's edges and its leap days.
        static const WORD years[] = {100, 1600, 1752, 1899, 1900, 2000, 2024, 2100, 9999, 99, 0, 10000};
        t.wYear = in.Flag() ? years[in.Below(sizeof(years) / sizeof(years[0]))] : static_cast<WORD>(1 + in.Below(9999));
        t.wMonth = static_cast<WORD>(in.Below(14));
        t.wDay = static_cast<WORD>(in.Below(33));
        t.wHour = static_cast<WORD>(in.Below(25));
        t.wMinute = static_cast<WORD>(in.Below(61));
        t.wSecond = static_cast<WORD>(in.Below(61));
        t.wMilliseconds = static_cast<WORD>(in.Below(1001));
        t.wDayOfWeek = static_cast<WORD>(in.Below(8));
        return t;
    }
    WORD* fields = &t.wYear;
    for (int i = 0; i < 8; ++i)
        fields[i] = in.Word();
    return t;
}

double ReadDouble(CFuzzInput& in)
{
    static const double specials[] = {0.0, -0.0, -1.0, -1.25, -0.5, 1e300, -1e300, NAN, INFINITY, -INFINITY,
                                      CXmlDateTime::kMaxSpanDays, -CXmlDateTime::kMaxSpanDays, 2958465.99999, -657434.0};
    if (in.Flag())
        return specials[in.Below(sizeof(specials) / sizeof(specials[0]))];
    const uint64_t bits = in.Qword();
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

bool Same(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof(a)) == 0 || a == b;
}

std::string Describe(const SYSTEMTIME& t)
{
    char text[80];
    std::snprintf(text, sizeof(text), "%u-%u-%u %u:%u:%u.%u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                  t.wMilliseconds);
    return text;
}
}  // namespace

std::vector<FuzzBytes> CDateTimeTarget::Seeds()
{
    std::vector<FuzzBytes> seeds;
    const SYSTEMTIME times[] = {{2009, 2, 0, 30, 0, 0, 0, 0}, {2000, 1, 6, 1, 12, 0, 0, 500}, {1899, 12, 5, 29, 6, 0, 0, 999},
                                {2024, 2, 4, 29, 23, 59, 59, 999}, {9999, 12, 5, 31, 23, 59, 59, 999}};
    for (const SYSTEMTIME& t : times)
    {
        CFuzzInputWriter writer;
        writer.Byte(0);  // raw fields
        const WORD* fields = &t.wYear;
        for (int i = 0; i < 8; ++i)
            writer.Word(fields[i]);
        seeds.push_back(writer.Bytes());
    }
    return seeds;
}

std::string CDateTimeTarget::Run(const FuzzBytes& input)
{
    CFuzzInput in(input);
    const SYSTEMTIME time = ReadTime(in);

    CXmlDateTime date;
    if (!date.SetSystemTime(time, false))
        return "SetSystemTime without conversion answered false for " + Describe(time);
    const bool valid = date.GetStatus() == CXmlDateTime::valid;
    if (valid != IsRealDateTime(time))
    {
        // Years below 100 the platform reads as two-digit years: their answer is not the calendar's.
        if (time.wYear >= kFirstFullYear)
            return std::string("status ") + (valid ? "valid" : "invalid") + " for " + Describe(time);
    }
    if (valid)
    {
        if (!std::isfinite(date.GetValue()))
            return "a valid date is not finite: " + Describe(time);
        SYSTEMTIME back = {};
        SYSTEMTIME whole = time;
        whole.wMilliseconds = 0;
        DATE wholeDate = 0;
        // The value without its milliseconds lies within a second before the value.
        if (!SystemTimeToVariantTime(&whole, &wholeDate) || !VariantTimeToSystemTime(wholeDate, &back) ||
            std::fabs(CXmlDateTime::LinearFromDate(date.GetValue()) - CXmlDateTime::LinearFromDate(wholeDate) -
                      time.wMilliseconds / 86400000.0) > 1e-6)
            return "the value of " + Describe(time) + " is not its date plus its milliseconds";
    }

    // The machine's zone and a zone from the input: any answer, but a true one is a number.
    CXmlDateTime local;
    if (local.SetSystemTime(time, true) && !std::isfinite(local.GetValue()))
        return "the local conversion of " + Describe(time) + " is not finite";
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = static_cast<LONG>(in.Dword());
    if (in.Flag())
        zone.Bias %= 24 * 60;
    zone.StandardDate = ReadTime(in);
    zone.DaylightDate = ReadTime(in);
    zone.StandardBias = static_cast<LONG>(in.Word()) - 0x8000;
    zone.DaylightBias = in.Flag() ? -60 : static_cast<LONG>(in.Word()) - 0x8000;
    CXmlDateTime zoned;
    if (zoned.SetSystemTime(time, zone) && !std::isfinite(zoned.GetValue()))
        return "the conversion of " + Describe(time) + " with the zone's rules is not finite";

    const double when = ReadDouble(in);
    const double span = ReadDouble(in);
    const DATE moved = CXmlDateTime::AddSpan(when, span);
    if (!(span >= -CXmlDateTime::kMaxSpanDays && span <= CXmlDateTime::kMaxSpanDays) && !Same(moved, when))
        return "an invalid span changed a date";
    // A date of -1 or less, or 0 or more, has one linear form (between them the fraction's sign is lost).
    if (std::isfinite(when) && std::fabs(when) < 1e12 && (when >= 0 || when <= -1))
    {
        const double back = CXmlDateTime::DateFromLinear(CXmlDateTime::LinearFromDate(when));
        if (std::fabs(back - when) > 1e-9 * std::max(1.0, std::fabs(when)))
            return "a date did not come back from its linear form";
    }
    return {};
}
