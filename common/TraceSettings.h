#pragma once
#include <windows.h>
#include "common/RegKey.h"
#include "common/Scoped.h"

// The trace's settings, values of the plug-in's settings key
// HKLM\<product root>\Setting\LumSiftDbNotifyWex:
//   TraceLevel      REG_DWORD 0 off (the default), 1 failures, 2 decisions, 3 detail
//   TraceFileSize   REG_DWORD bytes at which the file rotates (8 MB)
//   TraceFileCount  REG_DWORD files kept, the current one included (3)
constexpr wchar_t kTraceLevelValue[] = L"TraceLevel";
constexpr wchar_t kTraceFileSizeValue[] = L"TraceFileSize";
constexpr wchar_t kTraceFileCountValue[] = L"TraceFileCount";

// Reads the settings and applies them to the level and the module's writer. A level set anew also
// lets a trace that stopped on a write failure try again.
void ApplyTraceSettings() noexcept;

// Watches the settings key, so that a change is taken up while the service runs, without a
// restart: the owner waits on GetEvent() among its other handles and calls Refresh when it is
// signalled. Without the settings key the product's root key is watched with its subtree until
// the settings key appears.
class CTraceSettingsWatch
{
public:
    CTraceSettingsWatch() noexcept;
    CTraceSettingsWatch(const CTraceSettingsWatch&) = delete;
    CTraceSettingsWatch& operator=(const CTraceSettingsWatch&) = delete;

    // Auto-reset; signalled on a change of the watched key.
    HANDLE GetEvent() const noexcept { return m_event.Get(); }
    // Applies the settings and asks to be told of the next change. Call it on a thread that lives
    // as long as the watch: the system ends a request when the thread that made it ends.
    void Refresh() noexcept;
    // Ends the watch (the key is closed, which cancels the request).
    void Close() noexcept;

private:
    CScopedHandle m_event;
    CRegKey m_key;
    bool m_watchingSettingsKey = false;
};
