#pragma once
#include <windows.h>
#include <unknwn.h>
#include <memory>
#include <utility>

// A counted interface reference. Assignment from a raw pointer adds a reference; Attach() takes
// over one the caller already owns; Detach() hands ours to the caller.
template <typename T>
class CComPtr
{
public:
    CComPtr() noexcept = default;
    CComPtr(T* p) noexcept : m_p(p)
    {
        if (m_p)
            m_p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.m_p) {}
    CComPtr(CComPtr&& other) noexcept : m_p(other.Detach()) {}
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* p) noexcept
    {
        if (p)
            p->AddRef();
        Release();
        m_p = p;
        return *this;
    }
    // Safe for self-assignment, and returns *this: the raw-pointer assignment adds before it releases.
    // NOLINTNEXTLINE(bugprone-unhandled-self-assignment,misc-unconventional-assign-operator)
    CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.m_p; }
    CComPtr& operator=(CComPtr&& other) noexcept
    {
        if (this != std::addressof(other))
        {
            Release();
            m_p = other.Detach();
        }
        return *this;
    }

    T* Get() const noexcept { return m_p; }
    operator T*() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    // The address to fill in an out-parameter; the current reference is released first.
    T** operator&() noexcept
    {
        Release();
        return &m_p;
    }
    void Attach(T* p) noexcept
    {
        Release();
        m_p = p;
    }
    T* Detach() noexcept { return std::exchange(m_p, nullptr); }
    void Release() noexcept
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    // Asks the held object for another interface.
    template <typename Q>
    HRESULT QueryInterface(REFIID iid, Q** out) const noexcept
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        return m_p ? m_p->QueryInterface(iid, reinterpret_cast<void**>(out)) : E_POINTER;
    }

private:
    T* m_p = nullptr;
};
