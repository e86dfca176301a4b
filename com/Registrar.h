#pragma once
#include <windows.h>
#include <vector>
#include "common/String.h"

// Result of a registry script that cannot be read: bad syntax, an unknown root key or value type,
// an unknown %NAME%, a bad number. Nothing is written or removed when the script does not parse.
constexpr HRESULT kHrRegistryScriptSyntax = DISP_E_EXCEPTION;

// Applies a class registration script of the usual form:
//
//     HKCR
//     {
//         NoRemove CLSID
//         {
//             ForceRemove {guid} = s 'Some Class'
//             {
//                 InprocServer32 = s '%MODULE%'
//                 {
//                     val ThreadingModel = s 'Both'
//                 }
//             }
//         }
//     }
//
// Root keys: HKCR, HKCU, HKLM, HKU (or their HKEY_ names). A key is a name (bare or in single
// quotes, '' standing for one quote), optionally `= type data` for its default value and a body in
// braces with subkeys and `val name = type data` entries. Types: s (REG_SZ text), e (REG_EXPAND_SZ
// text) and d (REG_DWORD, decimal or 0x hexadecimal). Keywords are matched without regard to case.
//
// Registration creates or opens every key and writes its values; a ForceRemove key is deleted
// with its whole subtree first and written anew. Unregistration walks the script depth first:
// a ForceRemove key goes with its subtree; a NoRemove key stays; any other key loses the values
// named by its `val` entries and is deleted only when nothing is left in it (no subkey, and no
// value but the default value the script gives it). Keys that do not exist are no error.
//
// %NAME% is replaced by the value given with AddReplacement before the script is read, with its
// single quotes doubled so that a value can sit inside a quoted string; %% stands for %.
class CRegistrar
{
public:
    CRegistrar() = default;
    CRegistrar(const CRegistrar&) = delete;
    CRegistrar& operator=(const CRegistrar&) = delete;

    // Names are matched without regard to case; a name given twice keeps the last value.
    HRESULT AddReplacement(const wchar_t* name, const wchar_t* value) noexcept;
    void ClearReplacements() noexcept;

    // The script from resource (type, id) of `module`: ANSI text read in the thread's code page,
    // or UTF-16LE / UTF-8 text with its byte-order mark.
    HRESULT ResourceRegister(HINSTANCE module, UINT resourceId, const wchar_t* type = L"REGISTRY") noexcept;
    HRESULT ResourceUnregister(HINSTANCE module, UINT resourceId, const wchar_t* type = L"REGISTRY") noexcept;

    HRESULT StringRegister(const wchar_t* script) noexcept;
    HRESULT StringUnregister(const wchar_t* script) noexcept;

private:
    struct Replacement
    {
        CString name;
        CString value;
    };

    HRESULT Apply(const wchar_t* script, bool doRegister);
    HRESULT ApplyResource(HINSTANCE module, UINT resourceId, const wchar_t* type, bool doRegister);
    HRESULT Expand(const wchar_t* script, CString& out) const;

    std::vector<Replacement> m_replacements;
};
