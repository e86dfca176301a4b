#include "common/HResultException.h"

void ThrowHResult(HRESULT hr)
{
    throw CHResultException(hr);
}

void RaiseArrayBoundsExceeded()
{
    RaiseException(kArrayBoundsExceeded, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    // RaiseException of a non-continuable exception does not come back.
    for (;;) { ExitProcess(kArrayBoundsExceeded); }
}
