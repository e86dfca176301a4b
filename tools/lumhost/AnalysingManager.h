#pragma once
#include <windows.h>
#include <deque>
#include <functional>
#include <string>
#include <vector>
#include "common/Scoped.h"

class CContentDbCatalogue;

// The analysing half of lumhost's manager: every item handed over waits in a queue and is
// "analysed" in turn, one at a time, for a fixed time each; then its analysis states are written
// back to the content database as a manager does once the engines are through: the overall state
// and the field of every engine that analyses the item's category become "analysed" (4). The
// writes make no change notification, so an analysed item does not come back to the plug-in as a
// changed file; a later search sees it analysed.
//
// The manager's status object is kept told of the queue: items waiting, and the one in analysis.
class CAnalysingManager
{
public:
    static constexpr ULONG kStateAnalysed = 4;

    struct Analysed
    {
        std::wstring entryId;
        std::wstring path;
        std::wstring itemId;
        ULONG category = 0;
        bool written = false;      // false: `problem` says why nothing was written
        std::wstring problem;
        LONG words[4] = {};        // the state words 0xAF to 0xB2 after the write
        std::vector<ULONG> fields; // the engine fields set
        DWORD tick = 0;
    };
    using Listener = std::function<void(const Analysed&)>;
    // The state fields of the engines that analyse a category.
    using FieldsOf = std::function<std::vector<ULONG>(ULONG category)>;

    CAnalysingManager(CContentDbCatalogue& database, FieldsOf fieldsOf, DWORD analyseMs, Listener onAnalysed);
    ~CAnalysingManager();
    CAnalysingManager(const CAnalysingManager&) = delete;
    CAnalysingManager& operator=(const CAnalysingManager&) = delete;

    HRESULT Start();
    // Ends the thread; items still waiting are not analysed.
    void Stop();

    void Queue(const std::wstring& entryId, const std::wstring& path, const std::wstring& itemId, ULONG category);
    // Drops the entry before it is analysed (the plug-in withdrew it); false when it is not
    // waiting.
    bool Withdraw(const std::wstring& entryId);
    // Items waiting or in analysis.
    size_t Outstanding() const;

private:
    struct Item
    {
        std::wstring entryId;
        std::wstring path;
        std::wstring itemId;
        ULONG category = 0;
    };

    static unsigned __stdcall ThreadMain(void* self);
    void Run();
    Analysed Analyse(const Item& item);
    void PublishCounts();  // under m_lock

    CContentDbCatalogue& m_database;
    FieldsOf m_fieldsOf;
    const DWORD m_analyseMs;
    Listener m_onAnalysed;
    mutable CCriticalSection m_lock{LockRank::Outside};
    std::deque<Item> m_waiting;     // guarded by m_lock
    bool m_analysing = false;       // guarded by m_lock
    std::wstring m_current;         // entry in analysis; guarded by m_lock
    bool m_currentWithdrawn = false;
    CScopedHandle m_wake;  // auto reset
    CScopedHandle m_stop;  // manual reset
    CScopedHandle m_thread;
};
