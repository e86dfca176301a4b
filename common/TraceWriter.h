#pragma once
#include <windows.h>
#include <atomic>
#include <deque>
#include <string>
#include "common/Scoped.h"
#include "common/String.h"
#include "common/TraceDecision.h"

// The decision trace: one line per decision about a file or a run, written to
// <data folder>\Logs\LumSiftDbNotifyWex.log for an administrator who asks why a file was (not yet)
// analysed. Off by default; the level comes from the plug-in's settings key (CTraceSettingsWatch).
// Deliberately unlike the documented plug-in, which writes no log: switched off, nothing is
// written and no file is created, so the plug-in then behaves as documented.
//
// A decision point costs one relaxed atomic load while the trace is off:
//     if (TraceOn(TraceLevel::Decisions))
//         Trace(TraceSource::Notify, TraceDecision::HeldBack, id, path, L"in use", hr, L"age %lu s", age);
// The line is formatted on the caller's thread, outside any lock of the caller's, and queued; one
// writer thread writes whole lines, many to a WriteFile, so lines never interleave and no worker
// waits for the disk.
//
// Line: "2026-12-06 17:04:12.345 +01:00 [1f3c] notify lh-3 "D:\Rec\show.mp4" held back: in use
// (0x80070020 sharing violation), age 31 s, next look in 10 s": local time with milliseconds and
// UTC offset, thread id in hex, source, item id and quoted path where there are any, the decision,
// its reason, the HRESULT in hex and by name where one is involved (S_OK is not shown), details.

enum class TraceLevel : DWORD
{
    Off = 0,
    Failures = 1,   // what keeps the plug-in from working
    Decisions = 2,  // what became of each file and run
    Detail = 3,     // every notification, query text and manager call
};

namespace trace_detail
{
extern std::atomic<DWORD> g_level;
}

inline bool TraceOn(TraceLevel level) noexcept
{
    return trace_detail::g_level.load(std::memory_order_relaxed) >= static_cast<DWORD>(level);
}

// The level in effect (values above 3 count as 3).
void SetTraceLevel(DWORD level) noexcept;
DWORD GetTraceLevel() noexcept;

// Formats a line and queues it to the module's writer. Never throws; a line that cannot be made
// is left out. itemId, path, reason and detailsFormat may be null.
void Trace(TraceSource source, TraceDecision decision, const wchar_t* itemId, const wchar_t* path,
           const wchar_t* reason, HRESULT hr, const wchar_t* detailsFormat = nullptr, ...) noexcept;

// For a result that no caller takes: a failure is traced as such (level 1), so that it is not
// lost unseen; success writes nothing.
inline void TraceUnreportedFailure(TraceSource source, HRESULT hr, const wchar_t* what, const wchar_t* itemId = nullptr,
                                   const wchar_t* path = nullptr) noexcept
{
    if (FAILED(hr) && TraceOn(TraceLevel::Failures))
        Trace(source, TraceDecision::Failed, itemId, path, what, hr);
}

// The line Trace writes, without its line break, as UTF-8.
std::string FormatTraceLine(TraceSource source, TraceDecision decision, const wchar_t* itemId, const wchar_t* path,
                            const wchar_t* reason, HRESULT hr, const wchar_t* details);

// "0x80070020 sharing violation": the HRESULT in hex and a short name ("0x8004d001" alone when it
// has none).
CString DescribeHResult(HRESULT hr);

// Writes queued lines to a file from a thread of its own, which starts with the first line and
// ends with Stop. The file is UTF-8 with a byte-order mark, shared for reading, writing and
// deletion so that an administrator can open, copy, tail and delete it while it is written. It
// rotates before a line would take it past maxBytes: name.log -> name.1.log -> ... ->
// name.<count-1>.log, the oldest deleted, so that `count` files are kept in all.
//
// Memory is bounded: lines beyond maxQueuedBytes waiting are dropped, and a line saying how many
// follows the lines that got through. When the file cannot be opened or written (a full disk, a
// read-only file, a missing drive) the trace stops: queued lines are discarded, the level drops to
// off, and the event log is told once; a new level from the settings (Resume) tries again.
class CTraceWriter
{
public:
    static constexpr ULONGLONG kDefaultMaxBytes = 8ull * 1024 * 1024;
    static constexpr ULONG kDefaultFileCount = 3;
    static constexpr ULONGLONG kMinMaxBytes = 1024;
    static constexpr ULONG kMaxFileCount = 100;
    // How long queued lines gather before the writer takes them.
    static constexpr DWORD kGatherMs = 50;
    static constexpr size_t kDefaultMaxQueuedBytes = size_t{1024} * 1024;

    using WriteFunction = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

    CTraceWriter() = default;
    ~CTraceWriter();
    CTraceWriter(const CTraceWriter&) = delete;
    CTraceWriter& operator=(const CTraceWriter&) = delete;

    // The file, a full path; empty: the product's (TraceFilePath()). Taken up at the next line.
    void SetFile(const CString& path);
    CString GetFile();
    // maxBytes 0 or count 0 keep the default; others are held within kMinMaxBytes and
    // kMaxFileCount.
    void SetRotation(ULONGLONG maxBytes, ULONG count) noexcept;
    void SetMaxQueuedBytes(size_t bytes) noexcept;
    // What writes to the file: WriteFile unless a test stands in for it.
    void SetWriteFunction(WriteFunction write) noexcept;

    // Queues one UTF-8 line, without its line break. False when it was dropped (queue full, the
    // trace stopped, no thread).
    bool Enqueue(std::string line) noexcept;
    // Waits until every line queued so far is written (or discarded); false on time-out.
    bool Flush(DWORD timeoutMs) noexcept;
    // Writes what is queued, closes the file and ends the thread (waited for up to timeoutMs).
    void Stop(DWORD timeoutMs) noexcept;
    // Whether writing failed and the trace stopped; Resume lets it try again.
    bool IsStopped() const noexcept { return m_failed.load(); }
    void Resume() noexcept { m_failed.store(false); }
    ULONGLONG DroppedLines() const noexcept { return m_droppedTotal.load(); }

private:
    static unsigned __stdcall ThreadProc(void* self);
    void Run();
    bool StartThreadLocked() noexcept;
    void WriteLines(const std::deque<std::string>& lines);
    bool OpenFile(const CString& path);
    void CloseFile() noexcept;
    static void Rotate(const CString& path, ULONG count);
    void Fail(HRESULT hr);

    CCriticalSection m_lock{LockRank::TraceWriter};  // guards everything below up to m_thread
    std::deque<std::string> m_queue;
    size_t m_queuedBytes = 0;
    ULONGLONG m_dropped = 0;  // since the last notice
    ULONGLONG m_enqueued = 0;
    ULONGLONG m_done = 0;     // lines written or discarded
    bool m_stopping = false;
    bool m_idle = true;  // the writer waits for the wake event
    CString m_file;
    ULONGLONG m_maxBytes = kDefaultMaxBytes;
    ULONG m_fileCount = kDefaultFileCount;
    size_t m_maxQueuedBytes = kDefaultMaxQueuedBytes;
    WriteFunction m_write = &WriteFile;
    CScopedHandle m_thread;
    CScopedHandle m_wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};      // auto-reset
    CScopedHandle m_progress{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // manual: m_done moved

    // The writer thread's own.
    CScopedHandle m_handle;
    CString m_openPath;
    ULONGLONG m_size = 0;

    std::atomic<bool> m_failed{false};
    std::atomic<ULONGLONG> m_droppedTotal{0};
};

// The module's writer, the one Trace queues to.
CTraceWriter& TheTraceWriter() noexcept;

// Held by every plug-in object for its whole life: when the last one goes, the module's writer
// writes what is queued and its thread ends, so that nothing of the module runs once the module
// may be unloaded.
class CTraceUse
{
public:
    CTraceUse() noexcept;
    ~CTraceUse();
    CTraceUse(const CTraceUse&) = delete;
    CTraceUse& operator=(const CTraceUse&) = delete;

    static constexpr DWORD kStopTimeoutMs = 5000;
};

// <all-users application data>\<product folder>\Logs\LumSiftDbNotifyWex.log
CString TraceFilePath();
