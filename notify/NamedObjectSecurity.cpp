#include "notify/NamedObjectSecurity.h"

namespace
{
// The security attributes of one create call: descriptor and DACL live until the call returns.
class CEveryoneAttributes
{
public:
    CEveryoneAttributes() noexcept
    {
        m_acl = BuildEveryoneSecurity(&m_sd, false);
        m_sa.nLength = sizeof(m_sa);
        m_sa.lpSecurityDescriptor = &m_sd;
        m_sa.bInheritHandle = FALSE;
    }
    ~CEveryoneAttributes()
    {
        if (m_acl)
        {
            // Keep the error of the create call for the caller's fallback path.
            const DWORD error = GetLastError();
            LocalFree(m_acl);
            SetLastError(error);
        }
    }
    CEveryoneAttributes(const CEveryoneAttributes&) = delete;
    CEveryoneAttributes& operator=(const CEveryoneAttributes&) = delete;

    SECURITY_ATTRIBUTES* Get() noexcept { return &m_sa; }

private:
    SECURITY_DESCRIPTOR m_sd{};
    SECURITY_ATTRIBUTES m_sa{};
    PACL m_acl = nullptr;
};
}  // namespace

PACL BuildEveryoneSecurity(SECURITY_DESCRIPTOR* sd, bool allowOwnerChange)
{
    if (!sd)
        return nullptr;
    // A descriptor without a DACL is what the caller gets whenever a step below fails.
    if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION))
        return nullptr;

    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return nullptr;

    // Room for the header and both entries: 8 + 2 * (8 + SID length) fits.
    const DWORD aclSize = 2 * GetLengthSid(everyone) + 32;
    PACL acl = static_cast<PACL>(LocalAlloc(LMEM_ZEROINIT, aclSize));
    bool ok = acl && InitializeAcl(acl, aclSize, ACL_REVISION);
    if (ok && !allowOwnerChange)
        ok = AddAccessDeniedAce(acl, ACL_REVISION, WRITE_DAC | WRITE_OWNER, everyone) != FALSE;
    if (ok)
        ok = AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, everyone) != FALSE;
    if (ok)
        ok = SetSecurityDescriptorDacl(sd, TRUE, acl, FALSE) != FALSE;
    if (!ok && acl)
    {
        InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION);
        LocalFree(acl);
        acl = nullptr;
    }
    FreeSid(everyone);
    return acl;
}

CScopedHandle CreateOrOpenEvent(bool manualReset, bool initialState, LPCWSTR name)
{
    CScopedHandle event;
    {
        CEveryoneAttributes attributes;
        event.Reset(CreateEventW(attributes.Get(), manualReset, initialState, name));
    }
    if (!event.IsValid())
        event.Reset(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name));
    return event;
}

CScopedHandle CreateOrOpenMutex(bool initialOwner, LPCWSTR name)
{
    CScopedHandle mutex;
    {
        CEveryoneAttributes attributes;
        mutex.Reset(CreateMutexW(attributes.Get(), initialOwner, name));
    }
    if (!mutex.IsValid())
        mutex.Reset(OpenMutexW(SYNCHRONIZE, FALSE, name));
    return mutex;
}
