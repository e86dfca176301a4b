#pragma once
#include <windows.h>
#include "common/Scoped.h"

// File access as a logged-on user. The service's account may not reach a user's files (a share
// only that user has mapped, a folder only that user may read), so callers first find out who can
// open a file and then act on it while impersonating that user:
//
//     CScopedHandle user;
//     if (SUCCEEDED(FindUserTokenForFile(path, &user, false)))
//     {
//         const CImpersonation asUser(user.Get());  // no token (S_FALSE): nobody is impersonated
//         ... the file work ...
//     }
//
// Tokens handed back belong to the caller's owner, which closes them. Impersonation acts on
// the calling thread only; every function leaves the thread's token as it found it, except
// BeginImpersonation, which must be paired with EndImpersonation on the same thread. Putting the
// previous token back can fail; the thread then reverts to the process's identity rather than go
// on as the user.

// Impersonates `token` on the calling thread for the scope's life; a null token, or one that
// cannot be impersonated, leaves the thread as it is. The destructor puts the thread's previous
// token back, or reverts to the process's identity when that fails.
class CImpersonation
{
public:
    explicit CImpersonation(HANDLE token) noexcept;
    ~CImpersonation();
    CImpersonation(const CImpersonation&) = delete;
    CImpersonation& operator=(const CImpersonation&) = delete;

    bool IsActive() const noexcept { return m_active; }

private:
    CScopedHandle m_previous;  // null when the thread had no token of its own
    bool m_active = false;
};

// Opens the file for reading (and writing when `write`) with read sharing only, as the user of
// `token` when it is not null, and closes it at once. S_OK when it opens, else the open's Win32
// error as HRESULT: 0x80070020 (sharing violation) for a file someone holds open for writing,
// 0x80070005, 0x80070002, 0x80070003... A null or empty path gives E_INVALIDARG.
HRESULT TryOpenFile(HANDLE token, LPCWSTR path, bool write);

// Who can open the file: S_FALSE when the service itself can (no token); S_OK with the token of
// the console user, or else of the first other session's user, that can; otherwise the service's
// failure, replaced by the console user's when the console user has a token. *token is null unless
// S_OK; a token it held before is closed. A null out-pointer gives E_POINTER; a null or empty
// path E_INVALIDARG.
HRESULT FindUserTokenForFile(LPCWSTR path, CScopedHandle* token, bool write);

// Starts impersonating `token` on this thread. *previousToken receives the thread's impersonation
// token from before (null when it had none); it goes back to EndImpersonation. False when the
// token is null or the impersonation fails (the thread is then unchanged), and when previousToken
// is null (nothing is done).
bool BeginImpersonation(HANDLE token, HANDLE* previousToken);

// Ends an impersonation begun by BeginImpersonation: when `restore`, puts *previousToken back on
// the thread (or reverts to the process's identity when it is null); when `closePrevious`, closes
// *previousToken and sets it to null. False when the previous token could not be put back (the
// thread has then reverted to the process's identity), and when previousToken is null (nothing is
// done).
bool EndImpersonation(bool restore, HANDLE* previousToken, bool closePrevious);
