#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <vector>
#include "common/Scoped.h"
#include "standins/ManagerQueueEntry.h"
#include "standins/ManagerSite.h"
#include "tools/lumhost/HostManager.h"

namespace
{
class HostManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_liveEntries = CManagerQueueEntry::LiveCount();
        m_liveSites = CManagerSite::LiveCount();
    }
    void TearDown() override
    {
        manager.Detach();
        EXPECT_EQ(m_liveEntries, CManagerQueueEntry::LiveCount());
        EXPECT_EQ(m_liveSites, CManagerSite::LiveCount());
        CoUninitialize();
    }

    HRESULT QueueItem(const wchar_t* path, LONG category)
    {
        CScopedBstr location(SysAllocString(path));
        CScopedVariant result;
        return manager.Site()->QueueItem(location.Get(), category, 0x80000000, result.Get());
    }

    HRESULT Cancel(const wchar_t* id)
    {
        CScopedBstr text(SysAllocString(id));
        return manager.Site()->CancelQueueEntry(text.Get());
    }

    std::vector<CHostManager::HandOff> handOffs;
    std::vector<CHostManager::Withdrawal> withdrawals;
    CHostManager manager{[this](const CHostManager::HandOff& h) { handOffs.push_back(h); },
                         [this](const CHostManager::Withdrawal& w) { withdrawals.push_back(w); }};

private:
    LONG m_liveEntries = 0;
    LONG m_liveSites = 0;
};

TEST_F(HostManagerTest, EachHandOffBecomesAWithdrawableEntryOfTheManagerQueue)
{
    ASSERT_EQ(S_OK, manager.Create());
    ASSERT_EQ(S_OK, QueueItem(L"C:\\m\\rec.mp4", 0x04));
    ASSERT_EQ(S_OK, QueueItem(L"C:\\m\\photo.jpg", 0x08));
    ASSERT_EQ(2u, handOffs.size());
    EXPECT_EQ(L"C:\\m\\rec.mp4", handOffs[0].path);
    EXPECT_EQ(0x04, handOffs[0].category);
    EXPECT_EQ(0x80000000u, handOffs[0].queueFlags);
    EXPECT_EQ(L"Q1", handOffs[0].entryId);
    EXPECT_EQ(L"Q2", handOffs[1].entryId);
    EXPECT_EQ(2u, manager.QueueLength());

    // The entry answers what the plug-in asks of it before withdrawing one.
    CScopedVariant entries;
    ASSERT_EQ(S_OK, manager.Site()->GetQueueEntries(entries.Get()));
    VARIANT* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(entries->parray, reinterpret_cast<void**>(&data)));
    CComPtr<IQueueEntry> entry;
    ASSERT_EQ(S_OK, data[0].punkVal->QueryInterface(IID_IQueueEntry, reinterpret_cast<void**>(&entry)));
    SafeArrayUnaccessData(entries->parray);
    ULONG state = 0;
    EXPECT_EQ(S_OK, entry->GetState(&state));
    EXPECT_EQ(QueueEntry::kStateWithdrawable, state);
    CScopedVariant path;
    EXPECT_EQ(S_OK, entry->GetValue(QueueEntry::kValuePath, path.Get()));
    EXPECT_STREQ(L"C:\\m\\rec.mp4", path->bstrVal);

    ASSERT_EQ(S_OK, Cancel(L"Q1"));
    ASSERT_EQ(1u, withdrawals.size());
    EXPECT_EQ(L"Q1", withdrawals[0].entryId);
    EXPECT_EQ(L"C:\\m\\rec.mp4", withdrawals[0].path);
    EXPECT_EQ(S_OK, withdrawals[0].answered);
    EXPECT_EQ(1u, manager.QueueLength());

    // An id that is not (or no longer) in the queue: reported with the site's answer, no path.
    EXPECT_EQ(E_INVALIDARG, Cancel(L"Q1"));
    ASSERT_EQ(2u, withdrawals.size());
    EXPECT_TRUE(withdrawals[1].path.empty());
    EXPECT_EQ(E_INVALIDARG, withdrawals[1].answered);
}

TEST_F(HostManagerTest, ARefusedHandOffMakesNoEntry)
{
    ASSERT_EQ(S_OK, manager.Create());
    manager.SiteObject()->Fault(ManagerSiteMethod::QueueItem).FailWith(E_OUTOFMEMORY, 1);
    EXPECT_EQ(E_OUTOFMEMORY, QueueItem(L"C:\\m\\a.jpg", 0x08));
    ASSERT_EQ(1u, handOffs.size());
    EXPECT_TRUE(handOffs[0].entryId.empty());
    EXPECT_EQ(E_OUTOFMEMORY, handOffs[0].answered);
    EXPECT_EQ(0u, manager.QueueLength());
}

TEST_F(HostManagerTest, AfterDetachTheSiteTellsNobody)
{
    ASSERT_EQ(S_OK, manager.Create());
    CComPtr<ILumMgrPluginSite> kept(manager.Site());  // as a plug-in that has not let go yet
    manager.Detach();
    CScopedBstr location(SysAllocString(L"C:\\m\\late.jpg"));
    CScopedVariant result;
    EXPECT_EQ(S_OK, kept->QueueItem(location.Get(), 0x08, 0, result.Get()));
    EXPECT_TRUE(handOffs.empty());
}
}  // namespace
