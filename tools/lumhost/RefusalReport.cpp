#include "tools/lumhost/RefusalReport.h"

#include <string>
#include <vector>
#include "common/Scoped.h"
#include "tools/lumhost/Timeline.h"

void CRefusalReport::PrintNew(ILumMgrPluginEngine* engine)
{
    if (!engine)
        return;
    CScopedVariant count;
    if (engine->GetProperty(kPropertyRefusedFileChanges, count.Get()) != S_OK || count->vt != VT_UI4 ||
        count->ulVal == m_seen)
        return;
    const ULONG fresh = count->ulVal - m_seen;
    m_seen = count->ulVal;
    CScopedVariant recent;
    if (engine->GetProperty(kPropertyRecentRefusedFileChanges, recent.Get()) != S_OK || recent->vt != VT_BSTR)
        return;
    // The plug-in keeps the last few: the newest `fresh` of them are the ones not shown yet.
    std::vector<std::wstring> lines;
    const std::wstring text(recent->bstrVal, SysStringLen(recent->bstrVal));
    for (size_t start = 0; start < text.size();)
    {
        const size_t end = text.find(L"\r\n", start);
        lines.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        start = end == std::wstring::npos ? text.size() : end + 2;
    }
    if (fresh > lines.size())
        m_timeline.Print(FormatText(L"%-14s %lu more than shown", L"refused", static_cast<unsigned long>(fresh - lines.size())));
    for (size_t i = lines.size() > fresh ? lines.size() - fresh : 0; i < lines.size(); ++i)
        m_timeline.Print(FormatText(L"%-14s %s", L"refused", lines[i].c_str()));
}
