#include "tools/lumhost/DatabaseReport.h"
#include "contentdb/ContentConstants.h"
#include "search/AnalysisState.h"
#include "tools/lumhost/ManagerRegistry.h"
#include "tools/lumhost/MediaCatalogue.h"
#include "tools/lumhost/Timeline.h"

namespace
{
const wchar_t* MethodName(CdbMethod method)
{
    switch (method)
    {
    case CdbMethod::Open: return L"Open";
    case CdbMethod::Close: return L"Close";
    case CdbMethod::SetClientInfo: return L"SetClientInfo";
    case CdbMethod::GetServerInfo: return L"GetServerInfo";
    case CdbMethod::SetNotificationSink: return L"SetNotificationSink";
    case CdbMethod::GetDatabaseNames: return L"GetDatabaseNames";
    case CdbMethod::SelectItem: return L"SelectItem";
    case CdbMethod::SearchRelatedByClass: return L"SearchRelatedByClass";
    case CdbMethod::SearchRelated: return L"SearchRelated";
    case CdbMethod::Search: return L"Search";
    case CdbMethod::MoveNext: return L"MoveNext";
    case CdbMethod::GetValue: return L"GetValue";
    case CdbMethod::DeleteItem: return L"DeleteItem";
    case CdbMethod::SetValues: return L"SetValues";
    case CdbMethod::Count: break;
    }
    return L"?";
}

// Engine fields share only "analysed" and "analyse again" with the overall state.
std::wstring StateText(ULONG state, bool overall)
{
    const bool named = overall || state == 4 || state == kStateRepeat;
    const std::wstring name = named ? DescribeAnalysisState(state) : std::wstring();
    return name.empty() ? FormatText(L"%lu", static_cast<unsigned long>(state))
                        : FormatText(L"%lu (%s)", static_cast<unsigned long>(state), name.c_str());
}
}  // namespace

std::wstring DescribeAnalysisState(ULONG state)
{
    switch (state)
    {
    case 0: return L"never analysed";
    case 2:
    case 3: return L"handed over";
    case 4: return L"analysed";
    case 5: return L"file missing";
    case kStateInterrupted: return L"interrupted";
    case kStateRepeat: return L"analyse again";
    default: return std::wstring();
    }
}

CDatabaseReport::CDatabaseReport(CTimeline& timeline, CContentDbControl& control, CMediaCatalogue& catalogue,
                                 const CManagerRegistry& engines, PathShown shown, bool verbose)
    : m_timeline(timeline),
      m_control(control),
      m_catalogue(catalogue),
      m_engines(engines),
      m_shown(std::move(shown)),
      m_verbose(verbose)
{
}

CDatabaseReport::Counts CDatabaseReport::Poll()
{
    Counts counts;
    for (const CdbCall& call : m_control.TakeCalls())
    {
        if (m_verbose)
            PrintVerbose(call);
        Report(call, counts);
    }
    return counts;
}

void CDatabaseReport::Report(const CdbCall& call, Counts& counts)
{
    if (call.method == CdbMethod::DeleteItem)
    {
        const std::wstring path = m_catalogue.PathOfItem(call.text);
        m_timeline.PrintAt(call.tick, FormatText(L"%-14s item %s%s", L"removed", call.text.c_str(),
                                                 path.empty() ? L"" : (L" (" + m_shown(path) + L")").c_str()));
        m_catalogue.ForgetItem(call.text);
        ++counts.removed;
        return;
    }
    if (call.method != CdbMethod::SetValues)
        return;
    const std::wstring states = DescribeStateWrite(call.numbers, call.values, m_engines);
    if (states.empty())
        return;
    const std::wstring path = m_catalogue.PathOfItem(call.text);
    m_timeline.PrintAt(call.tick, FormatText(L"%-14s %s: %s", L"state written",
                                             path.empty() ? (L"item " + call.text).c_str() : m_shown(path).c_str(),
                                             states.c_str()));
    for (size_t i = 0; i < call.numbers.size() && i < call.values.size(); ++i)
    {
        if (call.numbers[i] != kPropAnalysisState0)
            continue;
        const ULONG overall = static_cast<ULONG>(ReadStateWord(call.values[i].c_str())) & kStateFieldMask;
        if (overall == kStateFileMissing)
            ++counts.markedMissing;
        else if (overall == kStateRepeat)
            ++counts.reset;
    }
}

std::wstring CDatabaseReport::DescribeStateWrite(const std::vector<LONG>& ids, const std::vector<std::wstring>& values,
                                                 const CManagerRegistry& engines)
{
    std::wstring text;
    for (size_t i = 0; i < ids.size() && i < values.size(); ++i)
    {
        if (ids[i] < kPropAnalysisState0 || ids[i] > kPropAnalysisState3)
            continue;
        const ULONG word = static_cast<ULONG>(ids[i] - kPropAnalysisState0);
        const ULONG bits = static_cast<ULONG>(ReadStateWord(values[i].c_str()));
        for (ULONG nibble = 0; nibble < 8; ++nibble)
        {
            const ULONG field = word * 8 + nibble + 1;
            const ULONG value = (bits >> (4 * nibble)) & kStateFieldMask;
            if (field != 1 && value == 0)
                continue;
            std::wstring name = field == 1 ? L"overall" : engines.NameOfIndex(field);
            if (name.empty())
                name = FormatText(L"field %lu", static_cast<unsigned long>(field));
            text += (text.empty() ? L"" : L", ") + name + L" " + StateText(value, field == 1);
        }
    }
    return text;
}

void CDatabaseReport::PrintVerbose(const CdbCall& call)
{
    // Walks read values one by one; those lines would drown the rest.
    if (call.method == CdbMethod::GetValue || call.method == CdbMethod::MoveNext)
        return;
    std::wstring text = L"database       plug-in calls " + std::wstring(MethodName(call.method));
    if (!call.text.empty())
    {
        text += L" " + call.text;
        const std::wstring path = m_catalogue.PathOfItem(call.text);
        if (!path.empty())
            text += L" (" + m_shown(path) + L")";
    }
    if (!call.numbers.empty() && call.method != CdbMethod::Open)
    {
        text += L" [";
        for (size_t n = 0; n < call.numbers.size(); ++n)
            text += FormatText(n ? L" 0x%04lX" : L"0x%04lX", static_cast<unsigned long>(call.numbers[n]));
        text += L"]";
    }
    m_timeline.PrintAt(call.tick, text);
}
