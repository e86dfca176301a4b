#pragma once
#include <windows.h>
#include <objbase.h>
#include <new>
#include "common/HResultException.h"

// The class context every outside class is created with: in-process server and handler, local
// and remote server (0x17).
constexpr DWORD kClassContextAll =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// Runs a body that calls the throwing helpers of common/ (strings, arrays) and turns their
// exceptions into its HRESULT. The plug-in reports errors as HRESULT throughout; these two
// exceptions are the only ones raised, and this is the one place that turns them back.
// Inside the plug-in it serves a function that must keep going after such a failure; at a COM
// method or a thread's entry use ComCall, which says that the call crosses an edge.
template <typename Body>
HRESULT CatchAsHResult(Body&& body) noexcept
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

// Runs the body of a COM method or of a thread's entry, so that no exception ever leaves it:
//     return ComCall([&] { ...; return S_OK; });
template <typename Body>
HRESULT ComCall(Body&& body) noexcept
{
    return CatchAsHResult(static_cast<Body&&>(body));
}
