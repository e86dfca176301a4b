#include <gtest/gtest.h>
#include <windows.h>
#include <wtsapi32.h>
#include <ostream>
#include <string>
#include <vector>
#include "common/ConsoleUser.h"

namespace
{
constexpr HRESULT kHrFileNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kHrPathNotFound = static_cast<HRESULT>(0x80070003);
constexpr HRESULT kHrAccessDenied = static_cast<HRESULT>(0x80070005);
constexpr HRESULT kHrSharingViolation = static_cast<HRESULT>(0x80070020);

// What a thread's token is: none, or the token object with this id (a token's id names the object,
// not its user, so a restored token is told apart from a fresh impersonation of the same user).
struct ThreadToken
{
    bool present = false;
    LUID id = {};
    bool operator==(const ThreadToken& other) const
    {
        return present == other.present &&
               (!present || (id.LowPart == other.id.LowPart && id.HighPart == other.id.HighPart));
    }
    bool operator!=(const ThreadToken& other) const { return !(*this == other); }
};

void PrintTo(const ThreadToken& token, std::ostream* out)
{
    if (!token.present)
        *out << "no token";
    else
        *out << "token " << token.id.HighPart << ":" << token.id.LowPart;
}

ThreadToken CurrentThreadToken()
{
    ThreadToken result;
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
    {
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), GetLastError());
        return result;
    }
    TOKEN_STATISTICS statistics = {};
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenStatistics, &statistics, sizeof(statistics), &size));
    CloseHandle(token);
    result.present = true;
    result.id = statistics.TokenId;
    return result;
}

// The process's own primary token stands in for a logged-on user's: every function must treat it
// like any other user token.
HANDLE OpenUserToken()
{
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &token));
    return token;
}

std::wstring Repeat(wchar_t ch, size_t count)
{
    return std::wstring(count, ch);
}

// The states a caller's thread can be in: its own identity, or impersonating already.
enum class ThreadState
{
    Self,
    Impersonating,
};

class ConsoleUserAccess : public ::testing::TestWithParam<ThreadState>
{
protected:
    void SetUp() override
    {
        wchar_t base[MAX_PATH + 1] = {};
        ASSERT_NE(0u, GetTempPathW(MAX_PATH + 1, base));
        static LONG counter = 0;
        m_folder = std::wstring(base) + L"lumuser-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(InterlockedIncrement(&counter));
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
        m_file = m_folder + L"\\clip.mp4";
        WriteFile(m_file);
        if (GetParam() == ThreadState::Impersonating)
        {
            ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
        }
        m_before = CurrentThreadToken();
        ASSERT_EQ(GetParam() == ThreadState::Impersonating, m_before.present);
    }

    void TearDown() override
    {
        // Every function leaves the thread's token as it found it.
        EXPECT_EQ(m_before, CurrentThreadToken());
        RevertToSelf();
        for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
        {
            SetFileAttributesW(it->c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(it->c_str());
        }
        RemoveDirectoryW(m_folder.c_str());
    }

    void WriteFile(const std::wstring& path)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        ::WriteFile(file, "data", 4, &written, nullptr);
        CloseHandle(file);
        m_created.push_back(path);
    }

    std::wstring m_folder;
    std::wstring m_file;
    std::vector<std::wstring> m_created;
    ThreadToken m_before;
};

INSTANTIATE_TEST_SUITE_P(ThreadStates, ConsoleUserAccess,
                         ::testing::Values(ThreadState::Self, ThreadState::Impersonating),
                         [](const ::testing::TestParamInfo<ThreadState>& info) {
                             return info.param == ThreadState::Self ? "Self" : "Impersonating";
                         });

// Holds a file open as another writer (or reader) would, for the length of a test.
class CHeldFile
{
public:
    CHeldFile(const std::wstring& path, DWORD access, DWORD share)
        : m_handle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~CHeldFile()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};

TEST_P(ConsoleUserAccess, TryOpenFileAnswersWhatTheOpenGives)
{
    struct Case
    {
        const char* name;
        std::wstring path;
        bool write;
        DWORD holderAccess;  // 0: nobody else holds the file
        DWORD holderShare;
        HRESULT expected;
    };
    const Case cases[] = {
        {"readable", m_file, false, 0, 0, S_OK},
        {"writable", m_file, true, 0, 0, S_OK},
        {"missing file", m_folder + L"\\gone.mp4", false, 0, 0, kHrFileNotFound},
        {"missing folder", m_folder + L"\\gone\\clip.mp4", false, 0, 0, kHrPathNotFound},
        {"held for writing, sharing all", m_file, false, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
         kHrSharingViolation},
        {"held for writing, sharing reads", m_file, false, GENERIC_WRITE, FILE_SHARE_READ, kHrSharingViolation},
        {"held for reading, shared", m_file, false, GENERIC_READ, FILE_SHARE_READ, S_OK},
        {"held for reading, write wanted", m_file, true, GENERIC_READ, FILE_SHARE_READ, kHrSharingViolation},
        {"held without sharing", m_file, false, GENERIC_READ, 0, kHrSharingViolation},
    };
    HANDLE user = OpenUserToken();
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CHeldFile holder(c.path, c.holderAccess, c.holderShare);
        if (c.holderAccess)
        {
            ASSERT_TRUE(holder.IsOpen());
        }
        EXPECT_EQ(c.expected, TryOpenFile(nullptr, c.path.c_str(), c.write));
        EXPECT_EQ(m_before, CurrentThreadToken());
        EXPECT_EQ(c.expected, TryOpenFile(user, c.path.c_str(), c.write));
        EXPECT_EQ(m_before, CurrentThreadToken());
    }
    CloseHandle(user);
}

TEST_P(ConsoleUserAccess, TryOpenFileRejectsMissingPaths)
{
    HANDLE user = OpenUserToken();
    EXPECT_EQ(E_INVALIDARG, TryOpenFile(nullptr, nullptr, false));
    EXPECT_EQ(E_INVALIDARG, TryOpenFile(nullptr, L"", true));
    EXPECT_EQ(E_INVALIDARG, TryOpenFile(user, nullptr, false));
    EXPECT_EQ(E_INVALIDARG, TryOpenFile(user, L"", false));
    CloseHandle(user);
}

TEST_P(ConsoleUserAccess, TryOpenFileOpensLongPathsAndFailsOnHugeOnes)
{
    // 300 characters and more, reachable only through the "\\?\" form.
    const std::wstring longFolder = L"\\\\?\\" + m_folder + L"\\" + Repeat(L'd', 200);
    ASSERT_TRUE(CreateDirectoryW(longFolder.c_str(), nullptr));
    const std::wstring longFile = longFolder + L"\\" + Repeat(L'f', 100) + L".mp4";
    WriteFile(longFile);
    EXPECT_EQ(S_OK, TryOpenFile(nullptr, longFile.c_str(), false));

    const std::wstring huge = m_folder + L"\\" + Repeat(L'x', 40000);
    const HRESULT hr = TryOpenFile(nullptr, huge.c_str(), false);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(0x80070000u, static_cast<ULONG>(hr) & 0xFFFF0000u);

    DeleteFileW(longFile.c_str());
    m_created.pop_back();
    EXPECT_TRUE(RemoveDirectoryW(longFolder.c_str()));
}

TEST_P(ConsoleUserAccess, TryOpenFileDeniesWritingAReadOnlyFile)
{
    ASSERT_TRUE(SetFileAttributesW(m_file.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE probe = CreateFileW(m_file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE)
    {
        // An administrator's account on a Unix file system writes read-only files regardless.
        CloseHandle(probe);
        GTEST_SKIP() << "this account may write read-only files";
    }
    EXPECT_EQ(S_OK, TryOpenFile(nullptr, m_file.c_str(), false));
    EXPECT_EQ(kHrAccessDenied, TryOpenFile(nullptr, m_file.c_str(), true));
}

TEST_P(ConsoleUserAccess, FindUserTokenForFileAnswersFalseWhenTheServiceCanOpen)
{
    HANDLE token = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(S_FALSE, FindUserTokenForFile(m_file.c_str(), &token, false));
    EXPECT_EQ(nullptr, token);
    token = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(S_FALSE, FindUserTokenForFile(m_file.c_str(), &token, true));
    EXPECT_EQ(nullptr, token);
}

TEST_P(ConsoleUserAccess, FindUserTokenForFileReportsTheFailureWhenNoUserCanOpen)
{
    struct Case
    {
        const char* name;
        std::wstring path;
        DWORD holderAccess;
        HRESULT expected;
    };
    const Case cases[] = {
        {"missing file", m_folder + L"\\gone.mp4", 0, kHrFileNotFound},
        {"missing folder", m_folder + L"\\gone\\clip.mp4", 0, kHrPathNotFound},
        {"still being written", m_file, GENERIC_WRITE, kHrSharingViolation},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CHeldFile holder(c.path, c.holderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (c.holderAccess)
        {
            ASSERT_TRUE(holder.IsOpen());
        }
        HANDLE token = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
        EXPECT_EQ(c.expected, FindUserTokenForFile(c.path.c_str(), &token, false));
        EXPECT_EQ(nullptr, token);
        EXPECT_EQ(m_before, CurrentThreadToken());
    }
}

TEST_P(ConsoleUserAccess, FindUserTokenForFileChecksItsArguments)
{
    EXPECT_EQ(E_POINTER, FindUserTokenForFile(m_file.c_str(), nullptr, false));
    for (LPCWSTR path : {static_cast<LPCWSTR>(nullptr), L""})
    {
        HANDLE token = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
        EXPECT_EQ(E_INVALIDARG, FindUserTokenForFile(path, &token, false));
        EXPECT_EQ(nullptr, token);
    }
    const std::wstring huge = m_folder + L"\\" + Repeat(L'x', 40000);
    HANDLE token = nullptr;
    EXPECT_TRUE(FAILED(FindUserTokenForFile(huge.c_str(), &token, false)));
    EXPECT_EQ(nullptr, token);
}

TEST_P(ConsoleUserAccess, ImpersonationRunsBetweenBeginAndEnd)
{
    HANDLE user = OpenUserToken();
    HANDLE previous = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
    ASSERT_TRUE(BeginImpersonation(user, &previous));
    EXPECT_EQ(GetParam() == ThreadState::Impersonating, previous != nullptr);
    const ThreadToken during = CurrentThreadToken();
    EXPECT_TRUE(during.present);
    EXPECT_NE(m_before, during);

    // Without restore the impersonation goes on, and the previous token stays with the caller.
    const HANDLE kept = previous;
    EXPECT_TRUE(EndImpersonation(false, &previous, false));
    EXPECT_EQ(kept, previous);
    EXPECT_EQ(during, CurrentThreadToken());

    EXPECT_TRUE(EndImpersonation(true, &previous, true));
    EXPECT_EQ(nullptr, previous);
    EXPECT_EQ(m_before, CurrentThreadToken());
    CloseHandle(user);
}

TEST_P(ConsoleUserAccess, EndImpersonationCanKeepThePreviousToken)
{
    HANDLE user = OpenUserToken();
    HANDLE previous = nullptr;
    ASSERT_TRUE(BeginImpersonation(user, &previous));
    const HANDLE kept = previous;
    EXPECT_TRUE(EndImpersonation(true, &previous, false));
    EXPECT_EQ(kept, previous);
    EXPECT_EQ(m_before, CurrentThreadToken());
    if (previous)
    {
        EXPECT_TRUE(CloseHandle(previous));
    }
    CloseHandle(user);
}

// A previous token that cannot be put back (here a handle that is no token at all) must not leave
// the thread running as the user it impersonated.
TEST_P(ConsoleUserAccess, AFailedRestoreRevertsToTheProcess)
{
    HANDLE user = OpenUserToken();
    HANDLE previous = nullptr;
    ASSERT_TRUE(BeginImpersonation(user, &previous));
    HANDLE notAToken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE broken = notAToken;
    EXPECT_FALSE(EndImpersonation(true, &broken, false));
    EXPECT_FALSE(CurrentThreadToken().present);
    CloseHandle(notAToken);

    EXPECT_TRUE(EndImpersonation(true, &previous, true));
    CloseHandle(user);
}

TEST_P(ConsoleUserAccess, ImpersonationWithoutATokenChangesNothing)
{
    HANDLE previous = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_FALSE(BeginImpersonation(nullptr, &previous));
    EXPECT_EQ(nullptr, previous);
    EXPECT_EQ(m_before, CurrentThreadToken());

    HANDLE user = OpenUserToken();
    EXPECT_FALSE(BeginImpersonation(user, nullptr));
    EXPECT_EQ(m_before, CurrentThreadToken());
    EXPECT_FALSE(EndImpersonation(true, nullptr, true));
    EXPECT_EQ(m_before, CurrentThreadToken());
    CloseHandle(user);
}

// The console session's user, when the platform hands one out, is a token like any other: it can
// be impersonated and put back.
TEST_P(ConsoleUserAccess, ConsoleUserTokenImpersonatesAndRestores)
{
    const DWORD session = WTSGetActiveConsoleSessionId();
    HANDLE console = nullptr;
    if (session == 0xFFFFFFFF || !WTSQueryUserToken(session, &console) || !console)
        GTEST_SKIP() << "no console user token here";
    EXPECT_EQ(S_OK, TryOpenFile(console, m_file.c_str(), false));
    EXPECT_EQ(m_before, CurrentThreadToken());
    HANDLE previous = nullptr;
    EXPECT_TRUE(BeginImpersonation(console, &previous));
    EXPECT_TRUE(EndImpersonation(true, &previous, true));
    CloseHandle(console);
}

}  // namespace
