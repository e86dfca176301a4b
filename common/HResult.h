#pragma once
#include <windows.h>

// HRESULT conventions shared by every subsystem.

// A Win32 error code as HRESULT: 0x80070000 | (code & 0xFFFF); 0 stays S_OK.
constexpr HRESULT HResultFromWin32(DWORD error) noexcept
{
    return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

// GetLastError() as HRESULT; E_FAIL when the failing call left no error code behind.
inline HRESULT HResultFromLastError() noexcept
{
    const DWORD error = GetLastError();
    return error == 0 ? E_FAIL : HResultFromWin32(error);
}

// Results the system uses beyond the standard ones.
constexpr HRESULT kHrNotConnected = static_cast<HRESULT>(0x80040007);   // database connection not open
constexpr HRESULT kHrThreadNotRunning = HResultFromWin32(ERROR_INVALID_THREAD_ID);  // 0x800705A4
constexpr HRESULT kHrCallPending = static_cast<HRESULT>(0x80010115);    // RPC_S_CALLPENDING: wait timed out

// What a file access check answers.
constexpr HRESULT kHrFileNotFound = HResultFromWin32(ERROR_FILE_NOT_FOUND);          // 0x80070002
constexpr HRESULT kHrPathNotFound = HResultFromWin32(ERROR_PATH_NOT_FOUND);          // 0x80070003
constexpr HRESULT kHrSharingViolation = HResultFromWin32(ERROR_SHARING_VIOLATION);  // 0x80070020
constexpr HRESULT kHrLockViolation = HResultFromWin32(ERROR_LOCK_VIOLATION);        // 0x80070021

// A file someone holds open or locked: it is there, only not to be had now.
constexpr bool IsFileInUse(HRESULT hr) noexcept
{
    return hr == kHrSharingViolation || hr == kHrLockViolation;
}
