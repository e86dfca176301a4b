#include "tools/soak/HandOffLedger.h"
#include <cwctype>

namespace
{
constexpr size_t kFindingsKept = 20;

ULONG AllowedPerRun(ULONG mode)
{
    switch (mode)
    {
    case 0x02:  // clean-up: hands nothing
        return 0;
    case 0x03:  // category search with version check: again after its engine-state reset
    case 0x04:  // category search: the new items in two passes
        return 2;
    default:
        return 1;
    }
}
}  // namespace

CHandOffLedger::CHandOffLedger(PathOfId pathOfId) : m_pathOfId(std::move(pathOfId))
{
}

std::wstring CHandOffLedger::Key(const std::wstring& path)
{
    std::wstring key = path;
    for (wchar_t& c : key)
        c = static_cast<wchar_t>(std::towlower(c));
    return key;
}

void CHandOffLedger::SearchStarted(ULONG queueFlags, ULONG mode)
{
    CLockGuard guard(m_lock);
    m_searches[queueFlags] = Search{mode, {}};
}

void CHandOffLedger::DatabaseChanged(const std::wstring& id, LONG kind)
{
    if (kind != 1)
        return;
    const std::wstring path = m_pathOfId(id);
    if (path.empty())
        return;
    CLockGuard guard(m_lock);
    ++m_requests[Key(path)];
}

void CHandOffLedger::Reloadable(const std::map<std::wstring, ULONG>& counts)
{
    CLockGuard guard(m_lock);
    for (const auto& entry : counts)
        m_requests[Key(entry.first)] += entry.second;
}

void CHandOffLedger::HandedOff(const std::wstring& path, ULONG queueFlags)
{
    const std::wstring key = Key(path);
    CLockGuard guard(m_lock);
    if (queueFlags == kNotificationFlags)
    {
        ++m_notificationHandOffs;
        const ULONG handed = ++m_handed[key];
        const auto requests = m_requests.find(key);
        const ULONG allowed = requests == m_requests.end() ? 0 : requests->second;
        if (handed > allowed)
            Flag(path, queueFlags, handed, allowed);
        return;
    }
    ++m_searchHandOffs;
    const auto search = m_searches.find(queueFlags);
    if (search == m_searches.end())
    {
        Flag(path, queueFlags, 1, 0);
        return;
    }
    const ULONG handed = ++search->second.handed[key];
    const ULONG allowed = AllowedPerRun(search->second.mode);
    if (handed > allowed)
        Flag(path, queueFlags, handed, allowed);
}

void CHandOffLedger::Flag(const std::wstring& path, ULONG flags, ULONG handed, ULONG allowed)
{
    ++m_findingCount;
    if (m_findings.size() < kFindingsKept)
        m_findings.push_back(Finding{path, flags, handed, allowed, GetTickCount()});
}

ULONG CHandOffLedger::NotificationHandOffs() const
{
    CLockGuard guard(m_lock);
    return m_notificationHandOffs;
}

ULONG CHandOffLedger::SearchHandOffs() const
{
    CLockGuard guard(m_lock);
    return m_searchHandOffs;
}

std::vector<CHandOffLedger::Finding> CHandOffLedger::Findings(ULONG& total) const
{
    CLockGuard guard(m_lock);
    total = m_findingCount;
    return m_findings;
}
