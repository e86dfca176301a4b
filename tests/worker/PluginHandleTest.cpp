#include "tests/worker/TestWorker.h"
#include "worker/PluginEvent.h"
#include "worker/PluginHandle.h"

namespace
{
// A name unique to this process, so parallel test runs do not share the kernel objects.
CString UniqueName(const wchar_t* what)
{
    CString name;
    name.Format(L"LumWorkerTest-%s-%lu", what, GetCurrentProcessId());
    return name;
}

bool NamedEventExists(const wchar_t* name)
{
    CScopedHandle opened(OpenEventW(SYNCHRONIZE, FALSE, name));
    return opened.IsValid();
}
}  // namespace

TEST(PluginHandle, WaitIsTrueOnlyForASignalledObject)
{
    const struct { const char* what; HANDLE handle; DWORD timeoutMs; bool expected; } cases[] = {
        {"no handle", nullptr, INFINITE, false},
        {"signalled event", CreateEventW(nullptr, TRUE, TRUE, nullptr), 0, true},
        {"unsignalled event", CreateEventW(nullptr, TRUE, FALSE, nullptr), 50, false},
        {"abandoned mutex", NewAbandonedMutex(), 0, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CPluginHandle handle;
        handle.Attach(c.handle);
        EXPECT_EQ(c.expected, handle.Wait(c.timeoutMs));
        ReleaseMutex(c.handle);  // a successful or abandoned wait took the mutex; events refuse
    }
    CPluginEvent empty;
    EXPECT_FALSE(empty.Set());
}

TEST(PluginHandle, CloseReportsAFailedCloseAndForgetsTheHandle)
{
    HANDLE stale = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(stale));

    CPluginHandle handle;
    handle.Attach(stale);
    EXPECT_FALSE(handle.Close());
    EXPECT_EQ(nullptr, handle.GetHandle());
    EXPECT_TRUE(handle.Close());
}

TEST(PluginEvent, NamedEventIsSharedAndGoesWithItsOwnerUnlessReset)
{
    const CString name = UniqueName(L"Named");
    {
        CPluginEvent event;
        ASSERT_TRUE(event.Create(false, name, true, nullptr));
        EXPECT_STREQ(name, event.GetName());

        // The same kernel object: consuming the auto-reset signal through another handle leaves
        // nothing for the owner.
        CScopedHandle other(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name));
        ASSERT_TRUE(other.IsValid());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(other.Get(), 0));
        EXPECT_FALSE(event.Wait(0));
        SetEvent(other.Get());
        EXPECT_TRUE(event.Wait(0));
    }
    EXPECT_FALSE(NamedEventExists(name));

    // Reset forgets the handle without closing it.
    CPluginEvent event;
    ASSERT_TRUE(event.Create(true, name, false, nullptr));
    CScopedHandle raw(event.GetHandle());
    event.Reset();
    EXPECT_EQ(nullptr, event.GetHandle());
    EXPECT_TRUE(event.GetName().IsEmpty());
    EXPECT_TRUE(NamedEventExists(name));
}

TEST(PluginEvent, CreateAgainReplacesTheEvent)
{
    const CString name = UniqueName(L"Replace");
    CPluginEvent event;
    ASSERT_TRUE(event.Create(true, name, true, nullptr));
    CScopedHandle first(OpenEventW(SYNCHRONIZE, FALSE, name));
    ASSERT_TRUE(first.IsValid());

    // A null name gives an unnamed event: the old name does not carry over.
    ASSERT_TRUE(event.Create(true, nullptr, false, nullptr));
    EXPECT_TRUE(event.GetName().IsEmpty());
    EXPECT_FALSE(event.Wait(0));
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0)) << "manual reset stays signalled";

    // The first event was closed by the wrapper: only this test's own handle keeps it alive.
    first.Reset();
    EXPECT_FALSE(NamedEventExists(name));

    ASSERT_TRUE(event.Create(false, nullptr, true, nullptr));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0)) << "auto reset";
}
