#pragma once
#include <windows.h>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include "common/Scoped.h"

// Everything the manager was handed, checked against what may legally come twice.
//
// The notification path hands a file with queue flags 0x80000000, once per request it holds: each
// change notification of the file's item (kind 1) is one request, and each connect may bring back
// the requests kept in the delay-queue file, beside copies still queued. So a file may be handed
// as often as it was notified plus what the connects reloaded; more is a double hand-off.
//
// A search hands with its request's queue flags, which the soak keeps distinct per search: within
// one run a full search, a metadata-version update and a clean-up hand an item at most once (a
// clean-up never); the category search with version check hands the items whose engine states it
// reset once more, and the plain category search hands new items in two of its passes.
class CHandOffLedger
{
public:
    struct Finding
    {
        std::wstring path;
        ULONG queueFlags = 0;
        ULONG handed = 0;
        ULONG allowed = 0;
        DWORD tick = 0;
    };

    using PathOfId = std::function<std::wstring(const std::wstring& id)>;
    explicit CHandOffLedger(PathOfId pathOfId);

    // The search mode (bits 16 to 23 of the request) started with these queue flags as the
    // manager receives them; counting for them starts afresh.
    void SearchStarted(ULONG queueFlags, ULONG mode);
    // A change of the database (any thread, under the database's lock: takes only its own lock).
    void DatabaseChanged(const std::wstring& id, LONG kind);
    // The requests a connect may load again, by path.
    void Reloadable(const std::map<std::wstring, ULONG>& counts);
    void HandedOff(const std::wstring& path, ULONG queueFlags);

    ULONG NotificationHandOffs() const;
    ULONG SearchHandOffs() const;
    // The double hand-offs found; `total` counts all of them, the list keeps the first few.
    std::vector<Finding> Findings(ULONG& total) const;

    static constexpr ULONG kNotificationFlags = 0x80000000;

private:
    struct Search
    {
        ULONG mode = 0;
        std::map<std::wstring, ULONG> handed;
    };
    static std::wstring Key(const std::wstring& path);
    void Flag(const std::wstring& path, ULONG flags, ULONG handed, ULONG allowed);  // under m_lock

    const PathOfId m_pathOfId;
    mutable CCriticalSection m_lock{LockRank::Outside};
    std::map<std::wstring, ULONG> m_requests;  // notifications and reloads, by lower-cased path
    std::map<std::wstring, ULONG> m_handed;    // notification-path hand-offs, by lower-cased path
    std::map<ULONG, Search> m_searches;        // by queue flags
    ULONG m_notificationHandOffs = 0;
    ULONG m_searchHandOffs = 0;
    ULONG m_findingCount = 0;
    std::vector<Finding> m_findings;
};
