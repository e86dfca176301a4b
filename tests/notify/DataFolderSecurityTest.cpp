// The data folder's rights and the owner rule of the delay-queue file. Wine keeps no folder DACL
// on its file system (a DACL given at creation reads back as Wine's default) and reports every
// file's owner as the one local user, so the rules are checked where they are made: the descriptor
// the plug-in asks for, and the owner check applied to owners the test supplies.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <string>
#include <vector>
#include "common/Path.h"
#include "common/Scoped.h"
#include "notify/DataFolderSecurity.h"
#include "notify/DelayQueueFile.h"
#include "tests/support/TempFolder.h"

namespace
{
// A SID from its text form, freed with LocalFree.
struct CSidText
{
    explicit CSidText(const wchar_t* text) { ConvertStringSidToSidW(text, &sid); }
    ~CSidText() { LocalFree(sid); }
    PSID sid = nullptr;
};

std::wstring ProcessUserSid()
{
    HANDLE raw = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw);
    const CScopedHandle token(raw);
    BYTE buffer[512];
    DWORD size = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size))
        return std::wstring();
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    const std::wstring result = text ? text : L"";
    LocalFree(text);
    return result;
}

void WriteText(const std::wstring& path, const std::wstring& text)
{
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::wstring marked = L"\xFEFF" + text;
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Get(), marked.data(), static_cast<DWORD>(marked.size() * sizeof(wchar_t)), &written,
                          nullptr));
}

bool RefuseEveryOwner(HANDLE)
{
    return false;
}
}  // namespace

TEST(DataFolderSecurity, FolderIsAskedForWithItsOwnProtectedRights)
{
    CDataFolderSecurity security;
    ASSERT_NE(nullptr, security.Attributes());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.Descriptor(), &control, &revision));
    EXPECT_NE(0, control & SE_DACL_PROTECTED) << "the parent's create-files right must not be inherited";
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.Descriptor(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);

    const struct
    {
        WELL_KNOWN_SID_TYPE who;
        ACCESS_MASK mask;
    } expected[] = {
        {WinLocalSystemSid, FILE_ALL_ACCESS},
        {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
        {WinBuiltinUsersSid, FILE_GENERIC_READ},
    };
    ASSERT_EQ(std::size(expected), dacl->AceCount);
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        SCOPED_TRACE(i);
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags);
        EXPECT_EQ(expected[i].mask, ace->Mask);
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(sid);
        ASSERT_TRUE(CreateWellKnownSid(expected[i].who, nullptr, sid, &size));
        EXPECT_TRUE(EqualSid(sid, &ace->SidStart));
    }
}

TEST(DataFolderSecurity, QueueFileIsBelievedOnlyFromSystemAdministratorsOrTheServiceAccount)
{
    const std::wstring self = ProcessUserSid();
    ASSERT_FALSE(self.empty());
    const struct
    {
        std::wstring owner;
        bool trusted;
    } cases[] = {
        {L"S-1-5-18", true},                     // SYSTEM
        {L"S-1-5-32-544", true},                 // Administrators
        {self, true},                            // the account the process runs as
        {L"S-1-5-32-545", false},                // Users
        {L"S-1-1-0", false},                     // Everyone
        {L"S-1-5-11", false},                    // Authenticated Users
        {L"S-1-5-21-1-2-3-1001", false},         // some other account
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.owner);
        const CSidText sid(c.owner.c_str());
        ASSERT_NE(nullptr, sid.sid);
        EXPECT_EQ(c.trusted, IsTrustedQueueFileOwner(sid.sid));
    }
    EXPECT_FALSE(IsTrustedQueueFileOwner(nullptr));
}

TEST(DataFolderSecurity, UntrustedQueueFileIsMovedAsideUnread)
{
    CTempFolder temp(L"lumdfs");
    const std::wstring folder = temp.Path() + L"\\";
    const std::wstring dat = folder + L"DbWexDelayQueue.dat";
    const std::wstring media = temp / L"clip.mp4";
    WriteText(media, L"x");
    const std::wstring line = L"v1\t300\t" + media + L"\r\n";
    WriteText(dat + L".untrusted", L"older");
    WriteText(dat, line);

    ULONG loaded = 0;
    auto count = [&](const CString&, LONG, const CString&) {
        ++loaded;
        return S_OK;
    };
    EXPECT_EQ(S_FALSE, LoadDelayQueueFile(folder.c_str(), count, &RefuseEveryOwner));
    EXPECT_EQ(0u, loaded);
    EXPECT_FALSE(FileExists(dat.c_str()));
    CScopedHandle moved(CreateFileW((dat + L".untrusted").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(moved.IsValid());
    EXPECT_EQ((line.size() + 1) * sizeof(wchar_t), GetFileSize(moved.Get(), nullptr)) << "the older one was replaced";
    moved.Close();

    // The real check believes a file this process wrote (under Wine every owner reads as this user).
    WriteText(dat, line);
    EXPECT_EQ(S_OK, LoadDelayQueueFile(folder.c_str(), count));
    EXPECT_EQ(1u, loaded);
}
