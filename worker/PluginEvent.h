#pragma once
#include "worker/PluginHandle.h"

// A kernel event owned like any other handle. Created empty; Create makes (or replaces) the event.
// Users reset it with ResetEvent on GetHandle().
class CPluginEvent : public CPluginHandle
{
public:
    CPluginEvent() noexcept = default;

    // Closes the event held, then creates a new one. A non-null name is kept and names the event;
    // a null name leaves an unnamed event (closing empties the stored name). False when
    // CreateEventW failed; the handle is null then.
    bool Create(bool manualReset, const wchar_t* name, bool initialState,
                SECURITY_ATTRIBUTES* security) noexcept;
    // False when there is no event or SetEvent failed.
    bool Set() noexcept;
};
