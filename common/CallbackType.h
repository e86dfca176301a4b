#pragma once
// Functions handed to Windows to call back (thread procedures, console and exception handlers,
// loader entry points) must have exactly the function type Windows calls them as. On i686 the
// calling convention is part of that type: a __cdecl procedure called as __stdcall leaves the stack
// unbalanced on every call, which no test on the 64-bit build can notice (x86_64 has one
// convention). A cast at the call site would hide the mismatch, so every such function is checked
// where it is handed over, and the build for i686 fails when one is wrong.
#include <windows.h>
#include <process.h>
#include <type_traits>

// The types: _beginthreadex_proc_type (process.h), LPTHREAD_START_ROUTINE, PHANDLER_ROUTINE,
// PVECTORED_EXCEPTION_HANDLER, LPTOP_LEVEL_EXCEPTION_FILTER, LPFNGETCLASSOBJECT, LPFNCANUNLOADNOW,
// and these two:
using DllEntryRoutine = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);  // the loader's call of DllMain
using DllRegistrationRoutine = HRESULT(STDAPICALLTYPE*)();        // regsvr32's call of DllRegisterServer

// `function` is a name, which parentheses would turn into an expression: &(C::F) is no member pointer.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define LUM_ASSERT_CALLBACK_TYPE(function, Routine)                                                    \
    static_assert(std::is_same_v<decltype(&function), Routine>,                                        \
                  #function " is not of the function type (and calling convention) Windows calls it as")
// NOLINTEND(bugprone-macro-parentheses)
