#include "tools/lumhost/TraceReport.h"
#include "tools/lumhost/Timeline.h"

namespace
{
ULONGLONG UtcNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}
}  // namespace

CTraceReport::CTraceReport(CTimeline& timeline, const std::wstring& file, ShownPath shown)
    : m_timeline(timeline), m_tail(file), m_shown(std::move(shown))
{
    m_originUtc = UtcNow();
    m_originTick = GetTickCount();
}

void CTraceReport::Begin()
{
    m_tail.SkipExisting();
    m_originUtc = UtcNow();
    m_originTick = GetTickCount();
}

DWORD CTraceReport::TickOf(ULONGLONG utc) const noexcept
{
    const LONGLONG ms = (static_cast<LONGLONG>(utc) - static_cast<LONGLONG>(m_originUtc)) / 10000;
    const DWORD tick = m_originTick + static_cast<DWORD>(ms);
    // Unsigned tick arithmetic: "before the start" is a difference above half the range.
    return tick - m_timeline.StartTick() > 0x80000000u ? m_timeline.StartTick() : tick;
}

void CTraceReport::Poll()
{
    for (const std::wstring& text : m_tail.Read())
    {
        CTraceLine line;
        if (!ParseTraceLine(text, line))
        {
            m_timeline.Print(FormatText(L"%-14s %s", L"trace", text.c_str()));
            continue;
        }
        const DWORD tick = TickOf(line.utc);
        std::wstring shown = line.source;
        if (!line.itemId.empty())
            shown += L" " + line.itemId;
        if (!line.path.empty())
            shown += L" \"" + m_shown(line.path) + L"\"";
        m_timeline.PrintAt(tick, FormatText(L"%-14s %s %s", L"trace", shown.c_str(), line.decision.c_str()));
        m_kept.push_back(Kept{tick, std::move(line)});
        if (m_kept.size() > kMaxKept)
            m_kept.pop_front();
    }
}

std::vector<std::wstring> CTraceReport::Why(const std::wstring& path) const
{
    // The item ids the file had: lines without a path count by their id.
    std::vector<std::wstring> ids;
    for (const Kept& kept : m_kept)
    {
        if (!kept.line.itemId.empty() && SamePath(kept.line.path, path))
            ids.push_back(kept.line.itemId);
    }
    std::vector<std::wstring> lines;
    for (const Kept& kept : m_kept)
    {
        const CTraceLine& line = kept.line;
        bool about = !line.path.empty() && SamePath(line.path, path);
        for (size_t i = 0; !about && line.path.empty() && i < ids.size(); ++i)
            about = ids[i] == line.itemId;
        if (!about)
            continue;
        lines.push_back(L"  " + FormatStamp(m_timeline.StartTick(), kept.tick) + L"  " + line.source + (line.itemId.empty() ? L"" : L" " + line.itemId) + L" " +
                        line.decision);
    }
    return lines;
}

std::wstring DescribeTraceLevel(DWORD level)
{
    static const wchar_t* const kNames[] = {L"off", L"failures", L"decisions", L"detail"};
    return FormatText(L"%lu (%s)", static_cast<unsigned long>(level), level < 4 ? kNames[level] : L"detail");
}
