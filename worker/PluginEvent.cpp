#include "worker/PluginEvent.h"
#include "common/ComCall.h"

bool CPluginEvent::Create(bool manualReset, const wchar_t* name, bool initialState,
                          SECURITY_ATTRIBUTES* security) noexcept
{
    Reset();
    if (name && FAILED(CatchAsHResult([&] {
            m_name = name;
            return S_OK;
        })))
        return false;
    m_handle.Reset(CreateEventW(security, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE,
                                m_name.IsEmpty() ? nullptr : m_name.GetString()));
    return m_handle.IsValid();
}

bool CPluginEvent::Set() noexcept
{
    return m_handle.IsValid() && SetEvent(m_handle.Get()) != FALSE;
}

bool CPluginEvent::Wait(DWORD timeoutMs) noexcept
{
    return m_handle.IsValid() && WaitForSingleObject(m_handle.Get(), timeoutMs) == WAIT_OBJECT_0;
}

void CPluginEvent::Reset() noexcept
{
    m_handle.Close();
    m_name.Empty();
}

HANDLE CPluginEvent::Release() noexcept
{
    m_name.Empty();
    return m_handle.Release();
}
