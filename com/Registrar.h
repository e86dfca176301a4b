#pragma once
#include <windows.h>

// Result of a registry script that cannot be read: bad syntax, an unknown root key or value type,
// a bad number. Nothing is written or removed when the script does not parse.
constexpr HRESULT kHrRegistryScriptSyntax = DISP_E_EXCEPTION;

// Applies a class registration script of the usual form, its words parted by white space:
//
//     HKCR { NoRemove CLSID { ForceRemove {guid} = s 'Some Class'
//            { InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Both' } } } }
//
// Root keys: HKCR, HKCU, HKLM. A key is a name (bare or in single quotes, '' standing for one
// quote), optionally `= type data` for its default value and a body in braces with subkeys and
// `val name = type data` entries. Types: s (REG_SZ text), e (REG_EXPAND_SZ text) and d (REG_DWORD,
// decimal). Keywords are matched without regard to case. In s and e data, %MODULE% stands for
// `modulePath`.
//
// Registration creates or opens every key and writes its values; a ForceRemove key is deleted
// with its whole subtree first and written anew. It stops at the first failure. Unregistration
// deletes every ForceRemove key with its subtree and nothing else: other keys and their values
// stay, NoRemove or not, so a script marks ForceRemove what it owns. It goes on past a failure and
// answers the first; keys that do not exist are no error.
HRESULT ApplyRegistryScript(const wchar_t* script, const wchar_t* modulePath, bool doRegister) noexcept;

// The script from resource (type "REGISTRY", id) of `module`: ANSI text read in the thread's code
// page, ending at its first NUL.
HRESULT ApplyRegistryResource(HINSTANCE module, UINT resourceId, const wchar_t* modulePath,
                              bool doRegister) noexcept;
