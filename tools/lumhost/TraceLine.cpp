#include "tools/lumhost/TraceLine.h"
#include <cwctype>
#include "common/TraceDecision.h"

namespace
{
// A word after the source is an item id unless a decision starts there, since a line may have an
// id without a path. The plug-in's own words: TraceDecisionWord answers "" past the last one.
bool StartsDecision(const std::wstring& text, size_t at)
{
    for (int value = 0;; ++value)
    {
        const wchar_t* word = TraceDecisionWord(static_cast<TraceDecision>(value));
        const size_t length = wcslen(word);
        if (length == 0)
            return false;
        if (text.compare(at, length, word) == 0 &&
            (at + length == text.size() || text[at + length] == L':' || text[at + length] == L' '))
            return true;
    }
}

// Reads `digits` decimal digits at `at`, moving past them.
bool Number(const std::wstring& text, size_t& at, size_t digits, unsigned& value)
{
    value = 0;
    for (size_t i = 0; i < digits; ++i, ++at)
    {
        if (at >= text.size() || !iswdigit(text[at]))
            return false;
        value = value * 10 + static_cast<unsigned>(text[at] - L'0');
    }
    return true;
}

bool Expect(const std::wstring& text, size_t& at, wchar_t c)
{
    if (at >= text.size() || text[at] != c)
        return false;
    ++at;
    return true;
}

// "2026-12-06 17:04:12.345 +01:00 " as UTC.
bool ParseTime(const std::wstring& text, size_t& at, ULONGLONG& utc)
{
    unsigned year, month, day, hour, minute, second, millis, offsetHours, offsetMinutes;
    if (!Number(text, at, 4, year) || !Expect(text, at, L'-') || !Number(text, at, 2, month) ||
        !Expect(text, at, L'-') || !Number(text, at, 2, day) || !Expect(text, at, L' ') ||
        !Number(text, at, 2, hour) || !Expect(text, at, L':') || !Number(text, at, 2, minute) ||
        !Expect(text, at, L':') || !Number(text, at, 2, second) || !Expect(text, at, L'.') ||
        !Number(text, at, 3, millis) || !Expect(text, at, L' ') || at >= text.size())
        return false;
    const wchar_t sign = text[at++];
    if ((sign != L'+' && sign != L'-') || !Number(text, at, 2, offsetHours) || !Expect(text, at, L':') ||
        !Number(text, at, 2, offsetMinutes) || !Expect(text, at, L' '))
        return false;
    SYSTEMTIME local = {};
    local.wYear = static_cast<WORD>(year);
    local.wMonth = static_cast<WORD>(month);
    local.wDay = static_cast<WORD>(day);
    local.wHour = static_cast<WORD>(hour);
    local.wMinute = static_cast<WORD>(minute);
    local.wSecond = static_cast<WORD>(second);
    local.wMilliseconds = static_cast<WORD>(millis);
    FILETIME time;
    if (offsetMinutes >= 60 || !SystemTimeToFileTime(&local, &time))
        return false;
    const LONGLONG offset = (static_cast<LONGLONG>(offsetHours) * 60 + offsetMinutes) * 60 * 10000000LL;
    const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    // Local time is UTC plus the offset.
    utc = sign == L'+' ? ticks - static_cast<ULONGLONG>(offset) : ticks + static_cast<ULONGLONG>(offset);
    return true;
}

// The text up to the next blank, moving past the blank.
std::wstring Word(const std::wstring& text, size_t& at)
{
    const size_t end = text.find(L' ', at);
    std::wstring word = text.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
    at = end == std::wstring::npos ? text.size() : end + 1;
    return word;
}
}  // namespace

bool ParseTraceLine(const std::wstring& text, CTraceLine& line)
{
    line = CTraceLine();
    size_t at = 0;
    if (!ParseTime(text, at, line.utc) || !Expect(text, at, L'['))
        return false;
    const size_t close = text.find(L"] ", at);
    if (close == std::wstring::npos || close == at)
        return false;
    line.thread = text.substr(at, close - at);
    at = close + 2;
    line.source = Word(text, at);
    if (line.source.empty() || at >= text.size())
        return false;
    if (text[at] != L'"' && !StartsDecision(text, at))
        line.itemId = Word(text, at);
    if (at < text.size() && text[at] == L'"')
    {
        // Paths hold no quote, so the next one ends it.
        const size_t end = text.find(L'"', at + 1);
        if (end == std::wstring::npos || end + 1 >= text.size() || text[end + 1] != L' ')
            return false;
        line.path = text.substr(at + 1, end - at - 1);
        at = end + 2;
    }
    line.decision = text.substr(at);
    return !line.decision.empty();
}
