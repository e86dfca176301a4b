#include "common/TraceWriter.h"

#include <process.h>
#include <shlobj.h>
#include <cstdio>
#include <cwchar>
#include <vector>
#include "common/CallbackType.h"
#include "common/ComCall.h"
#include "common/EventLog.h"
#include "common/HResult.h"
#include "common/Path.h"
#include "common/ProductKeys.h"
#include "common/ProtectedLocations.h"

std::atomic<DWORD> trace_detail::g_level{0};

namespace
{
const char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr DWORD kByteOrderMarkSize = 3;

struct HResultName
{
    HRESULT hr;
    const wchar_t* name;
};

// The results the trace meets most; others are shown in hex alone.
const HResultName kHResultNames[] = {
    {S_FALSE, L"S_FALSE"},
    {E_ABORT, L"aborted"},
    {E_FAIL, L"failed"},
    {E_NOTIMPL, L"not implemented"},
    {E_POINTER, L"null pointer"},
    {E_INVALIDARG, L"invalid argument"},
    {E_OUTOFMEMORY, L"out of memory"},
    {E_NOINTERFACE, L"no such interface"},
    {E_UNEXPECTED, L"unexpected"},
    {REGDB_E_CLASSNOTREG, L"class not registered"},
    {kHrNotConnected, L"database not connected"},
    {kHrCallPending, L"timed out"},
    {kHrThreadNotRunning, L"worker not running"},
    {HResultFromWin32(ERROR_FILE_NOT_FOUND), L"file not found"},
    {HResultFromWin32(ERROR_PATH_NOT_FOUND), L"path not found"},
    {HResultFromWin32(ERROR_ACCESS_DENIED), L"access denied"},
    {HResultFromWin32(ERROR_SHARING_VIOLATION), L"sharing violation"},
    {HResultFromWin32(ERROR_LOCK_VIOLATION), L"lock violation"},
    {HResultFromWin32(ERROR_HANDLE_DISK_FULL), L"disk full"},
    {HResultFromWin32(ERROR_DISK_FULL), L"disk full"},
    {HResultFromWin32(ERROR_WRITE_PROTECT), L"write-protected"},
    {HResultFromWin32(ERROR_NOT_READY), L"device not ready"},
    {HResultFromWin32(ERROR_BAD_NETPATH), L"network path not found"},
    {HResultFromWin32(ERROR_INVALID_NAME), L"invalid name"},
    {HResultFromWin32(ERROR_TIMEOUT), L"timed out"},
};

// Appends `text` to `out` as UTF-8.
void AppendUtf8(std::string& out, const wchar_t* text, int length)
{
    if (length <= 0)
        return;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return;
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, text, length, &out[at], bytes, nullptr, nullptr);
}

void AppendUtf8(std::string& out, const wchar_t* text)
{
    if (text)
        AppendUtf8(out, text, static_cast<int>(wcslen(text)));
}

// The local time with milliseconds and its offset from UTC, from one reading of the clock.
constexpr LONGLONG kTicksPerMinute = 60LL * 10000000LL;

// The offset of local time from UTC in minutes, looked up at most once a minute: the lookup reads
// the time-zone settings, which costs more than the rest of a line.
LONGLONG UtcOffsetMinutes(LONGLONG utcTicks) noexcept
{
    static std::atomic<LONGLONG> s_offset{0};
    static std::atomic<LONGLONG> s_validUntil{0};
    if (utcTicks < s_validUntil.load(std::memory_order_relaxed))
        return s_offset.load(std::memory_order_relaxed);
    FILETIME utc{static_cast<DWORD>(utcTicks), static_cast<DWORD>(utcTicks >> 32)};
    FILETIME local;
    FileTimeToLocalFileTime(&utc, &local);
    const LONGLONG localTicks = (static_cast<LONGLONG>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
    const LONGLONG offset = (localTicks - utcTicks) / kTicksPerMinute;
    s_offset.store(offset, std::memory_order_relaxed);
    // Until the next full minute, when a change of daylight saving time may fall.
    s_validUntil.store((utcTicks / kTicksPerMinute + 1) * kTicksPerMinute, std::memory_order_relaxed);
    return offset;
}

void AppendTimestamp(std::string& out)
{
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    const LONGLONG utcTicks = (static_cast<LONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    const LONGLONG offsetMinutes = UtcOffsetMinutes(utcTicks);
    const LONGLONG localTicks = utcTicks + offsetMinutes * kTicksPerMinute;
    const FILETIME local{static_cast<DWORD>(localTicks), static_cast<DWORD>(localTicks >> 32)};
    SYSTEMTIME time;
    FileTimeToSystemTime(&local, &time);
    const LONGLONG magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[64];
    // The longest stamp is 43 characters: it always fits, and a cut one would still be terminated.
    static_cast<void>(std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u %c%02u:%02u [%lx] ",
                                    time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
                                    time.wMilliseconds, offsetMinutes < 0 ? '-' : '+',
                                    static_cast<unsigned>(magnitude / 60), static_cast<unsigned>(magnitude % 60),
                                    static_cast<unsigned long>(GetCurrentThreadId())));
    out += text;
}

// The next file name when rotating: name.log -> name.<n>.log.
CString RotatedName(const CString& path, ULONG n)
{
    const int dot = path.ReverseFind(L'.');
    const int slash = path.ReverseFind(L'\\');
    CString rotated;
    if (dot > slash && dot > 0)
        rotated.Format(L"%s.%lu%s", path.Left(dot).GetString(), n, path.Mid(dot).GetString());
    else
        rotated.Format(L"%s.%lu", path.GetString(), n);
    return rotated;
}
}  // namespace

void SetTraceLevel(DWORD level) noexcept
{
    trace_detail::g_level.store(level > 3 ? 3 : level, std::memory_order_relaxed);
}

DWORD GetTraceLevel() noexcept
{
    return trace_detail::g_level.load(std::memory_order_relaxed);
}

CString DescribeHResult(HRESULT hr)
{
    CString text;
    text.Format(L"0x%08lX", static_cast<unsigned long>(hr));
    for (const HResultName& known : kHResultNames)
    {
        if (known.hr == hr)
        {
            text += L" ";
            text += known.name;
            break;
        }
    }
    return text;
}

std::string FormatTraceLine(TraceSource source, TraceDecision decision, const wchar_t* itemId, const wchar_t* path,
                            const wchar_t* reason, HRESULT hr, const wchar_t* details)
{
    std::string line;
    line.reserve(160 + (path ? wcslen(path) : 0));
    AppendTimestamp(line);
    AppendUtf8(line, TraceSourceWord(source));
    if (itemId && *itemId)
    {
        line += ' ';
        AppendUtf8(line, itemId);
    }
    if (path && *path)
    {
        line += " \"";
        AppendUtf8(line, path);
        line += '"';
    }
    line += ' ';
    AppendUtf8(line, TraceDecisionWord(decision));
    const bool hasReason = reason && *reason;
    if (hasReason || hr != S_OK)
        line += ':';
    if (hasReason)
    {
        line += ' ';
        AppendUtf8(line, reason);
    }
    if (hr != S_OK)
    {
        line += hasReason ? " (" : " ";
        AppendUtf8(line, DescribeHResult(hr));
        if (hasReason)
            line += ')';
    }
    if (details && *details)
    {
        line += hasReason || hr != S_OK ? ", " : ": ";
        AppendUtf8(line, details);
    }
    return line;
}

void Trace(TraceSource source, TraceDecision decision, const wchar_t* itemId, const wchar_t* path,
           const wchar_t* reason, HRESULT hr, const wchar_t* detailsFormat, ...) noexcept
{
    va_list args;
    va_start(args, detailsFormat);
    CatchAsHResult([&] {
        CString details;
        if (detailsFormat)
            details.FormatV(detailsFormat, args);
        TheTraceWriter().Enqueue(FormatTraceLine(source, decision, itemId, path, reason, hr, details));
        return S_OK;
    });
    va_end(args);
}

CString TraceFilePath()
{
    return GetProductDataFolder() + L"Logs\\" + kPluginName + L".log";
}

CTraceWriter& TheTraceWriter() noexcept
{
    static CTraceWriter writer;
    return writer;
}

namespace
{
std::atomic<LONG> g_traceUses{0};
}  // namespace

CTraceUse::CTraceUse() noexcept
{
    ++g_traceUses;
}

CTraceUse::~CTraceUse()
{
    if (--g_traceUses == 0)
        TheTraceWriter().Stop(kStopTimeoutMs);
}

// ---- The writer ---------------------------------------------------------------------------------

CTraceWriter::~CTraceWriter()
{
    // Not waited for: in a module being unloaded the thread could not end while the loader's lock
    // is held. The plug-in objects stop it before (CTraceUse); a program's own writer has written
    // what it flushed.
    Stop(0);
}

void CTraceWriter::SetFile(const CString& path)
{
    CLockGuard guard(m_lock);
    m_file = path;
}

CString CTraceWriter::GetFile()
{
    CLockGuard guard(m_lock);
    return m_file.IsEmpty() ? TraceFilePath() : m_file;
}

void CTraceWriter::SetRotation(ULONGLONG maxBytes, ULONG count) noexcept
{
    // The figures come from the registry: a size too small to hold a line, or a count that would
    // make a rotation rename files for ever, is brought within bounds.
    CLockGuard guard(m_lock);
    m_maxBytes = maxBytes == 0 ? kDefaultMaxBytes : maxBytes < kMinMaxBytes ? kMinMaxBytes : maxBytes;
    m_fileCount = count == 0 ? kDefaultFileCount : count > kMaxFileCount ? kMaxFileCount : count;
}

void CTraceWriter::SetMaxQueuedBytes(size_t bytes) noexcept
{
    CLockGuard guard(m_lock);
    m_maxQueuedBytes = bytes ? bytes : kDefaultMaxQueuedBytes;
}

void CTraceWriter::SetWriteFunction(WriteFunction write) noexcept
{
    CLockGuard guard(m_lock);
    m_write = write ? write : &WriteFile;
}

bool CTraceWriter::Enqueue(std::string line) noexcept
{
    if (m_failed.load())
        return false;
    bool wake = false;
    try
    {
        CLockGuard guard(m_lock);
        if (m_queuedBytes + line.size() > m_maxQueuedBytes || !StartThreadLocked())
        {
            ++m_dropped;
            ++m_droppedTotal;
            return false;
        }
        m_queuedBytes += line.size();
        m_queue.push_back(std::move(line));
        ++m_enqueued;
        // The writer is told only when it waits: while it writes it takes what came meanwhile.
        wake = m_idle;
        m_idle = false;
    }
    catch (...)
    {
        return false;
    }
    if (wake)
        SetEvent(m_wake.Get());
    return true;
}

bool CTraceWriter::StartThreadLocked() noexcept
{
    if (m_thread.IsValid())
        return true;
    if (!m_wake.IsValid() || !m_progress.IsValid())
        return false;
    m_stopping = false;
    m_idle = true;
    LUM_ASSERT_CALLBACK_TYPE(CTraceWriter::ThreadProc, _beginthreadex_proc_type);
    m_thread.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CTraceWriter::ThreadProc, this, 0, nullptr)));
    return m_thread.IsValid();
}

bool CTraceWriter::Flush(DWORD timeoutMs) noexcept
{
    ULONGLONG target = 0;
    {
        CLockGuard guard(m_lock);
        target = m_enqueued;
    }
    const ULONGLONG start = GetTickCount64();
    for (;;)
    {
        {
            CLockGuard guard(m_lock);
            if (m_done >= target || !m_thread.IsValid())
                return m_done >= target;
            ResetEvent(m_progress.Get());
        }
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= timeoutMs)
            return false;
        WaitForSingleObject(m_progress.Get(), static_cast<DWORD>(timeoutMs - elapsed));
    }
}

void CTraceWriter::Stop(DWORD timeoutMs) noexcept
{
    HANDLE thread = nullptr;
    {
        CLockGuard guard(m_lock);
        thread = m_thread.Get();
        m_stopping = true;
    }
    if (!thread)
        return;
    SetEvent(m_wake.Get());
    if (WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0)
        return;  // stuck in the file system: left running rather than ended in the middle of a write
    CLockGuard guard(m_lock);
    m_thread.Close();
}

unsigned __stdcall CTraceWriter::ThreadProc(void* self)
{
    static_cast<CTraceWriter*>(self)->Run();
    return 0;
}

void CTraceWriter::Run()
{
    for (;;)
    {
        WaitForSingleObject(m_wake.Get(), INFINITE);
        for (;;)
        {
            // Lines are let gather for a moment before each write, so that a burst of decisions
            // costs its workers a wake-up of this thread now and then rather than one per line. Only
            // Stop signals the event meanwhile, and it is not kept waiting.
            WaitForSingleObject(m_wake.Get(), kGatherMs);
            std::deque<std::string> batch;
            ULONGLONG dropped = 0;
            bool stopping = false;
            {
                CLockGuard guard(m_lock);
                batch.swap(m_queue);
                m_queuedBytes = 0;
                dropped = m_dropped;
                m_dropped = 0;
                stopping = m_stopping;
            }
            const size_t lines = batch.size();
            if (dropped > 0)
            {
                CString details;
                details.Format(L"%llu lines", static_cast<unsigned long long>(dropped));
                batch.push_back(FormatTraceLine(TraceSource::Host, TraceDecision::LinesDropped, nullptr, nullptr,
                                                L"the trace fell behind", S_OK, details));
            }
            if (!batch.empty() && !m_failed.load())
                WriteLines(batch);
            {
                CLockGuard guard(m_lock);
                m_done += lines;
                SetEvent(m_progress.Get());
                if (m_queue.empty())
                {
                    if (stopping || m_stopping)
                    {
                        CloseFile();
                        return;
                    }
                    m_idle = true;
                    break;
                }
            }
        }
    }
}

void CTraceWriter::WriteLines(const std::deque<std::string>& lines)
{
    ULONGLONG maxBytes;
    ULONG fileCount;
    WriteFunction write;
    CString file;
    {
        CLockGuard guard(m_lock);
        maxBytes = m_maxBytes;
        fileCount = m_fileCount;
        write = m_write;
        file = m_file;
    }
    if (file.IsEmpty())
        file = TraceFilePath();
    if (m_handle.IsValid() && file.CompareNoCase(m_openPath) != 0)
        CloseFile();

    // Whole lines go out together, many per WriteFile; only this thread writes the file, so no line
    // is ever split or mixed with another.
    std::string buffer;
    auto writeBuffer = [&]() -> bool {
        if (buffer.empty())
            return true;
        if (!m_handle.IsValid() && !OpenFile(file))
            return false;
        DWORD written = 0;
        if (!write(m_handle.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr))
        {
            Fail(HResultFromLastError());
            return false;
        }
        if (written != buffer.size())
        {
            // A short write without an error: the volume has no room left.
            Fail(HResultFromWin32(ERROR_HANDLE_DISK_FULL));
            return false;
        }
        m_size += written;
        buffer.clear();
        return true;
    };
    constexpr size_t kBufferBytes = size_t{64} * 1024;
    for (const std::string& line : lines)
    {
        if (!m_handle.IsValid() && !OpenFile(file))
            return;
        const size_t size = line.size() + 2;
        if (m_size + buffer.size() > kByteOrderMarkSize && m_size + buffer.size() + size > maxBytes)
        {
            if (!writeBuffer())
                return;
            CloseFile();
            Rotate(file, fileCount);
            if (!OpenFile(file))
                return;
        }
        else if (buffer.size() + size > kBufferBytes && !writeBuffer())
        {
            return;
        }
        buffer += line;
        buffer += "\r\n";
    }
    writeBuffer();
}

bool CTraceWriter::OpenFile(const CString& path)
{
    const int slash = path.ReverseFind(L'\\');
    if (slash > 0)
        CreateDirectoryTree(path.Left(slash));
    // Shared for deletion too: an administrator's clean-up and this writer's rotation never fight
    // over the file.
    m_handle.Reset(CreateFileW(MakeLongPath(path, false, false), FILE_APPEND_DATA | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_handle.IsValid())
    {
        Fail(HResultFromLastError());
        return false;
    }
    m_openPath = path;
    LARGE_INTEGER size{};
    GetFileSizeEx(m_handle.Get(), &size);
    m_size = static_cast<ULONGLONG>(size.QuadPart);
    if (m_size == 0)
    {
        DWORD written = 0;
        if (!WriteFile(m_handle.Get(), kByteOrderMark, kByteOrderMarkSize, &written, nullptr))
        {
            Fail(HResultFromLastError());
            return false;
        }
        m_size = written;
    }
    return true;
}

void CTraceWriter::CloseFile() noexcept
{
    m_handle.Close();
    m_size = 0;
}

void CTraceWriter::Rotate(const CString& path, ULONG count)
{
    // name.log -> name.1.log -> ... -> name.<count-1>.log; the oldest goes. A rename that fails
    // (an administrator holds the older file without delete sharing) only keeps one file more.
    if (count <= 1)
    {
        DeleteFileW(MakeLongPath(path, false, false));
        return;
    }
    DeleteFileW(MakeLongPath(RotatedName(path, count - 1), false, false));
    for (ULONG n = count - 1; n > 1; --n)
        MoveFileExW(MakeLongPath(RotatedName(path, n - 1), false, false),
                    MakeLongPath(RotatedName(path, n), false, false), MOVEFILE_REPLACE_EXISTING);
    MoveFileExW(MakeLongPath(path, false, false), MakeLongPath(RotatedName(path, 1), false, false),
                MOVEFILE_REPLACE_EXISTING);
}

void CTraceWriter::Fail(HRESULT hr)
{
    CloseFile();
    if (m_failed.exchange(true))
        return;
    {
        CLockGuard guard(m_lock);
        m_done += m_queue.size();
        m_queue.clear();
        m_queuedBytes = 0;
        m_dropped = 0;
    }
    // Off until the administrator sets a level again: nothing is formatted for a file that
    // cannot take it.
    SetTraceLevel(0);
    const CString path = GetFile();
    TheEventLog().Report(kEventTraceStopped, hr, path, 0);
}
