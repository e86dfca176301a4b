#include "StandinTestSupport.h"
#include "common/ComPtr.h"
#include "common/Scoped.h"

namespace
{
CComPtr<CManagerQueueEntry> NewEntry(const wchar_t* id, const wchar_t* path, ULONG state)
{
    CComPtr<CManagerQueueEntry> entry;
    EXPECT_EQ(S_OK, CManagerQueueEntry::Create(id, path, state, &entry));
    return entry;
}

CComPtr<CManagerSite> NewSite()
{
    CComPtr<CManagerSite> site;
    EXPECT_EQ(S_OK, CManagerSite::Create(&site));
    return site;
}

// The text of a VT_BSTR value; "<vt N>" for anything else, so a wrong type shows in the message.
std::wstring TextOf(const VARIANT& value)
{
    if (value.vt != VT_BSTR)
        return L"<vt " + std::to_wstring(value.vt) + L">";
    return std::wstring(value.bstrVal ? value.bstrVal : L"", SysStringLen(value.bstrVal));
}
}  // namespace

using ManagerSiteTest = StandinTest;

TEST_F(ManagerSiteTest, QueueItemCallsAreRecordedInOrderAndCanBeAwaited)
{
    CComPtr<CManagerSite> site = NewSite();
    site->Fault(ManagerSiteMethod::QueueItem).FailWith(E_FAIL, 1);
    ILumMgrPluginSite* raw = site.Get();
    std::thread caller([raw] {
        const wchar_t* locations[] = {L"C:\\a.mp4", L"C:\\b.jpg", L"C:\\c.mp3"};
        for (LONG i = 0; i < 3; ++i)
        {
            CScopedBstr location(SysAllocString(locations[i]));
            CScopedVariant result;
            raw->QueueItem(location.Get(), 1 << i, 0x80000000, result.Get());
        }
    });
    EXPECT_TRUE(site->WaitForQueueItems(3, 10000));
    caller.join();
    EXPECT_FALSE(site->WaitForQueueItems(4, 50));

    const std::vector<QueueItemCall> calls = site->QueueItemCalls().Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(L"C:\\a.mp4", calls[0].location);
    EXPECT_EQ(L"C:\\c.mp3", calls[2].location);
    EXPECT_EQ(4, calls[2].category);
    EXPECT_EQ(0x80000000u, calls[1].queueFlags);
    EXPECT_EQ(E_FAIL, calls[0].answered);  // the failure was for one call only
    EXPECT_EQ(S_OK, calls[1].answered);
    EXPECT_LT(calls[0].sequence, calls[1].sequence);
    EXPECT_LT(calls[1].sequence, calls[2].sequence);
}

TEST_F(ManagerSiteTest, QueueEntriesAnswerTheirValuesAndAreWithdrawnById)
{
    CComPtr<CManagerSite> site = NewSite();
    site->AddQueueEntry(NewEntry(L"e1", L"D:\\Rec\\x.mp4", 0x100));
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 7;
    site->AddQueueElement(number);
    site->AddQueueEntry(NewEntry(nullptr, L"D:\\Rec\\y.mp4", 0x200));

    CScopedVariant entries;
    ASSERT_EQ(S_OK, site->GetQueueEntries(entries.Get()));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, entries->vt);
    LONG upper = -1;
    ASSERT_EQ(S_OK, SafeArrayGetUBound(entries->parray, 1, &upper));
    ASSERT_EQ(2, upper);
    VARIANT* elements = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(entries->parray, reinterpret_cast<void**>(&elements)));
    EXPECT_EQ(VT_I4, elements[1].vt);
    ASSERT_EQ(VT_UNKNOWN, elements[0].vt);
    CComPtr<IQueueEntry> first;
    ASSERT_EQ(S_OK, elements[0].punkVal->QueryInterface(IID_IQueueEntry, reinterpret_cast<void**>(&first)));
    CComPtr<IQueueEntry> second;
    ASSERT_EQ(S_OK, elements[2].punkVal->QueryInterface(IID_IQueueEntry, reinterpret_cast<void**>(&second)));
    SafeArrayUnaccessData(entries->parray);

    CScopedVariant value;
    EXPECT_EQ(S_OK, first->GetValue(QueueEntry::kValuePath, value.Receive()));
    EXPECT_EQ(L"D:\\Rec\\x.mp4", TextOf(*value.Get()));
    EXPECT_EQ(S_OK, first->GetValue(QueueEntry::kValueId, value.Receive()));
    EXPECT_EQ(L"e1", TextOf(*value.Get()));
    EXPECT_EQ(S_OK, second->GetValue(QueueEntry::kValueId, value.Receive()));
    EXPECT_EQ(VT_EMPTY, value->vt);  // created without an id
    ULONG state = 0;
    EXPECT_EQ(S_OK, second->GetState(&state));
    EXPECT_EQ(0x200u, state);

    // The withdrawal the plug-in makes, in its order; the shared sequence keeps the order across
    // the entry and the site.
    VARIANT date;
    VariantInit(&date);
    date.vt = VT_DATE;
    date.date = 45000.5;
    EXPECT_EQ(S_OK, first->SetValue(QueueEntry::kValueWithdrawn, date));
    EXPECT_EQ(S_OK, first->SetStatus(1));
    EXPECT_EQ(S_OK, first->SetState(0x4000));
    CScopedBstr id(SysAllocString(L"e1"));
    EXPECT_EQ(S_OK, site->CancelQueueEntry(id.Get()));
    EXPECT_EQ(2u, site->QueueEntryCount());
    EXPECT_EQ(E_INVALIDARG, site->CancelQueueEntry(id.Get()));  // gone
    EXPECT_EQ(E_INVALIDARG, site->CancelQueueEntry(nullptr));   // the entry without id stays
    EXPECT_EQ(2u, site->QueueEntryCount());
    EXPECT_EQ(S_OK, first->GetState(&state));
    EXPECT_EQ(0x4000u, state);

    std::vector<QueueEntryCall> calls = static_cast<CManagerQueueEntry*>(first.Get())->Calls().Calls();
    ASSERT_EQ(6u, calls.size());  // GetValue x2, SetValue, SetStatus, SetState, GetState
    EXPECT_EQ(QueueEntryMethod::SetValue, calls[2].method);
    EXPECT_EQ(QueueEntry::kValueWithdrawn, calls[2].valueId);
    EXPECT_EQ(VT_DATE, calls[2].type);
    EXPECT_DOUBLE_EQ(45000.5, calls[2].date);
    EXPECT_EQ(QueueEntryMethod::SetStatus, calls[3].method);
    EXPECT_EQ(1u, calls[3].number);
    EXPECT_EQ(QueueEntryMethod::SetState, calls[4].method);
    EXPECT_EQ(0x4000u, calls[4].number);
    const std::vector<CancelQueueEntryCall> cancels = site->CancelQueueEntryCalls().Calls();
    ASSERT_EQ(3u, cancels.size());
    EXPECT_EQ(L"e1", cancels[0].entryId);
    EXPECT_EQ(S_OK, cancels[0].answered);
    EXPECT_LT(calls[4].sequence, cancels[0].sequence);
}

TEST_F(ManagerSiteTest, InjectedFailuresAndOtherAnswers)
{
    CComPtr<CManagerSite> site = NewSite();
    site->AddQueueEntry(NewEntry(L"e1", L"C:\\x.mp4", 0x100));

    CScopedVariant entries;
    site->Fault(ManagerSiteMethod::GetQueueEntries).FailWith(E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, site->GetQueueEntries(entries.Receive()));
    EXPECT_EQ(VT_EMPTY, entries->vt);
    site->Fault(ManagerSiteMethod::GetQueueEntries).FailWith(S_OK);

    VARIANT notAnArray;
    VariantInit(&notAnArray);
    notAnArray.vt = VT_I4;
    site->AnswerQueueEntriesWith(notAnArray);
    EXPECT_EQ(S_OK, site->GetQueueEntries(entries.Receive()));
    EXPECT_EQ(VT_I4, entries->vt);
    EXPECT_EQ(2u, site->GetQueueEntriesCalls().Count());

    // A failed cancel leaves the entry in the queue.
    site->Fault(ManagerSiteMethod::CancelQueueEntry).FailWith(E_ACCESSDENIED);
    CScopedBstr id(SysAllocString(L"e1"));
    EXPECT_EQ(E_ACCESSDENIED, site->CancelQueueEntry(id.Get()));
    EXPECT_EQ(1u, site->QueueEntryCount());

    EXPECT_EQ(E_NOTIMPL, site->Reserved3());
    EXPECT_EQ(E_POINTER, site->GetQueueEntries(nullptr));

    CComPtr<CManagerQueueEntry> entry = NewEntry(L"e2", L"C:\\y.mp4", 0x100);
    entry->Fault(QueueEntryMethod::GetState).FailWith(E_FAIL);
    ULONG state = 0xABCD;
    EXPECT_EQ(E_FAIL, entry->GetState(&state));
    EXPECT_EQ(0xABCDu, state);
    CScopedVariant value;
    EXPECT_EQ(E_INVALIDARG, entry->GetValue(99, value.Receive()));
}

TEST_F(ManagerSiteTest, StalledCallWaitsUntilReleased)
{
    CComPtr<CManagerQueueEntry> entry = NewEntry(L"e1", L"C:\\x.mp4", 0x100);
    entry->Fault(QueueEntryMethod::GetValue).Stall();
    IQueueEntry* raw = entry.Get();
    std::thread caller([raw] {
        CScopedVariant value;
        raw->GetValue(QueueEntry::kValuePath, value.Get());
    });
    EXPECT_TRUE(entry->Fault(QueueEntryMethod::GetValue).WaitUntilStalled(1, 10000));
    EXPECT_EQ(0u, entry->Calls().Count());  // not answered while stalled
    entry->Fault(QueueEntryMethod::GetValue).Release();
    EXPECT_TRUE(entry->Calls().WaitForCount(1, 10000));
    caller.join();
    EXPECT_EQ(S_OK, entry->Calls().Calls()[0].answered);
}

TEST_F(ManagerSiteTest, SiteMarshalledToAnotherThreadIsTheSameObject)
{
    CComPtr<CManagerSite> site = NewSite();
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_ILumMgrPluginSite,
                                                          static_cast<ILumMgrPluginSite*>(site.Get()), &stream));
    ILumMgrPluginSite* unmarshalled = nullptr;
    HRESULT hr = E_FAIL;
    RunOnMtaThread([&] {
        hr = CoGetInterfaceAndReleaseStream(stream, IID_ILumMgrPluginSite, reinterpret_cast<void**>(&unmarshalled));
        if (SUCCEEDED(hr))
        {
            CScopedBstr location(SysAllocString(L"C:\\z.mp4"));
            unmarshalled->QueueItem(location.Get(), 8, 0x80000000, nullptr);
            unmarshalled->Release();
        }
    });
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site.Get()), unmarshalled);
    EXPECT_EQ(1u, site->QueueItemCalls().Count());
}
