#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "common/Scoped.h"

// The methods of the stand-in content database that a test can watch, fail or stall.
enum class CdbMethod
{
    Open,
    Close,
    SetClientInfo,
    GetServerInfo,
    SetNotificationSink,
    GetDatabaseNames,
    SelectItem,
    SearchRelatedByClass,
    SearchRelated,
    Search,
    MoveNext,
    GetValue,
    DeleteItem,
    SetValues,
    Count
};

// One recorded call. What the fields hold depends on the method:
//   Open: numbers = {flags, count}
//   SetClientInfo: numbers = {index}, text = the text
//   GetServerInfo: numbers = {index}
//   SetNotificationSink: numbers = {1 when a sink was given, else 0}
//   SelectItem / SearchRelated / SearchRelatedByClass: text = item id, numbers = fetched properties,
//       classes = the class filter (SearchRelatedByClass)
//   Search: text = query, database = database name, numbers = fetched properties,
//       options = the three pass-through values
//   GetValue: numbers = {propId, index}
//   DeleteItem: text = item id
//   SetValues: text = item id, numbers = property ids of the second list, values = their first
//       values (empty for none)
struct CdbCall
{
    CdbMethod method = CdbMethod::Count;
    const void* connection = nullptr;
    std::wstring text;
    std::wstring database;
    std::vector<LONG> numbers;
    std::vector<LONG> classes;
    std::vector<ULONG> options;
    std::vector<std::wstring> values;
};

// Fault injection, stalls and the call record of the stand-in database. Every method calls
// Enter() first; while nothing is armed that costs one interlocked read, so a benchmark through
// the stand-in measures the database's work, not the test machinery.
class CContentDbControl
{
public:
    static constexpr ULONG kAlways = 0xFFFFFFFF;
    // A stalled call gives up after this long, so that a test that forgets to release still ends.
    static constexpr DWORD kStallLimitMs = 60000;

    CContentDbControl();
    ~CContentDbControl();
    CContentDbControl(const CContentDbControl&) = delete;
    CContentDbControl& operator=(const CContentDbControl&) = delete;

    // The next `times` calls of the method answer `result` without doing anything. S_OK disarms.
    void FailNext(CdbMethod method, HRESULT result, ULONG times = 1);
    // Calls of the method from now on block on entry until Release(method).
    void Stall(CdbMethod method);
    void Release(CdbMethod method);
    // True once `count` calls of the method have blocked since Stall(method).
    bool WaitStalled(CdbMethod method, ULONG count, DWORD timeoutMs);
    // Disarms every fault and releases every stall.
    void Reset();

    // Counts the call, blocks while the method is stalled, then gives S_OK or the injected answer.
    HRESULT Enter(CdbMethod method);

    // Recording is on at first; counting always is.
    void SetRecording(bool on);
    bool IsRecording() const noexcept { return InterlockedCompareExchange(&m_recording, 0, 0) != 0; }
    void Record(CdbCall call);
    std::vector<CdbCall> Calls() const;
    std::vector<CdbCall> Calls(CdbMethod method) const;
    LONG CallCount(CdbMethod method) const noexcept;
    void ClearCalls();

private:
    static constexpr size_t kMethods = static_cast<size_t>(CdbMethod::Count);

    void UpdateArmed();  // under m_lock

    mutable CCriticalSection m_lock;
    volatile LONG m_armed = 0;
    mutable volatile LONG m_recording = 1;
    volatile LONG m_callCounts[kMethods] = {};
    HRESULT m_failure[kMethods] = {};
    ULONG m_failuresLeft[kMethods] = {};
    bool m_stalled[kMethods] = {};
    ULONG m_stalledCalls[kMethods] = {};
    CScopedHandle m_open[kMethods];  // manual reset, signalled while the method is not stalled
    CScopedHandle m_blocked;         // auto reset, pulsed when a call blocks
    std::vector<CdbCall> m_calls;
};
