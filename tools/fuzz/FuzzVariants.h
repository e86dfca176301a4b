#pragma once
#include <windows.h>
#include <oleauto.h>
#include <list>
#include <string>
#include "tools/fuzz/FuzzInput.h"

// VARIANTs and BSTRs as a careless or hostile manager passes them: every VARTYPE, by reference
// (also with a null pointer), arrays of several element types (also without an array), unknown
// type numbers, BSTRs with NULs inside and of 100,000 characters. Owns everything it made until
// it goes, so a call's arguments outlive the call.
class CFuzzVariants
{
public:
    CFuzzVariants() = default;
    ~CFuzzVariants();
    CFuzzVariants(const CFuzzVariants&) = delete;
    CFuzzVariants& operator=(const CFuzzVariants&) = delete;

    // `object` is what VT_UNKNOWN and VT_DISPATCH may carry besides null.
    VARIANT Make(CFuzzInput& in, IUnknown* object);
    // Null, empty, with NULs inside, huge, or raw text.
    BSTR MakeBstr(CFuzzInput& in);

private:
    std::list<BSTR> m_bstrs;      // owned
    std::list<BSTR> m_bstrSlots;  // what VT_BYREF | VT_BSTR points at; the texts are in m_bstrs
    std::list<SAFEARRAY*> m_arrays;
    std::list<VARIANT> m_referenced;  // what VT_BYREF | VT_VARIANT points at
    std::list<LONGLONG> m_numbers;    // what the other VT_BYREF types point at (8 bytes and more)
    std::list<DECIMAL> m_decimals;
};
