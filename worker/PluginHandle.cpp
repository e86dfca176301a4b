#include "worker/PluginHandle.h"

void CPluginHandle::Reset() noexcept
{
    m_handle = nullptr;
    m_name.Empty();
}

CPluginHandle::~CPluginHandle()
{
    if (m_handle)
        CloseHandle(m_handle);
    CPluginHandle::Reset();
}

bool CPluginHandle::Close() noexcept
{
    bool closed = true;
    if (m_handle)
    {
        closed = CloseHandle(m_handle) != FALSE;
        m_handle = nullptr;
    }
    Reset();
    return closed;
}

bool CPluginHandle::Wait(DWORD timeoutMs) noexcept
{
    if (!m_handle)
        return false;
    return WaitForSingleObject(m_handle, timeoutMs) == WAIT_OBJECT_0;
}

bool CPluginHandle::Attach(HANDLE handle) noexcept
{
    const bool closed = Close();
    m_handle = handle;
    return closed;
}
