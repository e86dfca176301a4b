#include "tests/worker/TestWorker.h"
#include "worker/PluginEvent.h"

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

TEST(PluginEvent, WithoutAnEventNothingWaitsOrIsSet)
{
    CPluginEvent empty;
    EXPECT_FALSE(empty.Wait(INFINITE));
    EXPECT_FALSE(empty.Set());
}

TEST(PluginEvent, NamedEventIsSharedAndGoesWithItsOwnerUnlessReleased)
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

    // Release gives the event away without closing it; Reset closes it.
    CPluginEvent event;
    ASSERT_TRUE(event.Create(true, name, false, nullptr));
    CScopedHandle raw(event.Release());
    EXPECT_EQ(nullptr, event.Get());
    EXPECT_TRUE(event.GetName().IsEmpty());
    EXPECT_TRUE(NamedEventExists(name));
    raw.Reset();
    EXPECT_FALSE(NamedEventExists(name));

    ASSERT_TRUE(event.Create(true, name, false, nullptr));
    event.Reset();
    EXPECT_EQ(nullptr, event.Get());
    EXPECT_TRUE(event.GetName().IsEmpty());
    EXPECT_FALSE(NamedEventExists(name));
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
