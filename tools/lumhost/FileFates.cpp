#include "tools/lumhost/FileFates.h"
#include <algorithm>
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

std::wstring DescribeFateKind(const CFileFates::Fate& fate)
{
    switch (fate.state)
    {
    case CFileFates::State::Waiting:
        return L"still pending";
    case CFileFates::State::HandedOff:
        return L"handed off as " + DescribeCategory(fate.lastCategory);
    case CFileFates::State::Dropped:
        return L"dropped by the plug-in (no hand-off, nothing pending)";
    case CFileFates::State::Removed:
        return L"removed from the folder";
    }
    return std::wstring();
}

std::wstring DescribeFate(const CFileFates::Fate& fate)
{
    std::wstring text = DescribeFateKind(fate);
    if (fate.state == CFileFates::State::HandedOff && fate.handOffs > 1)
        text += FormatText(L"; %lu hand-offs in all", static_cast<unsigned long>(fate.handOffs));
    else if (fate.state != CFileFates::State::HandedOff && fate.handOffs > 0)
        text += FormatText(L"; handed off %lu time(s) before", static_cast<unsigned long>(fate.handOffs));
    if (fate.withdrawn > 0)
        text += FormatText(L"; %lu older request(s) withdrawn", static_cast<unsigned long>(fate.withdrawn));
    return text;
}

std::vector<std::wstring> SummariseFates(const std::vector<CFileFates::Fate>& fates,
                                         const std::function<std::wstring(const std::wstring&)>& shown,
                                         bool everyFile)
{
    std::vector<std::wstring> lines;
    if (fates.empty())
    {
        lines.push_back(L"No file was notified to the plug-in.");
        return lines;
    }
    struct Kind
    {
        std::wstring name;
        size_t count = 0;
        std::vector<std::wstring> examples;
    };
    std::vector<Kind> kinds;  // in the order first met
    for (const CFileFates::Fate& fate : fates)
    {
        const std::wstring name = DescribeFateKind(fate);
        auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const Kind& k) { return k.name == name; });
        if (kind == kinds.end())
            kind = kinds.insert(kinds.end(), Kind{name, 0, {}});
        ++kind->count;
        if (kind->examples.size() < kFateExamples)
            kind->examples.push_back(shown(fate.path));
    }
    lines.push_back(FormatText(L"What the plug-in did with the %lu file(s) it was told about:",
                               static_cast<unsigned long>(fates.size())));
    size_t column = 0;
    for (const Kind& kind : kinds)
        column = std::max(column, kind.name.size());
    for (const Kind& kind : kinds)
    {
        std::wstring line = L"  " + kind.name + std::wstring(column - kind.name.size(), L' ') +
                            FormatText(L"  %6lu", static_cast<unsigned long>(kind.count));
        std::wstring names;
        for (const std::wstring& example : kind.examples)
            names += (names.empty() ? L"" : L", ") + example;
        line += (kind.count > kind.examples.size() ? L"  e.g. " : L"  ") + names;
        if (kind.count > kind.examples.size())
            line += L", ...";
        lines.push_back(line);
    }
    if (!everyFile && fates.size() > kListEveryUpTo)
    {
        lines.push_back(L"(lumhost -v lists every file)");
        return lines;
    }
    lines.push_back(L"Each file:");
    // Names line up unless one is very long.
    constexpr size_t kMaxColumn = 40;
    column = 0;
    for (const CFileFates::Fate& fate : fates)
        column = std::max(column, std::min(shown(fate.path).size(), kMaxColumn));
    for (const CFileFates::Fate& fate : fates)
    {
        std::wstring name = shown(fate.path);
        if (name.size() < column)
            name.resize(column, L' ');
        lines.push_back(L"  " + name + L"  " + DescribeFate(fate));
    }
    return lines;
}
