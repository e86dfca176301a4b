#pragma once
#include <windows.h>

// File access as a logged-on user. The service's account may not reach a user's files (a share
// only that user has mapped, a folder only that user may read), so callers first find out who can
// open a file and then act on it while impersonating that user:
//
//     HANDLE token = nullptr;
//     if (FindUserTokenForFile(path, &token, false) == S_OK)
//     {
//         HANDLE previous = nullptr;
//         BeginImpersonation(token, &previous);
//         ... the file work ...
//         EndImpersonation(true, &previous, true);
//         CloseHandle(token);
//     }
//
// Tokens handed back belong to the caller, who closes them with CloseHandle. Impersonation acts on
// the calling thread only; every function leaves the thread's token as it found it, except
// BeginImpersonation, which must be paired with EndImpersonation on the same thread.

// Opens the file for reading (and writing when `write`) with read sharing only, as the user of
// `token` when it is not null, and closes it at once. S_OK when it opens, else the open's Win32
// error as HRESULT: 0x80070020 (sharing violation) for a file someone holds open for writing,
// 0x80070005, 0x80070002, 0x80070003... A null or empty path gives E_INVALIDARG.
HRESULT TryOpenFile(HANDLE token, LPCWSTR path, bool write);

// Who can open the file: S_FALSE when the service itself can (no token); S_OK with the token of
// the console user, or else of the first other session's user, that can; otherwise the service's
// failure, replaced by the console user's when the console user has a token. *token is null unless
// S_OK. A null out-pointer gives E_POINTER; a null or empty path E_INVALIDARG.
HRESULT FindUserTokenForFile(LPCWSTR path, HANDLE* token, bool write);

// Starts impersonating `token` on this thread. *previousToken receives the thread's impersonation
// token from before (null when it had none); it goes back to EndImpersonation. False when the
// token is null or the impersonation fails (the thread is then unchanged), and when previousToken
// is null (nothing is done).
bool BeginImpersonation(HANDLE token, HANDLE* previousToken);

// Ends an impersonation begun by BeginImpersonation: when `restore`, puts *previousToken back on
// the thread (or reverts to the process's identity when it is null); when `closePrevious`, closes
// *previousToken and sets it to null. False when the previous token could not be put back, and
// when previousToken is null (nothing is done).
bool EndImpersonation(bool restore, HANDLE* previousToken, bool closePrevious);

// An impersonation for the life of a scope: begins with `token` (none when it is null, and the
// work is then done as the thread's own identity) and ends on every path, putting the previous
// token back. When that cannot be put back the thread reverts to the process's identity, so it is
// never left acting as the user.
class CScopedImpersonation
{
public:
    explicit CScopedImpersonation(HANDLE token) noexcept : m_active(BeginImpersonation(token, &m_previous)) {}
    ~CScopedImpersonation() { End(); }
    CScopedImpersonation(const CScopedImpersonation&) = delete;
    CScopedImpersonation& operator=(const CScopedImpersonation&) = delete;

    bool IsActive() const noexcept { return m_active; }
    // Ends it now (again: nothing). False when the previous token could not be put back.
    bool End() noexcept
    {
        const bool restored = EndImpersonation(m_active, &m_previous, true);
        if (!restored)
            RevertToSelf();
        m_active = false;
        return restored;
    }

private:
    HANDLE m_previous = nullptr;
    bool m_active;
};
