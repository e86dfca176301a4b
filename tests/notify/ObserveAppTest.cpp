#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <utility>
#include <vector>
#include "common/Scoped.h"
#include "common/String.h"
#include "notify/NamedObjectSecurity.h"
#include "notify/ObserveApp.h"
#include "tests/support/TestSync.h"

namespace
{
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
    RunOnMtaThread([&] {
        CScopedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, mutexName));
        taken = mutex.IsValid() && WaitForSingleObject(mutex.Get(), 0) == WAIT_OBJECT_0;
        if (taken)
            ReleaseMutex(mutex.Get());
    });
    return taken;
}

// Checks the two entries every named object carries: everyone is denied WRITE_DAC and WRITE_OWNER
// and allowed the rest. The system may store GENERIC_ALL as it is or mapped to the object type's
// full access, so both are accepted.
void ExpectEveryoneDacl(HANDLE object, ACCESS_MASK fullAccess)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd));
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(2, dacl->AceCount);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    for (DWORD i = 0; i < 2; ++i)
    {
        ACCESS_ALLOWED_ACE* ace = nullptr;  // a denying entry has the same layout
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(i == 0 ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        EXPECT_TRUE(i == 0 ? ace->Mask == static_cast<ACCESS_MASK>(WRITE_DAC | WRITE_OWNER)
                           : ace->Mask == GENERIC_ALL || ace->Mask == fullAccess)
            << std::hex << ace->Mask;
        EXPECT_TRUE(EqualSid(everyone, &ace->SidStart));
    }
    FreeSid(everyone);
    LocalFree(sd);
}
}  // namespace

// The deny entry is what keeps callers from taking the objects over; without it only the allow
// entry is left. (The objects' own DACL, with both entries, is checked below.)
TEST(NamedObjectSecurity, OwnerChangeAllowedLeavesOnlyTheAllowEntry)
{
    SECURITY_DESCRIPTOR sd;
    PACL acl = BuildEveryoneSecurity(&sd, true);
    ASSERT_NE(nullptr, acl);
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_EQ(acl, dacl);
    ASSERT_EQ(1, acl->AceCount);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 0, &ace));
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, static_cast<ACE_HEADER*>(ace)->AceType);
    LocalFree(acl);
}

TEST(ObserveApp, NamesItsObjectsAfterTheBaseNameAndLetsThemGoWithItself)
{
    const CString base = UniqueBase(L"names");
    CScopedHandle existAll;
    {
        CObserveApp observer(base);
        for (const wchar_t* pattern : kEventPatterns)
        {
            SCOPED_TRACE(NameOf(base, pattern).GetString());
            CScopedHandle event(OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, NameOf(base, pattern)));
            ASSERT_TRUE(event.IsValid()) << GetLastError();
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.Get(), 0));
            ExpectEveryoneDacl(event.Get(), EVENT_ALL_ACCESS);
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
            ExpectEveryoneDacl(mutex.Get(), MUTEX_ALL_ACCESS);
        }
        existAll.Reset(OpenEventW(SYNCHRONIZE, FALSE, NameOf(base, L"Global\\%s-Exist-All")));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(existAll.Get(), 0));
    }
    // Destroyed while active, on the thread that switched it on: Exist-All is reset, and with the
    // last handle elsewhere gone, the names are gone.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(existAll.Get(), 0));
    existAll.Close();
    for (const wchar_t* pattern : kEventPatterns)
        EXPECT_EQ(nullptr, CScopedHandle(OpenEventW(SYNCHRONIZE, FALSE, NameOf(base, pattern))).Get()) << pattern;
    for (const wchar_t* pattern : kMutexPatterns)
        EXPECT_EQ(nullptr, CScopedHandle(OpenMutexW(SYNCHRONIZE, FALSE, NameOf(base, pattern))).Get()) << pattern;
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
        EXPECT_TRUE(observer.WaitWatchEnded(kTestWaitMs));
        for (const wchar_t* pattern : kMutexPatterns)
            EXPECT_TRUE(CanTakeFromAnotherThread(NameOf(base, pattern))) << pattern;
    }
}

TEST(ObserveApp, ShutdownEventsEndTheObserverThreadOnly)
{
    const std::pair<const wchar_t*, bool> cases[] = {  // the event set, whether it ends the thread
        {L"Global\\%s-Shutdown-All", true},
        {L"%s-Shutdown-User", true},
        {L"Global\\%s-Modify-All", false},
        {L"%s-Activate-User", false},
    };
    for (const auto& [pattern, endsThread] : cases)
    {
        SCOPED_TRACE(pattern);
        const CString base = UniqueBase(L"shutdown");
        CObserveApp observer(base);
        ASSERT_TRUE(observer.SetActive(true));
        ASSERT_FALSE(observer.WaitWatchEnded(0));

        CScopedHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, NameOf(base, pattern)));
        ASSERT_TRUE(event.IsValid());
        ASSERT_TRUE(SetEvent(event.Get()));
        if (endsThread)
            EXPECT_TRUE(observer.WaitWatchEnded(kTestWaitMs));
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
    CTestEvent firstActive;
    CTestEvent firstMayStop;
    bool firstResult = false;

    // The first instance runs on a thread of its own, as another process's worker would.
    CTestThread first([&] {
        CObserveApp observer(base);
        firstResult = observer.SetActive(true);
        firstActive.Set();
        firstMayStop.Wait();
        observer.SetActive(false);
    });
    ASSERT_TRUE(firstActive.Wait());
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
    firstMayStop.Set();
    ASSERT_TRUE(first.Join());
    EXPECT_FALSE(IsSignalled(existAll));
    for (const wchar_t* pattern : kMutexPatterns)
        EXPECT_TRUE(CanTakeFromAnotherThread(NameOf(base, pattern))) << pattern;
    second.SetActive(false);
}

// A mutex whose last owner ended without releasing it is handed over as abandoned: the observer
// owns it all the same, and so releases it when switched off.
TEST(ObserveApp, AnAbandonedMutexIsOwnedAndReleasedAgain)
{
    const CString base = UniqueBase(L"abandoned");
    std::vector<CScopedHandle> kept;  // keep the mutexes alive after their first owner has gone
    RunOnMtaThread([&] {
        for (const wchar_t* pattern : kMutexPatterns)
            kept.emplace_back(CreateMutexW(nullptr, TRUE, NameOf(base, pattern)));
    });
    CObserveApp observer(base);
    ASSERT_TRUE(observer.SetActive(true));
    for (const wchar_t* pattern : kMutexPatterns)
        EXPECT_FALSE(CanTakeFromAnotherThread(NameOf(base, pattern))) << pattern;
    observer.SetActive(false);
    for (const wchar_t* pattern : kMutexPatterns)
        EXPECT_TRUE(CanTakeFromAnotherThread(NameOf(base, pattern))) << pattern;
}
