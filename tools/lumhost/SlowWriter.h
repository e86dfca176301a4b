#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include "common/Scoped.h"

// Writes a file slowly on a thread of its own, holding it open for writing the whole time and
// sharing it for reading only, as a recorder does: whoever opens it for reading without sharing
// write access meanwhile gets a sharing violation. Closes it after the given time, or at Stop.
class CSlowWriter
{
public:
    enum class Event
    {
        Opened,
        Closed,  // `bytes` written in all
        Failed,  // `error` says why; the file is closed
    };
    using Listener = std::function<void(Event event, const std::wstring& path, ULONGLONG bytes, DWORD error)>;

    static constexpr DWORD kChunkBytes = 64 * 1024;
    static constexpr DWORD kChunkIntervalMs = 1000;

    explicit CSlowWriter(Listener listener);
    ~CSlowWriter();
    CSlowWriter(const CSlowWriter&) = delete;
    CSlowWriter& operator=(const CSlowWriter&) = delete;

    // Starts after `delayMs`, then writes one chunk a second for `writeMs`.
    HRESULT Start(const std::wstring& path, DWORD delayMs, DWORD writeMs);
    // Closes the file now if it is still open and ends the thread.
    void Stop();
    // True once the file has been closed (or the writer failed or was stopped).
    bool IsFinished() const;

private:
    static unsigned __stdcall ThreadMain(void* self);
    void Run();
    void Finish(Event event, ULONGLONG bytes, DWORD error);

    Listener m_listener;
    std::wstring m_path;
    DWORD m_delayMs = 0;
    DWORD m_writeMs = 0;
    CScopedHandle m_stop;      // manual reset
    CScopedHandle m_finished;  // manual reset
    CScopedHandle m_thread;
};
