#pragma once
#include <windows.h>
#include <objbase.h>
#include <new>
#include "common/HResultException.h"

// The class context every outside class is created with: in-process server and handler, local
// and remote server (0x17).
constexpr DWORD kClassContextAll =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

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
