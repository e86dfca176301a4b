#pragma once
#include <windows.h>
#include <new>
#include "common/HResultException.h"

// Runs the body of a COM method and turns the framework's exceptions into its HRESULT, so that no
// exception ever leaves a COM method:
//     return ComCall([&] { ...; return S_OK; });
template <typename Body>
HRESULT ComCall(Body&& body) noexcept
{
    try
    {
        return body();
    }
    catch (const CHResultException& e)
    {
        return e.Error();
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_FAIL;
    }
}
