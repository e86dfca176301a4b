#include "tools/lumhost/FileFates.h"
#include "tools/lumhost/MediaTypes.h"
#include "tools/lumhost/Timeline.h"

CFileFates::Fate& CFileFates::FateOf(const std::wstring& path)
{
    std::wstring key = path;
    if (!key.empty())
        CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    const auto found = m_index.find(key);
    if (found != m_index.end())
        return m_fates[found->second];
    m_index.emplace(key, m_fates.size());
    m_fates.emplace_back();
    m_fates.back().path = path;
    return m_fates.back();
}

void CFileFates::Notified(const std::wstring& path, LONG kind, DWORD tick)
{
    CLockGuard guard(m_lock);
    Fate& fate = FateOf(path);
    ++fate.notifications;
    fate.lastNotified = tick;
    fate.state = kind == 2 ? State::Removed : State::Waiting;
}

void CFileFates::HandedOff(const std::wstring& path, ULONG category, DWORD tick)
{
    CLockGuard guard(m_lock);
    Fate& fate = FateOf(path);
    ++fate.handOffs;
    fate.lastCategory = category;
    fate.lastHandOff = tick;
    if (fate.state != State::Removed)
        fate.state = State::HandedOff;
}

void CFileFates::Withdrawn(const std::wstring& path)
{
    CLockGuard guard(m_lock);
    ++FateOf(path).withdrawn;
}

std::vector<std::wstring> CFileFates::PendingCountChanged(ULONG count, DWORD tick)
{
    std::vector<std::wstring> dropped;
    if (count != 0)
        return dropped;
    CLockGuard guard(m_lock);
    for (Fate& fate : m_fates)
    {
        if (fate.state == State::Waiting && tick - fate.lastNotified >= kDeliveredMs)
        {
            fate.state = State::Dropped;
            dropped.push_back(fate.path);
        }
    }
    return dropped;
}

std::vector<CFileFates::Fate> CFileFates::Fates() const
{
    CLockGuard guard(m_lock);
    return m_fates;
}

std::wstring DescribeFate(const CFileFates::Fate& fate)
{
    std::wstring text;
    switch (fate.state)
    {
    case CFileFates::State::Waiting:
        text = L"still pending";
        break;
    case CFileFates::State::HandedOff:
        text = L"handed off as " + DescribeCategory(fate.lastCategory);
        break;
    case CFileFates::State::Dropped:
        text = L"dropped by the plug-in (no hand-off, nothing pending)";
        break;
    case CFileFates::State::Removed:
        text = L"removed from the folder";
        break;
    }
    if (fate.state == CFileFates::State::HandedOff && fate.handOffs > 1)
        text += FormatText(L"; %lu hand-offs in all", static_cast<unsigned long>(fate.handOffs));
    else if (fate.state != CFileFates::State::HandedOff && fate.handOffs > 0)
        text += FormatText(L"; handed off %lu time(s) before", static_cast<unsigned long>(fate.handOffs));
    if (fate.withdrawn > 0)
        text += FormatText(L"; %lu older request(s) withdrawn", static_cast<unsigned long>(fate.withdrawn));
    return text;
}
