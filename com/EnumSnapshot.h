#pragma once
#include <windows.h>
#include <ocidl.h>
#include <memory>
#include <new>
#include <utility>
#include <vector>
#include "com/ComObject.h"

// How an enumerated element holds its references: Hold adds one (for a copy handed out), Drop
// gives one back. Interface pointers and CONNECTDATA are what the framework enumerates.
template <typename Item>
struct CEnumItemTraits;

template <typename Interface>
struct CEnumItemTraits<Interface*>
{
    static void Hold(Interface* item) noexcept
    {
        if (item)
            item->AddRef();
    }
    static void Drop(Interface* item) noexcept
    {
        if (item)
            item->Release();
    }
};

template <>
struct CEnumItemTraits<CONNECTDATA>
{
    static void Hold(const CONNECTDATA& item) noexcept
    {
        if (item.pUnk)
            item.pUnk->AddRef();
    }
    static void Drop(const CONNECTDATA& item) noexcept
    {
        if (item.pUnk)
            item.pUnk->Release();
    }
};

// The elements an enumerator walks: taken once, never changed afterwards, shared by an enumerator
// and its clones. Each element carries one reference owned by the snapshot.
template <typename Item>
class CEnumItems
{
public:
    CEnumItems() = default;
    ~CEnumItems()
    {
        for (const Item& item : m_items)
            CEnumItemTraits<Item>::Drop(item);
    }
    CEnumItems(const CEnumItems&) = delete;
    CEnumItems& operator=(const CEnumItems&) = delete;

    // A snapshot with room for `count` elements, so that the Adopt calls after it cannot fail;
    // null when memory is short.
    static std::shared_ptr<CEnumItems> WithRoomFor(size_t count) noexcept
    {
        try
        {
            auto items = std::make_shared<CEnumItems>();
            items->m_items.reserve(count);
            return items;
        }
        catch (const std::bad_alloc&)
        {
            return nullptr;
        }
    }

    // Takes over a reference the caller already holds. Only within the room made above.
    void Adopt(const Item& item) noexcept { m_items.push_back(item); }

    ULONG Count() const noexcept { return static_cast<ULONG>(m_items.size()); }
    const Item& operator[](ULONG index) const noexcept { return m_items[index]; }

private:
    std::vector<Item> m_items;
};

// An IEnumXxx object over a snapshot (IEnumConnections over CONNECTDATA, IEnumConnectionPoints over
// IConnectionPoint*). Next hands out elements with a reference for the caller. Next, Skip and Reset
// move the position under the object lock; elements are copied out with no lock held, which is
// safe because the snapshot never changes.
template <typename Enum, const IID* EnumIid, typename Item>
class CEnumSnapshot : public CComObjectRootEx, public Enum
{
public:
    using CItems = CEnumItems<Item>;

    // A new enumerator at `position` over `items`, asked for its enumeration interface.
    static HRESULT Create(std::shared_ptr<const CItems> items, ULONG position, Enum** out)
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!items)
            return E_INVALIDARG;
        CComObject<CEnumSnapshot>* object = nullptr;
        const HRESULT hr = CComObject<CEnumSnapshot>::CreateInstance(&object);
        if (FAILED(hr))
            return hr;
        CEnumSnapshot* self = object;
        const ULONG count = items->Count();
        self->m_items = std::move(items);
        self->m_position = position < count ? position : count;
        return QueryNewObject(object, *EnumIid, reinterpret_cast<void**>(out));
    }

    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        return QueryInterfaceFrom(iid, out, {{EnumIid, static_cast<Enum*>(this)}});
    }

    // S_OK when `count` elements were written, S_FALSE when fewer were left. `fetched` may be
    // null only when one element is asked for.
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override
    {
        if (!items || (count != 1 && !fetched))
            return E_POINTER;
        ULONG begin = 0;
        ULONG taken = 0;
        {
            CObjectLockGuard<CEnumSnapshot> guard(*this);
            begin = m_position;
            const ULONG left = m_items->Count() - begin;
            taken = count < left ? count : left;
            m_position = begin + taken;
        }
        for (ULONG i = 0; i < taken; ++i)
        {
            items[i] = (*m_items)[begin + i];
            CEnumItemTraits<Item>::Hold(items[i]);
        }
        if (fetched)
            *fetched = taken;
        return taken == count ? S_OK : S_FALSE;
    }

    // S_FALSE, with the position at the end, when fewer than `count` elements were left.
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        CObjectLockGuard<CEnumSnapshot> guard(*this);
        const ULONG left = m_items->Count() - m_position;
        if (count > left)
        {
            m_position = m_items->Count();
            return S_FALSE;
        }
        m_position += count;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Reset() override
    {
        CObjectLockGuard<CEnumSnapshot> guard(*this);
        m_position = 0;
        return S_OK;
    }

    // A second enumerator over the same snapshot, at the same position, moving on its own.
    HRESULT STDMETHODCALLTYPE Clone(Enum** out) override
    {
        if (!out)
            return E_POINTER;
        ULONG position = 0;
        {
            CObjectLockGuard<CEnumSnapshot> guard(*this);
            position = m_position;
        }
        return Create(m_items, position, out);
    }

private:
    std::shared_ptr<const CItems> m_items;  // set once by Create
    ULONG m_position = 0;                   // guarded by the object lock
};

using CEnumConnections = CEnumSnapshot<IEnumConnections, &IID_IEnumConnections, CONNECTDATA>;
using CEnumConnectionPoints = CEnumSnapshot<IEnumConnectionPoints, &IID_IEnumConnectionPoints, IConnectionPoint*>;
