#include "notify/DataFolderSecurity.h"

#include <aclapi.h>
#include <sddl.h>
#include <memory>
#include <new>

namespace
{
// D:P protected DACL; OICI: inherited by sub-folders and files; FA full access, FR read.
const wchar_t kDataFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)";

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buffer);
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

bool IsProcessUser(PSID sid)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    const CScopedHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0)
        return false;
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
    if (!buffer || !GetTokenInformation(token.Get(), TokenUser, buffer.get(), size, &size))
        return false;
    return EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid) != FALSE;
}
}  // namespace

CDataFolderSecurity::CDataFolderSecurity() noexcept
{
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataFolderSddl, SDDL_REVISION_1, &m_descriptor,
                                                              nullptr))
        m_descriptor = nullptr;
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = m_descriptor;
    m_attributes.bInheritHandle = FALSE;
}

CDataFolderSecurity::~CDataFolderSecurity()
{
    if (m_descriptor)
        LocalFree(m_descriptor);
}

bool IsTrustedQueueFileOwner(PSID owner)
{
    if (!owner || !IsValidSid(owner))
        return false;
    return IsWellKnown(owner, WinLocalSystemSid) || IsWellKnown(owner, WinBuiltinAdministratorsSid) ||
           IsProcessUser(owner);
}

bool HasTrustedOwner(HANDLE file)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    const bool trusted = IsTrustedQueueFileOwner(owner);
    LocalFree(descriptor);
    return trusted;
}
