#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "common/ConsoleUser.h"
#include "common/HResult.h"
#include "common/Scoped.h"
#include "tests/support/TempFolder.h"

namespace
{
const HANDLE kJunk = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));

// The id of the thread's token object (plus one, never 0), 0 when it has none. An id names the
// object, not its user, so a restored token is told apart from a fresh impersonation of the same
// user.
ULONGLONG ThreadTokenId()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return 0;
    TOKEN_STATISTICS statistics = {};
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenStatistics, &statistics, sizeof(statistics), &size));
    CloseHandle(token);
    return (static_cast<ULONGLONG>(statistics.TokenId.HighPart) << 32 | statistics.TokenId.LowPart) + 1;
}

// The process's own primary token stands in for a logged-on user's: every function must treat it
// like any other user token.
HANDLE OpenUserToken()
{
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &token));
    return token;
}

// Holds a file open as another writer or reader would, sharing reads only; null for access 0.
HANDLE Hold(const std::wstring& path, DWORD access)
{
    return access ? CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr) : nullptr;
}

// Run with the caller's thread in each state it can be in: its own identity, or impersonating
// already.
class ConsoleUserAccess : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WriteTestFile(m_file, 4));
        ASSERT_TRUE(!GetParam() || ImpersonateSelf(SecurityImpersonation));
        m_before = ThreadTokenId();
        ASSERT_EQ(GetParam(), m_before != 0);
    }

    void TearDown() override
    {
        // Every function leaves the thread's token as it found it.
        EXPECT_EQ(m_before, ThreadTokenId());
        RevertToSelf();
        CloseHandle(m_user);
    }

    CTempFolder m_folder{L"lumuser"};
    const std::wstring m_file = m_folder / L"clip.mp4";
    const HANDLE m_user = OpenUserToken();
    ULONGLONG m_before = 0;
};

INSTANTIATE_TEST_SUITE_P(ThreadStates, ConsoleUserAccess, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Impersonating" : "Self"; });

TEST_P(ConsoleUserAccess, TryOpenFileAnswersWhatTheOpenGives)
{
    // 300 characters and more, reachable only through the "\\?\" form.
    const std::wstring longFile = LongForm(m_folder / std::wstring(200, L'd')) + L"\\" + std::wstring(100, L'f');
    ASSERT_TRUE(MakeFolder(m_folder / std::wstring(200, L'd')));
    ASSERT_TRUE(WriteTestFile(longFile, 4));
    const struct
    {
        const char* name;
        std::wstring path;
        bool write;
        DWORD holderAccess;  // 0: nobody else holds the file
        HRESULT expected;
    } cases[] = {
        {"readable", m_file, false, 0, S_OK},
        {"writable", m_file, true, 0, S_OK},
        {"long path", longFile, true, 0, S_OK},
        {"missing file", m_folder / L"gone.mp4", false, 0, kHrFileNotFound},
        {"missing folder", m_folder / L"gone\\clip.mp4", false, 0, kHrPathNotFound},
        {"empty path", L"", true, 0, E_INVALIDARG},
        {"held for writing", m_file, false, GENERIC_WRITE, kHrSharingViolation},
        {"held for reading", m_file, false, GENERIC_READ, S_OK},
        {"held for reading, write wanted", m_file, true, GENERIC_READ, kHrSharingViolation},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CScopedHandle holder(Hold(c.path, c.holderAccess));
        ASSERT_EQ(c.holderAccess != 0, holder.IsValid());
        for (HANDLE token : {static_cast<HANDLE>(nullptr), m_user})
        {
            EXPECT_EQ(c.expected, TryOpenFile(token, c.path.c_str(), c.write));
            EXPECT_EQ(m_before, ThreadTokenId());
        }
    }
    EXPECT_EQ(E_INVALIDARG, TryOpenFile(nullptr, nullptr, false));
    EXPECT_EQ(E_INVALIDARG, TryOpenFile(m_user, nullptr, false));
}

// When the service itself can open the file no user token is needed (S_FALSE); when nobody can,
// the service's own failure comes back.
TEST_P(ConsoleUserAccess, FindUserTokenForFileAnswersWhoCanOpenIt)
{
    const struct
    {
        const char* name;
        std::wstring path;
        bool write;
        DWORD holderAccess;
        HRESULT expected;
    } cases[] = {
        {"readable", m_file, false, 0, S_FALSE},
        {"writable", m_file, true, 0, S_FALSE},
        {"missing file", m_folder / L"gone.mp4", false, 0, kHrFileNotFound},
        {"missing folder", m_folder / L"gone\\clip.mp4", false, 0, kHrPathNotFound},
        {"still being written", m_file, false, GENERIC_WRITE, kHrSharingViolation},
        {"empty path", L"", false, 0, E_INVALIDARG},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CScopedHandle holder(Hold(c.path, c.holderAccess));
        // Whatever the owner held before goes: no answer here leaves a token.
        CScopedHandle token(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        EXPECT_EQ(c.expected, FindUserTokenForFile(c.path.c_str(), &token, c.write));
        EXPECT_EQ(nullptr, token.Get());
        EXPECT_EQ(m_before, ThreadTokenId());
    }
    CScopedHandle token;
    EXPECT_EQ(E_INVALIDARG, FindUserTokenForFile(nullptr, &token, false));
    EXPECT_EQ(nullptr, token.Get());
    EXPECT_EQ(E_POINTER, FindUserTokenForFile(m_file.c_str(), nullptr, false));
    EXPECT_TRUE(FAILED(FindUserTokenForFile((m_folder / std::wstring(40000, L'x')).c_str(), &token, false)));
    EXPECT_EQ(nullptr, token.Get());
}

TEST_P(ConsoleUserAccess, ImpersonationRunsBetweenBeginAndEnd)
{
    HANDLE previous = kJunk;
    // Without a token, or nowhere to put the previous one, nothing changes.
    EXPECT_FALSE(BeginImpersonation(nullptr, &previous));
    EXPECT_EQ(nullptr, previous);
    EXPECT_FALSE(BeginImpersonation(m_user, nullptr));
    EXPECT_FALSE(EndImpersonation(true, nullptr, true));
    EXPECT_EQ(m_before, ThreadTokenId());

    ASSERT_TRUE(BeginImpersonation(m_user, &previous));
    EXPECT_EQ(GetParam(), previous != nullptr);
    const ULONGLONG during = ThreadTokenId();
    EXPECT_NE(0u, during);
    EXPECT_NE(m_before, during);

    // Without restore the impersonation goes on; the previous token is closed only when asked.
    const HANDLE kept = previous;
    EXPECT_TRUE(EndImpersonation(false, &previous, false));
    EXPECT_EQ(kept, previous);
    EXPECT_EQ(during, ThreadTokenId());
    // A previous token that cannot be put back (a handle that is no token at all) must not leave
    // the thread running as the user it impersonated.
    CScopedHandle notAToken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE broken = notAToken.Get();
    EXPECT_FALSE(EndImpersonation(true, &broken, false));
    EXPECT_EQ(0u, ThreadTokenId());

    EXPECT_TRUE(EndImpersonation(true, &previous, false));
    EXPECT_EQ(kept, previous);
    EXPECT_EQ(m_before, ThreadTokenId());
    EXPECT_TRUE(EndImpersonation(false, &previous, true));
    EXPECT_EQ(nullptr, previous);
    EXPECT_EQ(m_before, ThreadTokenId());
}

}  // namespace
