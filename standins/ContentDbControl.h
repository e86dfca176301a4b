#pragma once
#include <windows.h>
#include <functional>
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
    // NextStandinCallSequence() on arrival: one order across every connection and every other
    // stand-in, so a test can tell that all reads came before the first write or queued item.
    LONG sequence = 0;
    DWORD tick = 0;  // GetTickCount() on arrival
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

    // The next `times` calls of the method answer `result` without doing anything. S_OK disarms
    // every failure of the method, those of FailCall included.
    void FailNext(CdbMethod method, HRESULT result, ULONG times = 1);
    // Lets `skip` matching calls of the method through, then answers `result` for the next `times`
    // matching ones (a second Search, the Open of the second connection, MoveNext after k rows).
    // A call matches when textContains is empty or occurs in its text as recorded (a Search's
    // query, the item id of a SetValues...). Several such faults may be armed at once; each
    // counts only the calls it matches.
    void FailCall(CdbMethod method, HRESULT result, ULONG skip, ULONG times = 1, const std::wstring& textContains = {});
    // Calls of the method from now on block on entry until Release(method).
    void Stall(CdbMethod method);
    void Release(CdbMethod method);
    // True once `count` calls of the method have blocked since Stall(method).
    bool WaitStalled(CdbMethod method, ULONG count, DWORD timeoutMs);
    // Disarms every fault and releases every stall. The value shaper stays.
    void Reset();

    // Reshapes every answer of GetValue after the stand-in has made it: a value count without a
    // value, a value with a count of 0, a count beyond the values, or another text, which a real
    // database might hand over and this one does not. The shaper owns the BSTR it is given and
    // leaves in `value` the one answered. Null: answers as they are (the default).
    using ValueShaper = std::function<void(LONG propId, LONG& valueCount, BSTR& value)>;
    void SetValueShaper(ValueShaper shaper);
    // For GetValue: applies the shaper, if one is set.
    void ShapeValue(LONG propId, LONG& valueCount, BSTR& value);

    // Counts the call, blocks while the method is stalled, then gives S_OK or the injected answer.
    // `text` is the call's text, for the faults that look for one.
    HRESULT Enter(CdbMethod method, const std::wstring& text = {});

    // Recording is on at first; counting always is.
    void SetRecording(bool on);
    bool IsRecording() const noexcept { return InterlockedCompareExchange(&m_recording, 0, 0) != 0; }
    // Whether the connections need to gather a call's details: to record them, or to match them.
    bool WantsDetails() const noexcept
    {
        return IsRecording() || InterlockedCompareExchange(const_cast<volatile LONG*>(&m_armed), 0, 0) != 0;
    }
    // Stamps the call's sequence number and keeps it when recording is on.
    void Record(CdbCall call);
    std::vector<CdbCall> Calls() const;
    std::vector<CdbCall> Calls(CdbMethod method) const;
    LONG CallCount(CdbMethod method) const noexcept;
    void ClearCalls();
    // The calls recorded so far, taken out of the record in one step (the counts stay), so that a
    // reader polling a long run loses none.
    std::vector<CdbCall> TakeCalls();

private:
    static constexpr size_t kMethods = static_cast<size_t>(CdbMethod::Count);

    struct Fault
    {
        CdbMethod method;
        HRESULT result;
        ULONG skip;
        ULONG times;  // kAlways: never used up
        std::wstring textContains;
    };

    void UpdateArmed();  // under m_lock

    mutable CCriticalSection m_lock{LockRank::Outside};
    volatile LONG m_armed = 0;
    mutable volatile LONG m_recording = 1;
    volatile LONG m_callCounts[kMethods] = {};
    std::vector<Fault> m_faults;  // in arming order; the first that takes a call answers it
    bool m_stalled[kMethods] = {};
    ULONG m_stalledCalls[kMethods] = {};
    CScopedHandle m_open[kMethods];  // manual reset, signalled while the method is not stalled
    CScopedHandle m_blocked;         // auto reset, pulsed when a call blocks
    std::vector<CdbCall> m_calls;
    volatile LONG m_shaping = 0;  // read without the lock: GetValue runs by the thousand
    ValueShaper m_shaper;         // guarded by m_lock
};
