#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "standins/ContentDbControl.h"

class CManagerRegistry;
class CMediaCatalogue;
class CTimeline;

// What the plug-in did to lumhost's content database, from the database's record of calls: the
// analysis states it wrote (a missing file, engine fields reset) and the items it removed, on the
// timeline at the time of the call. With `verbose` every call but the reads of a walk is shown
// as well.
class CDatabaseReport
{
public:
    using PathShown = std::function<std::wstring(const std::wstring& path)>;

    struct Counts
    {
        size_t markedMissing = 0;
        size_t reset = 0;
        size_t removed = 0;
    };

    CDatabaseReport(CTimeline& timeline, CContentDbControl& control, CMediaCatalogue& catalogue,
                    const CManagerRegistry& engines, PathShown shown, bool verbose);
    CDatabaseReport(const CDatabaseReport&) = delete;
    CDatabaseReport& operator=(const CDatabaseReport&) = delete;

    // Takes the calls recorded since the last time and prints them.
    Counts Poll();

    // The state words a write carries, as the timeline shows them: "overall 10 (analyse again),
    // PictureFaces 10". `ids` and `values` are the written properties; words not written are left
    // out. Engine fields are named from `engines`, fields of no listed engine by number.
    static std::wstring DescribeStateWrite(const std::vector<LONG>& ids, const std::vector<std::wstring>& values,
                                           const CManagerRegistry& engines);

private:
    void Report(const CdbCall& call, Counts& counts);
    void PrintVerbose(const CdbCall& call);

    CTimeline& m_timeline;
    CContentDbControl& m_control;
    CMediaCatalogue& m_catalogue;
    const CManagerRegistry& m_engines;
    PathShown m_shown;
    const bool m_verbose;
};

// "never analysed", "analysed", "file missing", "analyse again"...; empty for a state lumhost has
// no name for.
std::wstring DescribeAnalysisState(ULONG state);
