#include "com/ConnectionPoint.h"

#include <memory>
#include <new>
#include "com/EnumSnapshot.h"

namespace
{
// Cookies are DWORDs; the array stops doubling well before slot numbers could overflow one.
constexpr size_t kMaxSlots = 0x10000000;
}  // namespace

CConnectionPoint::CConnectionPoint(CComObjectRootEx& owner, REFIID iid) noexcept : m_owner(owner), m_iid(iid)
{
}

CConnectionPoint::~CConnectionPoint()
{
    for (IUnknown*& sink : m_sinks)
    {
        if (sink)
            sink->Release();
        sink = nullptr;
    }
}

HRESULT CConnectionPoint::QueryInterface(REFIID iid, void** out)
{
    return CComObjectRootEx::QueryInterfaceFrom(iid, out,
                                                {{&IID_IConnectionPoint, static_cast<IConnectionPoint*>(this)}});
}

ULONG CConnectionPoint::AddRef()
{
    return m_owner.GetControllingUnknown()->AddRef();
}

ULONG CConnectionPoint::Release()
{
    return m_owner.GetControllingUnknown()->Release();
}

HRESULT CConnectionPoint::GetConnectionInterface(IID* iid)
{
    if (!iid)
        return E_POINTER;
    *iid = m_iid;
    return S_OK;
}

HRESULT CConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container)
{
    if (!container)
        return E_POINTER;
    return m_owner.GetControllingUnknown()->QueryInterface(IID_IConnectionPointContainer,
                                                           reinterpret_cast<void**>(container));
}

HRESULT CConnectionPoint::Advise(IUnknown* sink, DWORD* cookie)
{
    if (!sink || !cookie)
        return E_POINTER;
    *cookie = 0;
    // Asked before the lock: the sink is someone else's code.
    CComPtr<IUnknown> events;
    if (FAILED(sink->QueryInterface(m_iid, reinterpret_cast<void**>(&events))) || !events)
        return CONNECT_E_CANNOTCONNECT;
    DWORD slot = 0;
    {
        CObjectLockGuard<CComObjectRootEx> guard(m_owner);
        slot = StoreSink(events.Get());
    }
    if (slot == 0)
        return CONNECT_E_ADVISELIMIT;  // `events` lets the sink go, outside the lock
    events.Detach();
    *cookie = slot;
    return S_OK;
}

HRESULT CConnectionPoint::Unadvise(DWORD cookie)
{
    CComPtr<IUnknown> released;  // released after the lock is left
    {
        CObjectLockGuard<CComObjectRootEx> guard(m_owner);
        if (cookie == 0 || cookie > m_sinks.size() || !m_sinks[cookie - 1])
            return CONNECT_E_NOCONNECTION;
        released.Attach(m_sinks[cookie - 1]);
        m_sinks[cookie - 1] = nullptr;
    }
    return S_OK;
}

HRESULT CConnectionPoint::EnumConnections(IEnumConnections** connections)
{
    if (!connections)
        return E_POINTER;
    *connections = nullptr;
    std::shared_ptr<CEnumConnections::CItems> items;
    {
        CObjectLockGuard<CComObjectRootEx> guard(m_owner);
        size_t count = 0;
        for (IUnknown* sink : m_sinks)
            count += sink ? 1 : 0;
        items = CEnumConnections::CItems::WithRoomFor(count);
        if (!items)
            return E_OUTOFMEMORY;
        for (size_t i = 0; i < m_sinks.size(); ++i)
        {
            if (!m_sinks[i])
                continue;
            m_sinks[i]->AddRef();
            CONNECTDATA data;
            data.pUnk = m_sinks[i];
            data.dwCookie = static_cast<DWORD>(i + 1);
            items->Adopt(data);
        }
    }
    return CEnumConnections::Create(std::move(items), 0, connections);
}

IUnknown* CConnectionPoint::SinkAt(size_t index) noexcept
{
    CObjectLockGuard<CComObjectRootEx> guard(m_owner);
    if (index >= m_sinks.size())
        return nullptr;
    IUnknown* sink = m_sinks[index];
    if (sink)
        sink->AddRef();
    return sink;
}

DWORD CConnectionPoint::StoreSink(IUnknown* sink) noexcept
{
    for (size_t i = 0; i < m_sinks.size(); ++i)
    {
        if (!m_sinks[i])
        {
            m_sinks[i] = sink;
            return static_cast<DWORD>(i + 1);
        }
    }
    const size_t used = m_sinks.size();
    if (used > kMaxSlots / 2)
        return 0;
    try
    {
        m_sinks.resize(used == 0 ? kInitialSlots : used * 2, nullptr);
    }
    catch (const std::bad_alloc&)
    {
        return 0;
    }
    m_slotCount.store(m_sinks.size(), std::memory_order_release);
    m_sinks[used] = sink;
    return static_cast<DWORD>(used + 1);
}
