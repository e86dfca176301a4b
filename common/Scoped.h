#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>
#include "common/LockRank.h"

// Small owners, one per kind of resource. Copying is deleted; ownership leaves only through
// Release() (the caller takes it) or moves. Get() never gives up ownership.

// A kernel handle closed with CloseHandle. Both null and INVALID_HANDLE_VALUE count as "none".
class CScopedHandle
{
public:
    CScopedHandle() noexcept = default;
    explicit CScopedHandle(HANDLE handle) noexcept : m_handle(handle) {}
    ~CScopedHandle() { Close(); }
    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;
    CScopedHandle(CScopedHandle&& other) noexcept : m_handle(other.Release()) {}
    CScopedHandle& operator=(CScopedHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    bool IsValid() const noexcept { return m_handle && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const noexcept { return m_handle; }
    HANDLE Release() noexcept { return std::exchange(m_handle, nullptr); }
    void Reset(HANDLE handle = nullptr) noexcept
    {
        Close();
        m_handle = handle;
    }
    // Closes without disturbing the thread's last-error value, so that a failure path can close
    // what it opened and still report the error of the call that failed.
    void Close() noexcept
    {
        if (IsValid())
        {
            const DWORD error = GetLastError();
            CloseHandle(m_handle);
            SetLastError(error);
        }
        m_handle = nullptr;
    }

private:
    HANDLE m_handle = nullptr;
};

// A BSTR freed with SysFreeString.
class CScopedBstr
{
public:
    CScopedBstr() noexcept = default;
    explicit CScopedBstr(BSTR text) noexcept : m_bstr(text) {}
    ~CScopedBstr() { SysFreeString(m_bstr); }
    CScopedBstr(const CScopedBstr&) = delete;
    CScopedBstr& operator=(const CScopedBstr&) = delete;
    CScopedBstr(CScopedBstr&& other) noexcept : m_bstr(other.Release()) {}
    CScopedBstr& operator=(CScopedBstr&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    BSTR Get() const noexcept { return m_bstr; }
    UINT Length() const noexcept { return SysStringLen(m_bstr); }
    BSTR Release() noexcept { return std::exchange(m_bstr, nullptr); }
    void Reset(BSTR text = nullptr) noexcept
    {
        if (text != m_bstr)
            SysFreeString(m_bstr);
        m_bstr = text;
    }
    // For out-parameters: frees the current text and gives the address to fill.
    BSTR* Receive() noexcept
    {
        Reset();
        return &m_bstr;
    }

private:
    BSTR m_bstr = nullptr;
};

// A VARIANT cleared with VariantClear.
class CScopedVariant
{
public:
    CScopedVariant() noexcept { VariantInit(&m_var); }
    ~CScopedVariant() { VariantClear(&m_var); }
    CScopedVariant(const CScopedVariant&) = delete;
    CScopedVariant& operator=(const CScopedVariant&) = delete;

    VARIANT* Get() noexcept { return &m_var; }
    const VARIANT* Get() const noexcept { return &m_var; }
    VARIANT* operator->() noexcept { return &m_var; }
    const VARIANT* operator->() const noexcept { return &m_var; }
    // Clears and gives the address to fill (out-parameters).
    VARIANT* Receive() noexcept
    {
        VariantClear(&m_var);
        return &m_var;
    }
    // Hands the value to the caller, leaving VT_EMPTY behind.
    VARIANT Release() noexcept
    {
        VARIANT out = m_var;
        VariantInit(&m_var);
        return out;
    }

private:
    VARIANT m_var;
};

// A SAFEARRAY destroyed with SafeArrayDestroy.
class CScopedSafeArray
{
public:
    CScopedSafeArray() noexcept = default;
    explicit CScopedSafeArray(SAFEARRAY* array) noexcept : m_array(array) {}
    ~CScopedSafeArray() { Reset(); }
    CScopedSafeArray(const CScopedSafeArray&) = delete;
    CScopedSafeArray& operator=(const CScopedSafeArray&) = delete;

    SAFEARRAY* Get() const noexcept { return m_array; }
    SAFEARRAY* Release() noexcept { return std::exchange(m_array, nullptr); }
    void Reset(SAFEARRAY* array = nullptr) noexcept
    {
        if (m_array && m_array != array)
            SafeArrayDestroy(m_array);
        m_array = array;
    }

private:
    SAFEARRAY* m_array = nullptr;
};

// A critical section with its lifetime and its rank in the lock table (common/LockRank.h), and a
// guard that holds it for a scope.
class CCriticalSection
{
public:
    explicit CCriticalSection(LockRank rank) noexcept : m_rank(rank) { InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;
    void Lock() noexcept { EnterRankedCriticalSection(&m_cs, m_rank); }
    // Takes the lock only when that needs no wait: for a holder that may never let it go. A try
    // cannot dead-lock, so its order is not checked.
    bool TryLock() noexcept
    {
        const bool taken = TryEnterCriticalSection(&m_cs) != FALSE;
        if (taken)
            NoteLockTaken(&m_cs, m_rank);
        return taken;
    }
    void Unlock() noexcept { LeaveRankedCriticalSection(&m_cs, m_rank); }

private:
    CRITICAL_SECTION m_cs;
    const LockRank m_rank;
};

class CLockGuard
{
public:
    explicit CLockGuard(CCriticalSection& cs) noexcept : m_cs(cs) { m_cs.Lock(); }
    ~CLockGuard() { m_cs.Unlock(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CCriticalSection& m_cs;
};
