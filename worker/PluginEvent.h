#pragma once
#include <windows.h>
#include "common/Scoped.h"
#include "common/String.h"

// A kernel event, owned as a CScopedHandle, with the name it was created under (empty for an
// unnamed one). Created empty; Create makes (or replaces) the event. Users reset it with ResetEvent
// on Get().
//
// Deliberately unlike the documented handle wrapper, whose Reset forgets the handle: there is one
// owning handle type in the plug-in, and Reset closes, as it does there. Ownership leaves only
// through Release. The wrapper has no virtual operations and no lock: the owner serialises creation
// and closing; setting and waiting are safe from any thread.
class CPluginEvent
{
public:
    CPluginEvent() noexcept = default;
    CPluginEvent(const CPluginEvent&) = delete;
    CPluginEvent& operator=(const CPluginEvent&) = delete;

    // Closes the event held, then creates a new one. A non-null name is kept and names the event;
    // a null name leaves an unnamed event. False when CreateEventW failed; no event is held then.
    bool Create(bool manualReset, const wchar_t* name, bool initialState,
                SECURITY_ATTRIBUTES* security) noexcept;
    // False when there is no event or SetEvent failed.
    bool Set() noexcept;
    // True exactly when the event is signalled within the time-out; no event, time-out and
    // failure all give false.
    bool Wait(DWORD timeoutMs) noexcept;

    HANDLE Get() const noexcept { return m_handle.Get(); }
    const CString& GetName() const noexcept { return m_name; }
    // Closes the event and empties the name.
    void Reset() noexcept;
    // Gives the event to the caller, who closes it; the name is emptied.
    HANDLE Release() noexcept;

private:
    CScopedHandle m_handle;
    CString m_name;
};
