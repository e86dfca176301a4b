#pragma once
// The module's trace pointed at a scratch file for a test, its level set in the plug-in's settings
// key of a stand-in HKEY_LOCAL_MACHINE (so that a worker's settings watch reads the same level),
// and the event log's calls recorded instead of made.
#include <windows.h>
#include <mutex>
#include <string>
#include <vector>
#include "common/EventLog.h"
#include "common/ProductKeys.h"
#include "common/TraceSettings.h"
#include "common/TraceWriter.h"
#include "tests/support/TempFolder.h"

namespace trace_test
{
// What ReportEventW was called with.
struct CReportedEvent
{
    WORD type;
    DWORD id;
    std::vector<std::wstring> inserts;
};

inline std::mutex& EventsLock()
{
    static std::mutex lock;
    return lock;
}

inline std::vector<CReportedEvent>& ReportedEvents()
{
    static std::vector<CReportedEvent> events;
    return events;
}

inline HANDLE WINAPI RecordRegister(LPCWSTR, LPCWSTR source)
{
    return std::wstring(source) == kPluginName ? reinterpret_cast<HANDLE>(0x5EED) : nullptr;
}

inline BOOL WINAPI RecordReport(HANDLE log, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCWSTR* inserts, LPVOID)
{
    if (log != reinterpret_cast<HANDLE>(0x5EED))
        return FALSE;
    CReportedEvent event{type, id, {}};
    for (WORD i = 0; i < count; ++i)
        event.inserts.push_back(inserts[i]);
    std::lock_guard<std::mutex> guard(EventsLock());
    ReportedEvents().push_back(event);
    return TRUE;
}

inline BOOL WINAPI RecordDeregister(HANDLE)
{
    return TRUE;
}

// Lines of a UTF-8 file with byte-order mark, as wide text; empty when there is no file.
inline std::vector<std::wstring> ReadTraceFile(const std::wstring& path, bool* hasByteOrderMark = nullptr)
{
    std::vector<std::wstring> lines;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lines;
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    const bool bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (hasByteOrderMark)
        *hasByteOrderMark = bom;
    size_t at = bom ? 3 : 0;
    while (at < bytes.size())
    {
        size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos)
            end = bytes.size();
        const int length = static_cast<int>(end - at);
        std::wstring line(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data() + at, length, nullptr, 0)), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, bytes.data() + at, length, &line[0], static_cast<int>(line.size()));
        lines.push_back(line);
        at = end + 2;
    }
    return lines;
}

// For the life of a test: the trace at `level` into Logs\LumSiftDbNotifyWex.log of a scratch
// folder, the events recorded. Afterwards the trace is off and the module's settings as before.
class CTraceCapture
{
public:
    explicit CTraceCapture(DWORD level, bool redirectMachineKey = true) : m_redirect(redirectMachineKey)
    {
        if (m_redirect)
        {
            DeleteMachineStandIn();
            RegCreateKeyExW(HKEY_CURRENT_USER, kMachineStandIn, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_machine, nullptr);
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_machine);
        }
        {
            std::lock_guard<std::mutex> guard(EventsLock());
            ReportedEvents().clear();
        }
        TheEventLog().SetApi(CEventLog::CApi{&RecordRegister, &RecordReport, &RecordDeregister});
        CTraceWriter& writer = TheTraceWriter();
        writer.Flush(kFlushMs);
        writer.SetFile(CString(file.c_str()));
        writer.SetRotation(0, 0);
        writer.Resume();
        SetLevel(level);
    }
    ~CTraceCapture()
    {
        SetTraceLevel(0);
        CTraceWriter& writer = TheTraceWriter();
        writer.Flush(kFlushMs);
        writer.Stop(kFlushMs);
        writer.SetFile(CString());
        writer.SetWriteFunction(nullptr);
        writer.SetMaxQueuedBytes(0);
        writer.Resume();
        TheEventLog().SetApi(CEventLog::SystemApi());
        if (m_redirect)
        {
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
            RegCloseKey(m_machine);
            DeleteMachineStandIn();
        }
    }
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    // Writes TraceLevel to the settings key (when HKEY_LOCAL_MACHINE is the stand-in) and sets it.
    void SetLevel(DWORD level, bool applyNow = true)
    {
        if (m_redirect)
        {
            HKEY settings = nullptr;
            const std::wstring path = std::wstring(kProductRootKey) + L"\\" + kPluginSettingsKey;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &settings,
                                nullptr) == ERROR_SUCCESS)
            {
                RegSetValueExW(settings, kTraceLevelValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                               sizeof(level));
                RegCloseKey(settings);
            }
        }
        if (applyNow)
            SetTraceLevel(level);
    }

    // The lines written so far (waits for the writer).
    std::vector<std::wstring> Lines()
    {
        TheTraceWriter().Flush(kFlushMs);
        return ReadTraceFile(file);
    }
    // The lines that contain `text`.
    std::vector<std::wstring> LinesWith(const std::wstring& text)
    {
        std::vector<std::wstring> found;
        for (const std::wstring& line : Lines())
        {
            if (line.find(text) != std::wstring::npos)
                found.push_back(line);
        }
        return found;
    }
    static std::vector<CReportedEvent> Events()
    {
        std::lock_guard<std::mutex> guard(EventsLock());
        return ReportedEvents();
    }

    static constexpr DWORD kFlushMs = 10000;
    static constexpr wchar_t kMachineStandIn[] = L"Software\\LumTest\\TraceMachine";
    CTempFolder folder{L"lumtrace"};
    const std::wstring file = folder.Path() + L"\\Logs\\LumSiftDbNotifyWex.log";

private:
    static void DeleteMachineStandIn() { RegDeleteTreeW(HKEY_CURRENT_USER, kMachineStandIn); }

    bool m_redirect;
    HKEY m_machine = nullptr;
};
}  // namespace trace_test
