#pragma once
#include <windows.h>
#include "common/String.h"

// An owned kernel handle with the name of its object (empty for an unnamed one).
//
// The virtual operations keep this order (the event wrapper and its users rely on it): Reset,
// destructor, Close, Wait. There is no lock: the owner serialises creation and closing; waiting on
// the handle is safe from any thread.
class CPluginHandle
{
public:
    CPluginHandle() noexcept = default;
    CPluginHandle(const CPluginHandle&) = delete;
    CPluginHandle& operator=(const CPluginHandle&) = delete;

    // Forgets the handle without closing it and empties the name.
    virtual void Reset() noexcept;
    // Closes the handle if one is held.
    virtual ~CPluginHandle();
    // Closes the handle if one is held. False only when CloseHandle failed; the handle is
    // forgotten all the same.
    virtual bool Close() noexcept;
    // True exactly when the object is signalled within the time-out; no handle, time-out,
    // abandonment and failure all give false.
    virtual bool Wait(DWORD timeoutMs) noexcept;

    HANDLE GetHandle() const noexcept { return m_handle; }
    const CString& GetName() const noexcept { return m_name; }
    // Closes what is held and takes ownership of `handle` (for instance a duplicate made by the
    // caller). The name is left empty.
    bool Attach(HANDLE handle) noexcept;

protected:
    HANDLE m_handle = nullptr;
    CString m_name;
};
