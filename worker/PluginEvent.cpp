#include "worker/PluginEvent.h"
#include "common/HResultException.h"
#include <new>

bool CPluginEvent::Create(bool manualReset, const wchar_t* name, bool initialState,
                          SECURITY_ATTRIBUTES* security) noexcept
{
    Close();
    if (name)
    {
        try
        {
            m_name = name;
        }
        catch (const CHResultException&)
        {
            return false;
        }
        catch (const std::bad_alloc&)
        {
            return false;
        }
    }
    m_handle = CreateEventW(security, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE,
                            m_name.IsEmpty() ? nullptr : m_name.GetString());
    return m_handle != nullptr;
}

bool CPluginEvent::Set() noexcept
{
    if (!m_handle)
        return false;
    return SetEvent(m_handle) != FALSE;
}
