// The manager's stand-ins where the other suites rely on them without looking: failures and stalls
// injected per method, withdrawals by id, objects creatable from any thread while registered.
#include <gtest/gtest.h>
#include <thread>
#include "common/ComPtr.h"
#include "standins/BusyNotify.h"
#include "standins/ClassRegistration.h"
#include "standins/FolderList.h"
#include "standins/ManagerQueueEntry.h"
#include "standins/ManagerSite.h"
#include "standins/ManagerStatus.h"
#include "standins/QueueEventsSink.h"
#include "tests/support/TestSync.h"

namespace
{
CComPtr<CManagerQueueEntry> NewEntry(const wchar_t* id, const wchar_t* path)
{
    CComPtr<CManagerQueueEntry> entry;
    EXPECT_EQ(S_OK, CManagerQueueEntry::Create(id, path, 0x100, &entry));
    return entry;
}

std::wstring TextOf(const VARIANT& value)
{
    return value.vt == VT_BSTR ? (value.bstrVal ? value.bstrVal : L"") : L"<vt " + std::to_wstring(value.vt) + L">";
}

VARIANT Number(VARTYPE type, ULONG number)
{
    VARIANT value{};
    value.vt = type;
    value.ulVal = number;
    return value;
}

template <typename I>
HRESULT CreateOnMtaThread(REFCLSID clsid, REFIID iid, const std::function<void(I*)>& use = [](I*) {})
{
    HRESULT hr = E_FAIL;
    RunOnMtaThread([&] {
        CComPtr<I> object;
        hr = CoCreateInstance(clsid, nullptr, 0x17, iid, reinterpret_cast<void**>(&object));
        if (SUCCEEDED(hr))
            use(object.Get());
    });
    return hr;
}
}  // namespace

// Every case runs in the multi-threaded apartment with the class-wide stand-ins reset, and ends
// with every stand-in object it made released again.
class StandinTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        CManagerStatus::Reset();
        CBusyNotify::Reset();
        CFolderList::Reset();
        m_live = LiveCounts();
        ASSERT_EQ(S_OK, CManagerSite::Create(&m_site));
    }

    void TearDown() override
    {
        m_site.Release();
        EXPECT_EQ(m_live, LiveCounts());
        CoUninitialize();
    }

    static std::vector<LONG> LiveCounts()
    {
        return {CManagerSite::LiveCount(), CManagerQueueEntry::LiveCount(), CManagerStatus::LiveCount(),
                CBusyNotify::LiveCount(),  CFolderList::LiveCount(),        CQueueEventsSink::LiveCount()};
    }

    CComPtr<CManagerSite> m_site;
    std::vector<LONG> m_live;
};

TEST_F(StandinTest, SiteHandsOutItsQueueAndWithdrawsEntriesById)
{
    m_site->AddQueueEntry(NewEntry(L"e1", L"D:\\Rec\\x.mp4"));
    m_site->AddQueueElement(Number(VT_I4, 7));
    m_site->AddQueueEntry(NewEntry(nullptr, L"D:\\Rec\\y.mp4"));

    CScopedVariant entries;
    ASSERT_EQ(S_OK, m_site->GetQueueEntries(entries.Get()));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, entries->vt);
    ASSERT_EQ(3u, entries->parray->rgsabound[0].cElements);
    const VARIANT* elements = static_cast<const VARIANT*>(entries->parray->pvData);
    EXPECT_EQ(VT_I4, elements[1].vt);
    CComPtr<IQueueEntry> first, second;
    ASSERT_EQ(S_OK, elements[0].punkVal->QueryInterface(IID_IQueueEntry, reinterpret_cast<void**>(&first)));
    ASSERT_EQ(S_OK, elements[2].punkVal->QueryInterface(IID_IQueueEntry, reinterpret_cast<void**>(&second)));

    CScopedVariant value;
    EXPECT_EQ(S_OK, first->GetValue(QueueEntry::kValuePath, value.Receive()));
    EXPECT_EQ(L"D:\\Rec\\x.mp4", TextOf(*value.Get()));
    EXPECT_EQ(S_OK, first->GetValue(QueueEntry::kValueId, value.Receive()));
    EXPECT_EQ(L"e1", TextOf(*value.Get()));
    EXPECT_EQ(S_OK, second->GetValue(QueueEntry::kValueId, value.Receive()));
    EXPECT_EQ(VT_EMPTY, value->vt);
    EXPECT_EQ(E_INVALIDARG, second->GetValue(99, value.Receive()));

    // A failed withdrawal leaves the entry; an id it no longer holds, or none, is refused.
    m_site->Fault(ManagerSiteMethod::CancelQueueEntry).FailWith(E_ACCESSDENIED, 1);
    CScopedBstr id(SysAllocString(L"e1"));
    EXPECT_EQ(E_ACCESSDENIED, m_site->CancelQueueEntry(id.Get()));
    EXPECT_EQ(3u, m_site->QueueEntryCount());
    EXPECT_EQ(S_OK, m_site->CancelQueueEntry(id.Get()));
    EXPECT_EQ(E_INVALIDARG, m_site->CancelQueueEntry(id.Get()));
    EXPECT_EQ(E_INVALIDARG, m_site->CancelQueueEntry(nullptr));  // the entry without id stays
    EXPECT_EQ(2u, m_site->QueueEntryCount());
    const std::vector<CancelQueueEntryCall> cancels = m_site->CancelQueueEntryCalls().Calls();
    ASSERT_EQ(4u, cancels.size());
    EXPECT_EQ(L"e1", cancels[1].entryId);
    EXPECT_EQ(S_OK, cancels[1].answered);
}

TEST_F(StandinTest, InjectedFailuresAnswerBeforeAnythingIsWritten)
{
    CScopedVariant entries;
    m_site->Fault(ManagerSiteMethod::GetQueueEntries).FailWith(E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, m_site->GetQueueEntries(entries.Receive()));
    EXPECT_EQ(VT_EMPTY, entries->vt);
    m_site->Fault(ManagerSiteMethod::GetQueueEntries).FailWith(S_OK);
    m_site->AnswerQueueEntriesWith(Number(VT_I4, 1));
    EXPECT_EQ(S_OK, m_site->GetQueueEntries(entries.Receive()));
    EXPECT_EQ(VT_I4, entries->vt);

    CComPtr<CManagerQueueEntry> entry = NewEntry(L"e2", L"C:\\y.mp4");
    entry->Fault(QueueEntryMethod::GetState).FailWith(E_FAIL);
    ULONG state = 0xABCD;
    EXPECT_EQ(E_FAIL, entry->GetState(&state));
    EXPECT_EQ(0xABCDu, state);
}

TEST_F(StandinTest, StalledCallWaitsUntilReleased)
{
    CComPtr<CManagerQueueEntry> entry = NewEntry(L"e1", L"C:\\x.mp4");
    entry->Fault(QueueEntryMethod::GetValue).Stall();
    IQueueEntry* raw = entry.Get();
    std::thread caller([raw] {
        CScopedVariant value;
        raw->GetValue(QueueEntry::kValuePath, value.Get());
    });
    EXPECT_TRUE(entry->Fault(QueueEntryMethod::GetValue).WaitUntilStalled(1, kTestWaitMs));
    EXPECT_EQ(0u, entry->Calls().Count());
    entry->Fault(QueueEntryMethod::GetValue).Release();
    EXPECT_TRUE(entry->Calls().WaitForCount(1, kTestWaitMs));
    caller.join();
    EXPECT_EQ(S_OK, entry->Calls().Calls()[0].answered);
}

TEST_F(StandinTest, SiteMarshalledToAnotherThreadIsTheSameObject)
{
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_ILumMgrPluginSite, m_site.Get(), &stream));
    ILumMgrPluginSite* unmarshalled = nullptr;
    HRESULT hr = E_FAIL;
    RunOnMtaThread([&] {
        hr = CoGetInterfaceAndReleaseStream(stream, IID_ILumMgrPluginSite, reinterpret_cast<void**>(&unmarshalled));
        if (SUCCEEDED(hr))
            unmarshalled->Release();
    });
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(m_site.Get()), unmarshalled);
}

TEST_F(StandinTest, RegisteredClassesAreCreatableFromAnotherThreadUntilRevoked)
{
    {
        CClassRegistration busy;
        ASSERT_EQ(S_OK, busy.Register<CBusyNotify>(CLSID_BusyNotify));
        EXPECT_EQ(E_UNEXPECTED, busy.Register<CBusyNotify>(CLSID_BusyNotify));

        CBusyNotify::Fault(BusyNotifyMethod::NotifyBusy).FailWith(E_FAIL, 1);
        EXPECT_EQ(S_OK, CreateOnMtaThread<IBusyNotify>(CLSID_BusyNotify, IID_IBusyNotify, [&](IBusyNotify* notify) {
                      CScopedVariant result;
                      EXPECT_EQ(E_FAIL, notify->NotifyBusy(5, kBusyNotifyPendingWork, Number(VT_EMPTY, 0), nullptr));
                      EXPECT_EQ(S_OK, notify->NotifyBusy(5, kBusyNotifyPendingWork, Number(VT_EMPTY, 0), result.Get()));
                  }));
        const std::vector<NotifyBusyCall> calls = CBusyNotify::NotifyBusyCalls().Calls();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ(5u, calls[1].processId);
        EXPECT_EQ(0x10001u, calls[1].value);
        EXPECT_EQ(VT_ILLEGAL, calls[0].resultType);  // no result given
        EXPECT_EQ(VT_EMPTY, calls[1].resultType);

        CBusyNotify::Fault(BusyNotifyMethod::Create).FailWith(E_OUTOFMEMORY, 1);
        EXPECT_EQ(E_OUTOFMEMORY, CreateOnMtaThread<IBusyNotify>(CLSID_BusyNotify, IID_IBusyNotify));
    }
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CreateOnMtaThread<IBusyNotify>(CLSID_BusyNotify, IID_IBusyNotify));
}

TEST_F(StandinTest, FolderListAnswersItsEntries)
{
    CFolderList::SetFolders({{L"D:\\Rec", 0}, {L"E:\\Other\\", 3}});
    CComPtr<IFolderList> list;
    ASSERT_EQ(S_OK, CreateComInstance<CFolderList>(nullptr, IID_IFolderList, reinterpret_cast<void**>(&list)));
    LONG count = -1, reserved = -1;
    ASSERT_EQ(S_OK, list->GetCount(&count, &reserved));
    EXPECT_EQ(2, count);

    for (LONG index : {1, 2, -1})
    {
        SCOPED_TRACE(index);
        CScopedBstr folder, other;
        LONG a = 0, b = 0, flag = 1;
        // Out of range: nothing written, the caller's flag stays.
        EXPECT_EQ(index == 1 ? S_OK : E_INVALIDARG, list->GetEntry(index, folder.Receive(), other.Receive(), &a, &b, &flag));
        EXPECT_EQ(index == 1 ? 3 : 1, flag);
        EXPECT_EQ(index == 1 ? L"E:\\Other\\" : L"<null>", std::wstring(folder.Get() ? folder.Get() : L"<null>"));
    }
    CFolderList::Fault(FolderListMethod::GetCount).FailWith(E_FAIL);
    EXPECT_EQ(E_FAIL, list->GetCount(&count, &reserved));
}
