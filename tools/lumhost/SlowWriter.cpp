#include "tools/lumhost/SlowWriter.h"
#include <process.h>
#include <vector>
#include "common/CallbackType.h"
#include "common/HResult.h"
#include "common/Path.h"

CSlowWriter::CSlowWriter(Listener listener) : m_listener(std::move(listener)) {}

CSlowWriter::~CSlowWriter()
{
    Stop();
}

HRESULT CSlowWriter::Start(const std::wstring& path, DWORD delayMs, DWORD writeMs)
{
    if (m_thread.IsValid())
        return E_UNEXPECTED;
    m_path = path;
    m_delayMs = delayMs;
    m_writeMs = writeMs;
    m_stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_finished.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stop.IsValid() || !m_finished.IsValid())
        return HResultFromLastError();
    LUM_ASSERT_CALLBACK_TYPE(ThreadMain, _beginthreadex_proc_type);
    m_thread.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ThreadMain, this, 0, nullptr)));
    return m_thread.IsValid() ? S_OK : E_OUTOFMEMORY;
}

void CSlowWriter::Stop()
{
    if (!m_thread.IsValid())
        return;
    SetEvent(m_stop.Get());
    WaitForSingleObject(m_thread.Get(), INFINITE);  // the thread waits on m_stop at every step
    m_thread.Reset();
}

bool CSlowWriter::IsFinished() const
{
    return !m_finished.IsValid() || WaitForSingleObject(m_finished.Get(), 0) == WAIT_OBJECT_0;
}

unsigned __stdcall CSlowWriter::ThreadMain(void* self)
{
    CSlowWriter& writer = *static_cast<CSlowWriter*>(self);
    writer.Run();
    SetEvent(writer.m_finished.Get());
    return 0;
}

void CSlowWriter::Finish(Event event, ULONGLONG bytes, DWORD error)
{
    // Finished before the listener hears of it, so that it may ask.
    SetEvent(m_finished.Get());
    m_listener(event, m_path, bytes, error);
}

void CSlowWriter::Run()
{
    if (WaitForSingleObject(m_stop.Get(), m_delayMs) == WAIT_OBJECT_0)
        return;
    const CString longPath = MakeLongPath(m_path.c_str(), false, false);
    CScopedHandle file(
        CreateFileW(longPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        Finish(Event::Failed, 0, GetLastError());
        return;
    }
    m_listener(Event::Opened, m_path, 0, 0);

    // Not a real stream; what matters is that the file grows while it is held open.
    std::vector<BYTE> chunk(kChunkBytes);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<BYTE>(i * 31 + 7);
    ULONGLONG total = 0;
    const DWORD start = GetTickCount();
    for (;;)
    {
        DWORD written = 0;
        if (!WriteFile(file.Get(), chunk.data(), kChunkBytes, &written, nullptr))
        {
            const DWORD error = GetLastError();
            file.Reset();
            Finish(Event::Failed, total, error);
            return;
        }
        total += written;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= m_writeMs)
            break;
        const DWORD wait = m_writeMs - elapsed < kChunkIntervalMs ? m_writeMs - elapsed : kChunkIntervalMs;
        if (WaitForSingleObject(m_stop.Get(), wait) == WAIT_OBJECT_0)
            break;
    }
    file.Reset();
    Finish(Event::Closed, total, 0);
}
