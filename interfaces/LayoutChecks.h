#pragma once
// The binary contract under our interfaces: sizes and offsets the manager, the content database and
// the services read from memory we hand them, and we from theirs, on i686 (what the manager loads)
// and on x86_64 alike. A stray packing pragma, a changed typedef or a header mix-up that moves one
// of them would otherwise show only as a crash inside the 32-bit host. Every interface header
// includes this file, so both targets of both compilers check it in every unit that could use them.
#include <windows.h>
#include <oaidl.h>
#include <cstddef>

constexpr bool kLayout64 = sizeof(void*) == 8;

// The scalars of the method signatures. Strings are UTF-16 (BSTR, LPCWSTR; the delay-queue file is
// written from the same wide characters).
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(HRESULT) == 4, "32-bit integers");
static_assert(sizeof(OLECHAR) == 2 && sizeof(WCHAR) == 2, "UTF-16 code units");
static_assert(sizeof(VARIANT_BOOL) == 2 && VARIANT_TRUE == -1, "VARIANT_BOOL");
static_assert(sizeof(BSTR) == sizeof(void*) && sizeof(LONG_PTR) == sizeof(void*), "pointer-sized values");
static_assert(sizeof(GUID) == 16, "GUID");

// VARIANT crosses by pointer and by value; by value it is 16 bytes of the i686 stack, which the
// callee (__stdcall) removes. The payloads we write and read all start at offset 8.
static_assert(sizeof(VARIANT) == (kLayout64 ? 24 : 16) && alignof(VARIANT) == 8, "VARIANT size");
static_assert(offsetof(VARIANT, vt) == 0, "VARIANT type tag");
static_assert(offsetof(VARIANT, lVal) == 8 && offsetof(VARIANT, ulVal) == 8 && offsetof(VARIANT, boolVal) == 8 &&
                  offsetof(VARIANT, bstrVal) == 8 && offsetof(VARIANT, punkVal) == 8 &&
                  offsetof(VARIANT, parray) == 8 && offsetof(VARIANT, date) == 8,
              "VARIANT payloads");

// The array descriptor of VT_ARRAY values (the manager's queue entries, the pending items).
static_assert(sizeof(SAFEARRAYBOUND) == 8, "SAFEARRAYBOUND");
static_assert(offsetof(SAFEARRAY, cbElements) == 4 && offsetof(SAFEARRAY, pvData) == (kLayout64 ? 16 : 12) &&
                  offsetof(SAFEARRAY, rgsabound) == (kLayout64 ? 24 : 16),
              "SAFEARRAY descriptor");

// A slot of an outside interface that the plug-in never calls, declared only so that the methods
// it does call sit at the positions their implementers put them at: LUM_RESERVED_SLOT(7) is
// slot 7, Reserved7.
#define LUM_RESERVED_SLOT(n) virtual HRESULT STDMETHODCALLTYPE Reserved##n() = 0;
