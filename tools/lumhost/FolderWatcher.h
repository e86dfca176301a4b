#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "common/Scoped.h"

class CMediaCatalogue;

// Watches the media folder and everything below it with ReadDirectoryChangesW on a thread of its
// own and passes each file event to the catalogue. When the system's buffer overflowed and events
// were lost, the folder is scanned again. Once a second it also lets the catalogue report the
// changes it held back.
class CFolderWatcher
{
public:
    // Told of trouble the watcher cannot fix by itself (it keeps trying).
    using ProblemListener = std::function<void(const std::wstring& text)>;

    CFolderWatcher(CMediaCatalogue& catalogue, ProblemListener onProblem);
    ~CFolderWatcher();
    CFolderWatcher(const CFolderWatcher&) = delete;
    CFolderWatcher& operator=(const CFolderWatcher&) = delete;

    // Opens the folder and starts the thread; the Win32 error as HRESULT when either fails.
    HRESULT Start(const std::wstring& folder);
    // Ends the thread (bounded wait); no catalogue call is made after it returns.
    void Stop();

private:
    static constexpr DWORD kBufferBytes = 64 * 1024;  // the most a network share delivers at once

    bool IssueRead();
    void CancelRead();
    static unsigned __stdcall ThreadMain(void* self);
    void Run();
    void Dispatch(const BYTE* buffer, DWORD bytes);

    CMediaCatalogue& m_catalogue;
    ProblemListener m_onProblem;
    std::wstring m_folder;
    CScopedHandle m_directory;
    CScopedHandle m_stop;      // manual reset
    CScopedHandle m_ioDone;    // manual reset, the overlapped read's event
    CScopedHandle m_thread;
    std::vector<DWORD> m_buffer;  // DWORD-aligned, as the change records require
    OVERLAPPED m_overlapped = {};
    bool m_readPending = false;
};
