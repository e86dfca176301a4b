#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <thread>
#include "common/Scoped.h"
#include "common/String.h"
#include "notify/NamedObjectSecurity.h"
#include "notify/ObserveApp.h"

namespace
{
constexpr DWORD kWaitMs = 5000;

// A base name no other test (or test run) shares.
CString UniqueBase(const wchar_t* tag)
{
    static LONG counter = 0;
    CString name;
    name.Format(L"LumObserveTest-%lu-%ld-%s", GetCurrentProcessId(), InterlockedIncrement(&counter), tag);
    return name;
}

CString NameOf(const CString& base, const wchar_t* pattern)
{
    CString name;
    name.Format(pattern, base.GetString());
    return name;
}

const wchar_t* const kEventPatterns[] = {
    L"Global\\%s-Exist-All", L"%s-Activate-User",   L"Global\\%s-Modify-All",
    L"%s-Modify-User",       L"%s-Shutdown-User",   L"Global\\%s-Shutdown-All",
};
const wchar_t* const kMutexPatterns[] = {L"%s-MutexUser", L"Global\\%s-MutexAll"};

bool IsSignalled(const CString& eventName)
{
    CScopedHandle event(OpenEventW(SYNCHRONIZE, FALSE, eventName));
    return event.IsValid() && WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0;
}

// Mutex ownership is per thread: ask from a thread of its own, which gives back what it took.
bool CanTakeFromAnotherThread(const CString& mutexName)
{
    bool taken = false;
    std::thread probe([&] {
        CScopedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, mutexName));
        if (mutex.IsValid() && WaitForSingleObject(mutex.Get(), 0) == WAIT_OBJECT_0)
        {
            taken = true;
            ReleaseMutex(mutex.Get());
        }
    });
    probe.join();
    return taken;
}

PSID WorldSid()
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID sid = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid);
    return sid;
}

// Checks the two entries every named object carries. The system may store GENERIC_ALL as it is
// or mapped to the object type's full access, so both are accepted.
void ExpectEveryoneDacl(const ACL* dacl, ACCESS_MASK fullAccess)
{
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(2, dacl->AceCount);
    PSID world = WorldSid();
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(const_cast<ACL*>(dacl), 0, &ace));
    auto* denied = static_cast<ACCESS_DENIED_ACE*>(ace);
    EXPECT_EQ(ACCESS_DENIED_ACE_TYPE, denied->Header.AceType);
    EXPECT_EQ(static_cast<ACCESS_MASK>(WRITE_DAC | WRITE_OWNER), denied->Mask);
    EXPECT_TRUE(EqualSid(world, &denied->SidStart));
    ASSERT_TRUE(GetAce(const_cast<ACL*>(dacl), 1, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);
    EXPECT_TRUE(allowed->Mask == GENERIC_ALL || allowed->Mask == fullAccess) << std::hex << allowed->Mask;
    EXPECT_TRUE(EqualSid(world, &allowed->SidStart));
    FreeSid(world);
}

void ExpectObjectDacl(HANDLE object, ACCESS_MASK fullAccess)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd));
    ExpectEveryoneDacl(dacl, fullAccess);
    LocalFree(sd);
}
}  // namespace

TEST(NamedObjectSecurity, BuildsTheEveryoneDacl)
{
    struct Case
    {
        bool allowOwnerChange;
        int aceCount;
    };
    for (const Case& c : {Case{false, 2}, Case{true, 1}})
    {
        SCOPED_TRACE(c.allowOwnerChange);
        SECURITY_DESCRIPTOR sd;
        PACL acl = BuildEveryoneSecurity(&sd, c.allowOwnerChange);
        ASSERT_NE(nullptr, acl);
        BOOL present = FALSE;
        BOOL defaulted = TRUE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
        EXPECT_TRUE(present);
        EXPECT_FALSE(defaulted);
        EXPECT_EQ(acl, dacl);
        EXPECT_EQ(ACL_REVISION, acl->AclRevision);
        PSID world = WorldSid();
        EXPECT_EQ(2 * GetLengthSid(world) + 32, acl->AclSize);
        FreeSid(world);
        EXPECT_EQ(c.aceCount, acl->AceCount);
        if (c.aceCount == 2)
            ExpectEveryoneDacl(acl, GENERIC_ALL);
        LocalFree(acl);
    }
}

TEST(ObserveApp, NamesItsObjectsAfterTheBaseName)
{
    const CString base = UniqueBase(L"names");
    CObserveApp observer(base);

    for (const wchar_t* pattern : kEventPatterns)
    {
        SCOPED_TRACE(NameOf(base, pattern).GetString());
        CScopedHandle event(OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, NameOf(base, pattern)));
        ASSERT_TRUE(event.IsValid()) << GetLastError();
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.Get(), 0));
        ExpectObjectDacl(event.Get(), EVENT_ALL_ACCESS);
    }
    // The mutexes appear only when the observer is first switched on.
    for (const wchar_t* pattern : kMutexPatterns)
        EXPECT_EQ(nullptr, CScopedHandle(OpenMutexW(SYNCHRONIZE, FALSE, NameOf(base, pattern))).Get());

    ASSERT_TRUE(observer.SetActive(true));
    for (const wchar_t* pattern : kMutexPatterns)
    {
        SCOPED_TRACE(NameOf(base, pattern).GetString());
        CScopedHandle mutex(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, NameOf(base, pattern)));
        ASSERT_TRUE(mutex.IsValid()) << GetLastError();
        ExpectObjectDacl(mutex.Get(), MUTEX_ALL_ACCESS);
    }
    observer.SetActive(false);
}

TEST(ObserveApp, CallersWithoutPrivilegesCanOpenSignalAndWait)
{
    const CString base = UniqueBase(L"rights");
    CObserveApp observer(base);
    ASSERT_TRUE(observer.SetActive(true));
    const CString shutdownName = NameOf(base, L"Global\\%s-Shutdown-All");

    // Another caller without privileges: this thread impersonating a copy of its own token with
    // every privilege removed. (That such a caller cannot take ownership follows from the deny entry
    // checked above; Wine grants WRITE_OWNER regardless, so it is not asserted here.)
    HANDLE processToken = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &processToken));
    CScopedHandle processTokenOwner(processToken);
    HANDLE restricted = nullptr;
    ASSERT_TRUE(CreateRestrictedToken(processToken, DISABLE_MAX_PRIVILEGE, 0, nullptr, 0, nullptr, 0, nullptr, &restricted));
    CScopedHandle restrictedOwner(restricted);
    ASSERT_TRUE(ImpersonateLoggedOnUser(restricted));

    CScopedHandle usable(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, shutdownName));
    const bool opened = usable.IsValid();
    const bool signalled = opened && SetEvent(usable.Get()) && WaitForSingleObject(usable.Get(), 0) == WAIT_OBJECT_0;
    RevertToSelf();

    EXPECT_TRUE(opened);
    EXPECT_TRUE(signalled);
    EXPECT_TRUE(observer.WaitWatchEnded(kWaitMs));  // the observer heard it
    observer.SetActive(false);
}

TEST(ObserveApp, ActiveHoldsTheMutexesAndSignalsExistAll)
{
    const CString base = UniqueBase(L"active");
    const CString existAll = NameOf(base, L"Global\\%s-Exist-All");
    CObserveApp observer(base);
    EXPECT_FALSE(IsSignalled(existAll));

    // Twice: switching on again after switching off starts over.
    for (int round = 0; round < 2; ++round)
    {
        SCOPED_TRACE(round);
        ASSERT_TRUE(observer.SetActive(true));
        // Keep the mutexes alive past the observer's close, to see that it released them.
        CScopedHandle keepUser(OpenMutexW(SYNCHRONIZE, FALSE, NameOf(base, L"%s-MutexUser")));
        CScopedHandle keepAll(OpenMutexW(SYNCHRONIZE, FALSE, NameOf(base, L"Global\\%s-MutexAll")));
        ASSERT_TRUE(keepUser.IsValid() && keepAll.IsValid());
        EXPECT_TRUE(IsSignalled(existAll));
        EXPECT_FALSE(observer.WaitWatchEnded(0));
        for (const wchar_t* pattern : kMutexPatterns)
            EXPECT_FALSE(CanTakeFromAnotherThread(NameOf(base, pattern))) << pattern;

        EXPECT_TRUE(observer.SetActive(false));
        EXPECT_FALSE(IsSignalled(existAll));
        EXPECT_TRUE(observer.WaitWatchEnded(kWaitMs));
        for (const wchar_t* pattern : kMutexPatterns)
            EXPECT_TRUE(CanTakeFromAnotherThread(NameOf(base, pattern))) << pattern;
    }
}

TEST(ObserveApp, ShutdownEventsEndTheObserverThreadOnly)
{
    struct Case
    {
        const wchar_t* pattern;
        bool endsThread;
    };
    const Case cases[] = {
        {L"Global\\%s-Shutdown-All", true},
        {L"%s-Shutdown-User", true},
        {L"Global\\%s-Modify-All", false},
        {L"%s-Activate-User", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pattern);
        const CString base = UniqueBase(L"shutdown");
        CObserveApp observer(base);
        ASSERT_TRUE(observer.SetActive(true));
        ASSERT_FALSE(observer.WaitWatchEnded(0));

        CScopedHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, NameOf(base, c.pattern)));
        ASSERT_TRUE(event.IsValid());
        ASSERT_TRUE(SetEvent(event.Get()));
        if (c.endsThread)
            EXPECT_TRUE(observer.WaitWatchEnded(kWaitMs));
        else
            EXPECT_FALSE(observer.WaitWatchEnded(200));

        // The observer stays active: Exist-All and the mutexes are untouched.
        EXPECT_TRUE(IsSignalled(NameOf(base, L"Global\\%s-Exist-All")));
        EXPECT_FALSE(CanTakeFromAnotherThread(NameOf(base, L"%s-MutexUser")));
        observer.SetActive(false);
        EXPECT_FALSE(IsSignalled(NameOf(base, L"Global\\%s-Exist-All")));
    }
}

TEST(ObserveApp, SecondInstanceOpensTheObjectsAndStaysWithoutTheMutexes)
{
    const CString base = UniqueBase(L"second");
    const CString existAll = NameOf(base, L"Global\\%s-Exist-All");
    CScopedHandle firstActive(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CScopedHandle firstMayStop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bool firstResult = false;

    // The first instance runs on a thread of its own, as another process's worker would.
    std::thread first([&] {
        CObserveApp observer(base);
        firstResult = observer.SetActive(true);
        SetEvent(firstActive.Get());
        WaitForSingleObject(firstMayStop.Get(), kWaitMs);
        observer.SetActive(false);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(firstActive.Get(), kWaitMs));
    EXPECT_TRUE(firstResult);
    EXPECT_TRUE(IsSignalled(existAll));
    CObserveApp second(base);  // finds every object in place

    // Clear Exist-All so that the second instance's own signal shows.
    {
        CScopedHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, existAll));
        ASSERT_TRUE(ResetEvent(event.Get()));
    }
    EXPECT_TRUE(second.SetActive(true));
    EXPECT_TRUE(IsSignalled(existAll));

    // The first instance's reset acts on the same event; its release frees the mutexes, which the
    // second instance did not wait for and so does not own.
    SetEvent(firstMayStop.Get());
    first.join();
    EXPECT_FALSE(IsSignalled(existAll));
    for (const wchar_t* pattern : kMutexPatterns)
        EXPECT_TRUE(CanTakeFromAnotherThread(NameOf(base, pattern))) << pattern;
    second.SetActive(false);
}

TEST(ObserveApp, DestructionOnTheOwnerThreadLetsEverythingGo)
{
    const CString base = UniqueBase(L"destroy");
    {
        CObserveApp observer(base);
        ASSERT_TRUE(observer.SetActive(true));
        ASSERT_TRUE(IsSignalled(NameOf(base, L"Global\\%s-Exist-All")));
    }
    EXPECT_FALSE(IsSignalled(NameOf(base, L"Global\\%s-Exist-All")));
    // Nothing else holds them: the names are gone with the last handle.
    for (const wchar_t* pattern : kEventPatterns)
        EXPECT_EQ(nullptr, CScopedHandle(OpenEventW(SYNCHRONIZE, FALSE, NameOf(base, pattern))).Get()) << pattern;
    for (const wchar_t* pattern : kMutexPatterns)
        EXPECT_EQ(nullptr, CScopedHandle(OpenMutexW(SYNCHRONIZE, FALSE, NameOf(base, pattern))).Get()) << pattern;
}
