#include "tools/lumhost/FolderWatcher.h"
#include <process.h>
#include <cstddef>
#include "common/CallbackType.h"
#include "common/HResult.h"
#include "common/Path.h"
#include "tools/lumhost/MediaCatalogue.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr DWORD kFlushIntervalMs = 1000;
constexpr DWORD kStopWaitMs = 10000;
constexpr DWORD kWatchedChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                  FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
}  // namespace

CFolderWatcher::CFolderWatcher(CMediaCatalogue& catalogue, ProblemListener onProblem)
    : m_catalogue(catalogue), m_onProblem(std::move(onProblem)), m_buffer(kBufferBytes / sizeof(DWORD))
{
}

CFolderWatcher::~CFolderWatcher()
{
    Stop();
}

HRESULT CFolderWatcher::Start(const std::wstring& folder)
{
    if (m_thread.IsValid())
        return E_UNEXPECTED;
    m_folder = folder;
    const CString longPath = MakeLongPath(folder.c_str(), false, true);
    m_directory.Reset(CreateFileW(longPath, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!m_directory.IsValid())
        return HResultFromLastError();
    m_stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_ioDone.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stop.IsValid() || !m_ioDone.IsValid())
        return HResultFromLastError();
    // The first read is issued here: changes count from the moment Start returns.
    if (!IssueRead())
    {
        const HRESULT hr = HResultFromLastError();
        m_directory.Reset();
        return hr;
    }
    LUM_ASSERT_CALLBACK_TYPE(ThreadMain, _beginthreadex_proc_type);
    m_thread.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ThreadMain, this, 0, nullptr)));
    if (!m_thread.IsValid())
    {
        CancelRead();
        m_directory.Reset();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void CFolderWatcher::Stop()
{
    if (m_thread.IsValid())
    {
        SetEvent(m_stop.Get());
        if (WaitForSingleObject(m_thread.Get(), kStopWaitMs) != WAIT_OBJECT_0 && m_onProblem)
            m_onProblem(L"the folder watcher did not end in time");
        m_thread.Reset();
    }
    m_directory.Reset();
}

bool CFolderWatcher::IssueRead()
{
    m_overlapped = OVERLAPPED();
    m_overlapped.hEvent = m_ioDone.Get();
    ResetEvent(m_ioDone.Get());
    m_readPending = ReadDirectoryChangesW(m_directory.Get(), m_buffer.data(), kBufferBytes, TRUE, kWatchedChanges,
                                          nullptr, &m_overlapped, nullptr) != FALSE;
    return m_readPending;
}

void CFolderWatcher::CancelRead()
{
    if (!m_readPending)
        return;
    // The read may have been issued on another thread: CancelIoEx reaches it, CancelIo would not.
    CancelIoEx(m_directory.Get(), &m_overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(m_directory.Get(), &m_overlapped, &ignored, TRUE);
    m_readPending = false;
}

unsigned __stdcall CFolderWatcher::ThreadMain(void* self)
{
    static_cast<CFolderWatcher*>(self)->Run();
    return 0;
}

void CFolderWatcher::Run()
{
    bool reported = false;  // one message per spell of failures
    for (;;)
    {
        if (!m_readPending && !IssueRead())
        {
            if (!reported && m_onProblem)
                m_onProblem(FormatText(L"cannot watch the folder (error %lu); trying again",
                                       static_cast<unsigned long>(GetLastError())));
            reported = true;
            if (WaitForSingleObject(m_stop.Get(), kFlushIntervalMs) == WAIT_OBJECT_0)
                return;
            continue;
        }

        const HANDLE handles[] = {m_stop.Get(), m_ioDone.Get()};
        DWORD wait;
        while ((wait = WaitForMultipleObjects(2, handles, FALSE, kFlushIntervalMs)) == WAIT_TIMEOUT)
            m_catalogue.FlushChanges(GetTickCount());
        if (wait != WAIT_OBJECT_0 + 1)
        {
            // Stopping (or the wait failed): the read must be over before the buffer goes.
            CancelRead();
            return;
        }

        DWORD bytes = 0;
        const bool done = GetOverlappedResult(m_directory.Get(), &m_overlapped, &bytes, FALSE) != FALSE;
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        m_readPending = false;
        if (!done && error != ERROR_NOTIFY_ENUM_DIR)
        {
            if (!reported && m_onProblem)
                m_onProblem(FormatText(L"watching the folder failed (error %lu); trying again",
                                       static_cast<unsigned long>(error)));
            reported = true;
            if (WaitForSingleObject(m_stop.Get(), kFlushIntervalMs) == WAIT_OBJECT_0)
                return;
            continue;
        }
        reported = false;
        if (!done || bytes == 0)
        {
            // More happened than the buffer held: look at the whole folder again.
            m_catalogue.Scan(m_folder, true, GetTickCount());
            continue;
        }
        // The records are copied out before the next read may fill the buffer again.
        const std::vector<DWORD> records(m_buffer.begin(), m_buffer.begin() + (bytes + sizeof(DWORD) - 1) / sizeof(DWORD));
        IssueRead();
        Dispatch(reinterpret_cast<const BYTE*>(records.data()), bytes);
        m_catalogue.FlushChanges(GetTickCount());
    }
}

void CFolderWatcher::Dispatch(const BYTE* buffer, DWORD bytes)
{
    DWORD offset = 0;
    for (;;)
    {
        if (offset + sizeof(FILE_NOTIFY_INFORMATION) > bytes)
            return;
        const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
        const DWORD nameBytes = record->FileNameLength;
        if (offset + offsetof(FILE_NOTIFY_INFORMATION, FileName) + nameBytes > bytes)
            return;
        const std::wstring name(record->FileName, nameBytes / sizeof(wchar_t));
        const std::wstring path = m_folder.back() == L'\\' ? m_folder + name : m_folder + L"\\" + name;
        const DWORD now = GetTickCount();
        switch (record->Action)
        {
        case FILE_ACTION_ADDED:
        case FILE_ACTION_RENAMED_NEW_NAME:
            m_catalogue.PathAppeared(path, now);
            break;
        case FILE_ACTION_MODIFIED:
            m_catalogue.PathChanged(path, now);
            break;
        case FILE_ACTION_REMOVED:
        case FILE_ACTION_RENAMED_OLD_NAME:
            m_catalogue.PathRemoved(path);
            break;
        default:
            break;
        }
        if (record->NextEntryOffset == 0)
            return;
        offset += record->NextEntryOffset;
    }
}
