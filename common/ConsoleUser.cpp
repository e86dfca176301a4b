#include "common/ConsoleUser.h"

#include <wtsapi32.h>
#include <utility>
#include "common/HResult.h"
#include "common/Scoped.h"

namespace
{
constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;

// The thread's impersonation token, opened to be put back later; null when the thread has none.
// Opened as self: the thread's impersonated user may lack the right to open its own token. Putting
// a token back on a thread is all it is needed for, and that is the one right asked for.
HANDLE OpenPreviousToken() noexcept
{
    HANDLE previous = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &previous))
        previous = nullptr;
    return previous;
}

// Puts `previous` back on the thread (the very token, which TOKEN_IMPERSONATE allows), or reverts
// to the process's identity when it is null. When it cannot be put back the thread reverts all the
// same: it must never go on as the user it impersonated. False in that case.
bool RestoreThreadToken(HANDLE previous) noexcept
{
    if (previous && SetThreadToken(nullptr, previous))
        return true;
    RevertToSelf();
    return !previous;
}

// The user token of a session, or null when the session has no user or may not be asked.
HANDLE QuerySessionToken(DWORD sessionId) noexcept
{
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(sessionId, &token))
        token = nullptr;
    return token;
}

// The session list from WTSEnumerateSessionsW, freed with WTSFreeMemory.
class CSessionList
{
public:
    CSessionList() noexcept
    {
        if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &m_sessions, &m_count))
        {
            m_count = 0;
            if (m_sessions)
                WTSFreeMemory(m_sessions);
            m_sessions = nullptr;
        }
        if (!m_sessions)
            m_count = 0;
    }
    ~CSessionList()
    {
        if (m_sessions)
            WTSFreeMemory(m_sessions);
    }
    CSessionList(const CSessionList&) = delete;
    CSessionList& operator=(const CSessionList&) = delete;

    DWORD Count() const noexcept { return m_count; }
    DWORD SessionId(DWORD index) const noexcept { return m_sessions[index].SessionId; }

private:
    PWTS_SESSION_INFOW m_sessions = nullptr;
    DWORD m_count = 0;
};

}  // namespace

HRESULT TryOpenFile(HANDLE token, LPCWSTR path, bool write)
{
    if (!path || !*path)
        return E_INVALIDARG;

    const CImpersonation asUser(token);
    // Read sharing only: a file that someone holds open for writing fails with a sharing
    // violation, which is how a file still being recorded is noticed.
    HANDLE file = CreateFileW(path, write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return HResultFromLastError();
    CloseHandle(file);
    return S_OK;
}

CImpersonation::CImpersonation(HANDLE token) noexcept
{
    if (!token)
        return;
    m_previous.Reset(OpenPreviousToken());
    m_active = ImpersonateLoggedOnUser(token) != FALSE;
}

CImpersonation::~CImpersonation()
{
    if (m_active)
        RestoreThreadToken(m_previous.Get());
}

HRESULT FindUserTokenForFile(LPCWSTR path, CScopedHandle* token, bool write)
{
    if (!token)
        return E_POINTER;
    *token = CScopedHandle();
    if (!path || !*path)
        return E_INVALIDARG;

    HRESULT result = TryOpenFile(nullptr, path, write);
    if (SUCCEEDED(result))
        return S_FALSE;

    // The console user first; that user's failure replaces the service's as the one reported.
    const DWORD consoleSession = WTSGetActiveConsoleSessionId();
    if (consoleSession != kNoConsoleSession)
    {
        CScopedHandle user(QuerySessionToken(consoleSession));
        if (user.IsValid())
        {
            result = TryOpenFile(user.Get(), path, write);
            if (SUCCEEDED(result))
            {
                *token = std::move(user);
                return S_OK;
            }
        }
    }

    // Then the users of the other sessions, in the order listed; their failures are not reported.
    const CSessionList sessions;
    for (DWORD i = 0; i < sessions.Count(); ++i)
    {
        const DWORD sessionId = sessions.SessionId(i);
        if (sessionId == consoleSession)
            continue;
        CScopedHandle user(QuerySessionToken(sessionId));
        if (user.IsValid() && SUCCEEDED(TryOpenFile(user.Get(), path, write)))
        {
            *token = std::move(user);
            return S_OK;
        }
    }
    return FAILED(result) ? result : E_FAIL;
}

bool BeginImpersonation(HANDLE token, HANDLE* previousToken)
{
    if (!previousToken)
        return false;
    *previousToken = nullptr;
    if (!token)
        return false;
    *previousToken = OpenPreviousToken();
    return ImpersonateLoggedOnUser(token) != FALSE;
}

bool EndImpersonation(bool restore, HANDLE* previousToken, bool closePrevious)
{
    if (!previousToken)
        return false;
    bool ok = true;
    if (restore)
        ok = RestoreThreadToken(*previousToken);
    if (closePrevious && *previousToken)
    {
        CloseHandle(*previousToken);
        *previousToken = nullptr;
    }
    return ok;
}
