#pragma once
#include <windows.h>
#include <deque>
#include <functional>
#include <string>
#include <vector>
#include "tools/lumhost/TraceLine.h"
#include "tools/lumhost/TraceTail.h"

class CTimeline;

// The plug-in's decision trace in lumhost's timeline: the lines the plug-in adds to its trace file
// while lumhost runs become "trace" lines, each at the time the plug-in wrote it on the timeline's
// clock. The lines are kept (the newest kMaxKept), so that `why FILE` can tell what the plug-in
// decided about a file.
class CTraceReport
{
public:
    static constexpr size_t kMaxKept = 50000;
    using ShownPath = std::function<std::wstring(const std::wstring& path)>;

    CTraceReport(CTimeline& timeline, const std::wstring& file, ShownPath shown);
    CTraceReport(const CTraceReport&) = delete;
    CTraceReport& operator=(const CTraceReport&) = delete;

    // From now on: what the file holds already is left out. Ties the trace's clock to the tick.
    void Begin();
    // Puts the lines written since the last Poll on the timeline.
    void Poll();
    // The kept lines about a file, oldest first, as "  +31.2s  notify lh-3 held back: ...": those
    // with its path (letter case ignored) and those with an item id seen with that path.
    std::vector<std::wstring> Why(const std::wstring& path) const;

    const std::wstring& File() const noexcept { return m_tail.Path(); }
    // The tick of the timeline's clock at a trace time (UTC, as a FILETIME count); never before
    // the timeline's start.
    DWORD TickOf(ULONGLONG utc) const noexcept;

private:
    struct Kept
    {
        DWORD tick;
        CTraceLine line;
    };

    CTimeline& m_timeline;
    CTraceTail m_tail;
    ShownPath m_shown;
    ULONGLONG m_originUtc = 0;  // the trace time at m_originTick
    DWORD m_originTick = 0;
    std::deque<Kept> m_kept;
};

// 0 off, 1 failures, 2 decisions, 3 detail.
std::wstring DescribeTraceLevel(DWORD level);
