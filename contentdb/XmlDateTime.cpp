#include "contentdb/XmlDateTime.h"

#include <cmath>

namespace
{
constexpr double kMinutesPerDay = 24.0 * 60.0;

bool SameUpToSeconds(const SYSTEMTIME& a, const SYSTEMTIME& b) noexcept
{
    // The day of the week is not compared: callers rarely fill it in.
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

}  // namespace

double CXmlDateTime::LinearFromDate(DATE date) noexcept
{
    if (date >= 0.0)
        return date;
    // A negative date's fraction counts forward from its (negative) day.
    const double day = std::ceil(date);
    return day - (date - day);
}

DATE CXmlDateTime::DateFromLinear(double linear) noexcept
{
    if (linear >= 0.0)
        return linear;
    const double day = std::floor(linear);
    return day + (day - linear);
}

DATE CXmlDateTime::AddSpan(DATE date, double spanDays) noexcept
{
    // Written so that NaN counts as invalid too.
    if (!(spanDays >= -kMaxSpanDays && spanDays <= kMaxSpanDays))
        return date;
    return DateFromLinear(LinearFromDate(date) + spanDays);
}

void CXmlDateTime::Build(const SYSTEMTIME& time, DATE& value, Status& status) noexcept
{
    // Milliseconds are added separately: not every platform's conversion keeps them.
    SYSTEMTIME whole = time;
    whole.wMilliseconds = 0;
    value = 0.0;
    status = invalid;
    DATE date = 0.0;
    if (SystemTimeToVariantTime(&whole, &date))
    {
        value = date;
        // The conversion normalises impossible dates (30 February becomes 2 March); only a date
        // that converts back to itself is valid.
        SYSTEMTIME back = {};
        if (VariantTimeToSystemTime(date, &back) && SameUpToSeconds(whole, back))
            status = valid;
    }
    if (status != null)
        value = AddSpan(value, time.wMilliseconds / 1000.0 / 60.0 / 60.0 / 24.0);
}

bool CXmlDateTime::LocalToUtc(const TIME_ZONE_INFORMATION& zone, bool machineZone, DATE& value,
                              Status status) noexcept
{
    if (zone.StandardDate.wMonth == 0 || zone.DaylightDate.wMonth == 0)
    {
        // No daylight-saving rules: the bias alone converts (UTC = local + bias).
        value = AddSpan(value, zone.Bias / kMinutesPerDay);
        return true;
    }
    if (status != valid)
        return false;
    // The platform converts whole seconds; what it drops is added back to the result.
    SYSTEMTIME local = {};
    if (!VariantTimeToSystemTime(value, &local))
        return false;
    local.wMilliseconds = 0;
    DATE localWhole = 0.0;
    if (!SystemTimeToVariantTime(&local, &localWhole))
        return false;
    const double dropped = LinearFromDate(value) - LinearFromDate(localWhole);
    SYSTEMTIME utc = {};
    if (!TzSpecificLocalTimeToSystemTime(machineZone ? nullptr : &zone, &local, &utc))
        return false;
    utc.wMilliseconds = 0;
    DATE utcWhole = 0.0;
    if (!SystemTimeToVariantTime(&utc, &utcWhole))
        return false;
    value = AddSpan(utcWhole, dropped);
    return true;
}

bool CXmlDateTime::SetSystemTime(const SYSTEMTIME& time, bool fromLocal)
{
    DATE value = 0.0;
    Status status = valid;
    Build(time, value, status);
    if (fromLocal)
    {
        TIME_ZONE_INFORMATION zone = {};
        if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID)
            return false;
        if (!LocalToUtc(zone, true, value, status))
            return false;
    }
    m_value = value;
    m_status = status;
    return true;
}

bool CXmlDateTime::SetSystemTime(const SYSTEMTIME& time, const TIME_ZONE_INFORMATION& zone)
{
    DATE value = 0.0;
    Status status = valid;
    Build(time, value, status);
    if (!LocalToUtc(zone, false, value, status))
        return false;
    m_value = value;
    m_status = status;
    return true;
}
