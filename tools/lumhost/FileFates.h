#pragma once
#include <windows.h>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include "common/Scoped.h"

// What became of each file the plug-in was told about, pieced together from what the host sees:
// the notifications it raised, the requests handed to the manager, the entries withdrawn and the
// pending count. The plug-in drops a file silently (unreadable, gone, no path); the host infers
// that when the pending count falls to 0 while a file notified well before has not been handed
// off since.
class CFileFates
{
public:
    // A notification older than this has surely reached the plug-in's queue (the database
    // delivers at once), so a pending count of 0 means the plug-in is done with it.
    static constexpr DWORD kDeliveredMs = 2000;

    enum class State
    {
        Waiting,    // notified (kind 1), not handed off since
        HandedOff,  // handed to the manager since the last notification
        Dropped,    // the plug-in let it go without a hand-off
        Removed,    // the file went away (kind 2)
    };

    struct Fate
    {
        std::wstring path;
        State state = State::Waiting;
        ULONG notifications = 0;
        ULONG handOffs = 0;
        ULONG withdrawn = 0;     // manager entries withdrawn for it
        ULONG lastCategory = 0;  // of the last hand-off
        DWORD lastNotified = 0;  // tick
        DWORD lastHandOff = 0;   // tick
    };

    void Notified(const std::wstring& path, LONG kind, DWORD tick);
    void HandedOff(const std::wstring& path, ULONG category, DWORD tick);
    void Withdrawn(const std::wstring& path);
    // The files newly found dropped when the count is 0 (nothing for other counts).
    std::vector<std::wstring> PendingCountChanged(ULONG count, DWORD tick);

    // All files, in the order they were first notified.
    std::vector<Fate> Fates() const;

private:
    Fate& FateOf(const std::wstring& path);

    mutable CCriticalSection m_lock{LockRank::Outside};
    std::vector<Fate> m_fates;
    std::map<std::wstring, size_t> m_index;  // upper-cased path -> m_fates index
};

// "handed off as image (0x08)", "dropped", ...: the fate as the summary shows it.
std::wstring DescribeFate(const CFileFates::Fate& fate);

// The kind of fate without its details: "handed off as image (0x08)", "still pending", ...
std::wstring DescribeFateKind(const CFileFates::Fate& fate);

// The exit summary: the fates summed up by kind, each with its count and a few example names,
// then every file with its fate when there are kListEveryUpTo files or fewer, or `everyFile`.
// `shown` gives a path as the summary names it. One entry per line.
constexpr size_t kListEveryUpTo = 40;
constexpr size_t kFateExamples = 3;
std::vector<std::wstring> SummariseFates(const std::vector<CFileFates::Fate>& fates,
                                         const std::function<std::wstring(const std::wstring&)>& shown,
                                         bool everyFile);
