#pragma once
#include <windows.h>

// The framework's exception: carries the HRESULT of a failed allocation or argument check inside
// the string and array helpers. COM methods and thread entries catch it at their edge, functions
// inside where they must go on (common/ComCall.h); it never leaves a COM method or a thread.
class CHResultException
{
public:
    explicit CHResultException(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT Error() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

// Throws CHResultException(hr).
[[noreturn]] void ThrowHResult(HRESULT hr);

// Raised for an array index out of range. It is a structured exception that cannot be continued,
// as the platform's array classes raise it: it is a programming error, not a result.
constexpr DWORD kArrayBoundsExceeded = 0xC000008C;  // EXCEPTION_ARRAY_BOUNDS_EXCEEDED
[[noreturn]] void RaiseArrayBoundsExceeded();
