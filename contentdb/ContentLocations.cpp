#include "contentdb/ContentLocations.h"

#include <cwchar>
#include "common/Path.h"

namespace
{
const wchar_t kLumfileScheme[] = L"lumfile:";
constexpr int kLumfileSchemeLength = 8;
// The path-like form of the scheme: "lumfile" with its colon escaped.
const wchar_t kEscapedLumfileScheme[] = L"lumfile%3a";
constexpr int kEscapedLumfileSchemeLength = 10;

// How a failure code is classified.
enum class FailureKind
{
    Gone,            // permanent
    Passing,         // passing, retry value 0xFFFF
    Retry,           // passing, retry value = the retry base
    Retry4,          // passing, retry value = four times the retry base
    PassingOnShare,  // path not found: passing on a share, else permanent
    AccessDenied,    // passing on a share or for a file that is not read-only, else permanent
};

struct KnownFailure
{
    DWORD error;  // Win32 error code
    FailureKind kind;
};

// Win32 errors with a known meaning for a file access; any other failure counts as permanent but
// unknown.
constexpr KnownFailure kKnownFailures[] = {
    {2, FailureKind::Gone},              // ERROR_FILE_NOT_FOUND
    {3, FailureKind::PassingOnShare},    // ERROR_PATH_NOT_FOUND
    {5, FailureKind::AccessDenied},      // ERROR_ACCESS_DENIED
    {32, FailureKind::Retry},            // ERROR_SHARING_VIOLATION
    {33, FailureKind::Retry},            // ERROR_LOCK_VIOLATION
    {36, FailureKind::Retry},            // ERROR_SHARING_BUFFER_EXCEEDED
    // Network paths, devices and sessions.
    {53, FailureKind::Passing},          // ERROR_BAD_NETPATH
    {54, FailureKind::Retry4},           // ERROR_NETWORK_BUSY
    {55, FailureKind::Passing},          // ERROR_DEV_NOT_EXIST
    {56, FailureKind::Passing},          // ERROR_TOO_MANY_CMDS
    {57, FailureKind::Passing},          // ERROR_ADAP_HDW_ERR
    {59, FailureKind::Passing},          // ERROR_UNEXP_NET_ERR
    {64, FailureKind::Passing},          // ERROR_NETNAME_DELETED
    {65, FailureKind::Gone},             // ERROR_NETWORK_ACCESS_DENIED
    {67, FailureKind::Passing},          // ERROR_BAD_NET_NAME
    {69, FailureKind::Passing},          // ERROR_TOO_MANY_SESS
    {88, FailureKind::Passing},          // ERROR_NET_WRITE_FAULT
    {1214, FailureKind::Gone},           // ERROR_INVALID_NETNAME
    {1219, FailureKind::Passing},        // ERROR_SESSION_CREDENTIAL_CONFLICT
    {1220, FailureKind::Passing},        // ERROR_REMOTE_SESSION_LIMIT_EXCEEDED
    {1222, FailureKind::Passing},        // ERROR_NO_NETWORK
    {1225, FailureKind::Gone},           // ERROR_CONNECTION_REFUSED
    {1226, FailureKind::Passing},        // ERROR_GRACEFUL_DISCONNECT
    {1227, FailureKind::Passing},        // ERROR_ADDRESS_ALREADY_ASSOCIATED
    {1228, FailureKind::Passing},        // ERROR_ADDRESS_NOT_ASSOCIATED
    {1229, FailureKind::Passing},        // ERROR_CONNECTION_INVALID
    {1230, FailureKind::Passing},        // ERROR_CONNECTION_ACTIVE
    {1231, FailureKind::Passing},        // ERROR_NETWORK_UNREACHABLE
    {1232, FailureKind::Passing},        // ERROR_HOST_UNREACHABLE
    {1233, FailureKind::Gone},           // ERROR_PROTOCOL_UNREACHABLE
    {1234, FailureKind::Gone},           // ERROR_PORT_UNREACHABLE
    {1235, FailureKind::Passing},        // ERROR_REQUEST_ABORTED
    {1236, FailureKind::Passing},        // ERROR_CONNECTION_ABORTED
    {1237, FailureKind::Retry},          // ERROR_RETRY
    {1238, FailureKind::Retry},          // ERROR_CONNECTION_COUNT_LIMIT
    {1239, FailureKind::Retry4},         // ERROR_LOGIN_TIME_RESTRICTION
    {1240, FailureKind::Gone},           // ERROR_LOGIN_WKSTA_RESTRICTION
    {1241, FailureKind::Passing},        // ERROR_INCORRECT_ADDRESS
    {1245, FailureKind::Passing},        // ERROR_NOT_LOGGED_ON
    {1255, FailureKind::Passing},        // ERROR_SERVER_SHUTDOWN_IN_PROGRESS
    {1256, FailureKind::Passing},        // ERROR_HOST_DOWN
    {1326, FailureKind::Passing},        // ERROR_LOGON_FAILURE
    {1707, FailureKind::Passing},        // RPC_S_INVALID_NET_ADDR
    {1763, FailureKind::Passing},        // RPC_S_INVALID_NAF_ID
    {1790, FailureKind::Passing},        // ERROR_TRUST_FAILURE
    {2250, FailureKind::Passing},        // ERROR_NOT_CONNECTED
    {6002, FailureKind::Passing},        // ERROR_FILE_ENCRYPTED
};

const KnownFailure* FindKnownFailure(HRESULT hr) noexcept
{
    // Only Win32 errors carried as HRESULTs are known.
    if ((static_cast<ULONG>(hr) & 0xFFFF0000u) != 0x80070000u)
        return nullptr;
    const DWORD error = static_cast<ULONG>(hr) & 0xFFFFu;
    for (const KnownFailure& failure : kKnownFailures)
    {
        if (failure.error == error)
            return &failure;
    }
    return nullptr;
}

ULONG PassingStatus(ULONG retryValue) noexcept
{
    return kFileStatusPassing | (retryValue & kFileStatusRetryMask);
}

}  // namespace

CString PathFromLumfileUrl(LPCWSTR text)
{
    if (!text)
        return CString();
    if (std::wcsncmp(text, kLumfileScheme, kLumfileSchemeLength) != 0)
        return CString(text, static_cast<int>(std::wcslen(text)));
    const wchar_t* path = text + kLumfileSchemeLength;
    const wchar_t* query = std::wcschr(path, L'?');
    const size_t length = query ? static_cast<size_t>(query - path) : std::wcslen(path);
    return CString(path, static_cast<int>(length));
}

bool IsLumFile(LPCWSTR location)
{
    const CString path = PathFromLumfileUrl(location);
    const int dot = path.ReverseFind(L'.');
    if (dot < 0)
        return false;
    const CString extension = path.Mid(dot + 1);
    return extension.CompareNoCase(L"lumf") == 0 || extension.CompareNoCase(L"lumfe") == 0;
}

CString LumfileUrlFromPath(const CString& location)
{
    if (location.IsEmpty())
        return CString();
    const CString root = GetPathRoot(location);
    if (root.IsEmpty())
        return location;
    CString path = StripLongPathPrefix(location);
    CString rest = path.Mid(root.GetLength());
    if (std::wcsncmp(rest, kEscapedLumfileScheme, kEscapedLumfileSchemeLength) != 0)
        return path;
    rest = rest.Mid(kEscapedLumfileSchemeLength);
    rest.Replace(L"%3a", L":");
    rest.Replace(L"%3A", L":");
    return CString(kLumfileScheme) + root + rest;
}

bool IsPathReadOnly(LPCWSTR path)
{
    // INVALID_FILE_ATTRIBUTES has every bit set: unreadable attributes count as read-only.
    const DWORD attributes = GetFileAttributesW(MakeLongPath(CString(path), false, false));
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool ClassifyFileError(LPCWSTR path, HRESULT hr, ULONG* status, ULONG retryBase)
{
    ULONG result = kFileStatusSuccess;
    bool known = false;
    if (FAILED(hr))
    {
        result = kFileStatusGone;
        if (const KnownFailure* failure = FindKnownFailure(hr))
        {
            known = true;
            switch (failure->kind)
            {
            case FailureKind::Gone:
                break;
            case FailureKind::Passing:
                result = PassingStatus(0xFFFF);
                break;
            case FailureKind::Retry:
                result = PassingStatus(retryBase);
                break;
            case FailureKind::Retry4:
                result = PassingStatus(retryBase * 4);
                break;
            case FailureKind::PassingOnShare:
                if (IsUncSharePath(path))
                    result = PassingStatus(0xFFFF);
                break;
            case FailureKind::AccessDenied:
                // Only a read-only local file stays denied for good.
                if (IsUncSharePath(path) || !IsPathReadOnly(path))
                    result = PassingStatus(0xFFFF);
                break;
            }
        }
    }
    if (status)
        *status = result;
    return known;
}
