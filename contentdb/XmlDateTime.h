#pragma once
#include <windows.h>
#include <oleauto.h>

// One point in time as an OLE Automation date (VT_DATE: days since 1899-12-30, time of day as
// the fraction), built from a SYSTEMTIME with its milliseconds kept.
//
// Variant dates before 1899-12-30 are negative and count their fraction forward from the day:
// -1.25 is 1899-12-29 06:00. Arithmetic therefore goes through a linear form (see AddSpan) so
// that adding time moves such a date forward within its day.
class CXmlDateTime
{
public:
    enum Status : LONG
    {
        valid = 0,
        invalid = 1,
        null = 2,
    };

    // A span is valid only within this many days either way; an invalid span leaves a date as it
    // was.
    static constexpr double kMaxSpanDays = 3615897.0;

    CXmlDateTime() noexcept = default;
    virtual ~CXmlDateTime() = default;

    DATE GetValue() const noexcept { return m_value; }
    Status GetStatus() const noexcept { return m_status; }

    // Takes year to second of `time` plus its milliseconds. With fromLocal the time is read as
    // local time of the machine's zone and stored as UTC. False when the zone cannot be read or
    // the conversion fails; the stored value is then left as it was.
    bool SetSystemTime(const SYSTEMTIME& time, bool fromLocal);
    // The same conversion with the rules of a given zone instead of the machine's.
    bool SetSystemTime(const SYSTEMTIME& time, const TIME_ZONE_INFORMATION& zone);

    // date + span days with variant-date arithmetic; `date` unchanged for an invalid span.
    static DATE AddSpan(DATE date, double spanDays) noexcept;
    // The linear day count of a variant date and back.
    static double LinearFromDate(DATE date) noexcept;
    static DATE DateFromLinear(double linear) noexcept;

private:
    // Steps shared by both SetSystemTime: the date from year to second, then the milliseconds.
    static void Build(const SYSTEMTIME& time, DATE& value, Status& status) noexcept;
    // machineZone: convert with the zone that is active now (the platform reads it itself).
    static bool LocalToUtc(const TIME_ZONE_INFORMATION& zone, bool machineZone, DATE& value, Status status) noexcept;

    DATE m_value = 0.0;
    Status m_status = valid;
};
