#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <vector>
#include "com/ComObjectRoot.h"
#include "common/ComPtr.h"

// One connection point of a COM object, for one outgoing interface. It is a member of the object
// (through the object's event proxy), never a base: as a base, the object's IUnknown would answer
// for it and the point would lose its own QueryInterface. AddRef and Release go to the owner's
// controlling IUnknown, so the point lives exactly as long as its owner does.
//
// Subscribed sinks sit in an array of slots that starts at four and doubles when every slot is
// taken; a cookie is the 1-based slot number and a freed slot goes to the next subscriber. The
// array is guarded by the owner's object lock, and nothing is called on a sink while that lock is
// held except AddRef, so a sink may call back into the owner (Unadvise included) from an event.
class CConnectionPoint final : public IConnectionPoint
{
public:
    static constexpr size_t kInitialSlots = 4;

    // `owner` is the object root whose lock and identity the point uses; only its address is kept,
    // so the owner may pass itself while it is still being constructed.
    CConnectionPoint(CComObjectRootEx& owner, REFIID iid) noexcept;
    // Releases every sink still subscribed.
    ~CConnectionPoint();
    CConnectionPoint(const CConnectionPoint&) = delete;
    CConnectionPoint& operator=(const CConnectionPoint&) = delete;

    const IID& Iid() const noexcept { return m_iid; }

    // Calls `call(sink)` on every sink subscribed, in slot order, each with a reference of its own
    // and no lock held; a failing sink does not stop the others. Sink is the outgoing interface.
    // Returns the last called sink's result, S_OK when none was called.
    template <typename Sink, typename Call>
    HRESULT FireEach(Call&& call)
    {
        HRESULT last = S_OK;
        // Slots added after this read belong to sinks that subscribed after the event started.
        const size_t slots = m_slotCount.load(std::memory_order_acquire);
        for (size_t i = 0; i < slots; ++i)
        {
            CComPtr<IUnknown> sink;
            sink.Attach(SinkAt(i));
            if (sink)
                last = call(static_cast<Sink*>(sink.Get()));
        }
        return last;
    }

    // IUnknown: IUnknown and IConnectionPoint answer this point; the count is the owner's.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

private:
    // The sink in slot `index` with a reference for the caller; null for an empty slot or one past
    // the end. Takes the owner lock for the moment of the read.
    IUnknown* SinkAt(size_t index) noexcept;
    // Puts `sink` (a reference the caller hands over) into the first free slot, growing the array
    // when none is free; the cookie, or 0 when there is no room. Under the owner lock.
    DWORD StoreSink(IUnknown* sink) noexcept;

    CComObjectRootEx& m_owner;
    const IID m_iid;
    std::vector<IUnknown*> m_sinks;  // owned references to the outgoing interface; guarded by the owner lock
    // m_sinks.size(), readable without the lock by a firing thread.
    std::atomic<size_t> m_slotCount{0};
};
