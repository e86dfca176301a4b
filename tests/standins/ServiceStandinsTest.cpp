#include "StandinTestSupport.h"
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "standins/ClassRegistration.h"

namespace
{
constexpr DWORD kAnyContext = 0x17;  // the class context the plug-in creates outside classes with

template <typename I>
HRESULT CreateOnMtaThread(REFCLSID clsid, REFIID iid, const std::function<void(I*)>& use)
{
    HRESULT hr = E_FAIL;
    RunOnMtaThread([&] {
        I* object = nullptr;
        hr = CoCreateInstance(clsid, nullptr, kAnyContext, iid, reinterpret_cast<void**>(&object));
        if (SUCCEEDED(hr))
        {
            use(object);
            object->Release();
        }
    });
    return hr;
}
}  // namespace

using ServiceStandinTest = StandinTest;

TEST_F(ServiceStandinTest, RegisteredClassesAreCreatableFromAnotherThreadUntilRevoked)
{
    {
        CClassRegistration busy, folders, status;
        ASSERT_EQ(S_OK, busy.Register<CBusyNotify>(CLSID_BusyNotify));
        ASSERT_EQ(S_OK, folders.Register<CFolderList>(CLSID_FolderList));
        ASSERT_EQ(S_OK, status.Register<CManagerStatus>(CLSID_LumMgrStatus));
        EXPECT_EQ(E_UNEXPECTED, busy.Register<CBusyNotify>(CLSID_BusyNotify));

        DWORD processId = 0;
        EXPECT_EQ(S_OK, CreateOnMtaThread<IBusyNotify>(CLSID_BusyNotify, IID_IBusyNotify, [&](IBusyNotify* notify) {
                      processId = GetCurrentProcessId();
                      VARIANT context;
                      VariantInit(&context);
                      CScopedVariant result;
                      EXPECT_EQ(S_OK, notify->NotifyBusy(processId, kBusyNotifyPendingWork, context, result.Get()));
                  }));
        const std::vector<NotifyBusyCall> calls = CBusyNotify::NotifyBusyCalls().Calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(processId, calls[0].processId);
        EXPECT_EQ(0x10001u, calls[0].value);
        EXPECT_EQ(VT_EMPTY, calls[0].contextType);
        EXPECT_EQ(VT_EMPTY, calls[0].resultType);

        CManagerStatus::SetQueueCounts(2, 3);
        EXPECT_EQ(S_OK, CreateOnMtaThread<ILumMgrStatus>(CLSID_LumMgrStatus, IID_ILumMgrStatus, [](ILumMgrStatus* s) {
                      ULONG first = 0, second = 0;
                      EXPECT_EQ(S_OK, s->GetQueueCounts(&first, &second));
                      EXPECT_EQ(2u, first);
                      EXPECT_EQ(3u, second);
                  }));
        EXPECT_EQ(S_OK, CreateOnMtaThread<IFolderList>(CLSID_FolderList, IID_IFolderList, [](IFolderList*) {}));

        // A creation the test makes fail reaches the creator.
        CBusyNotify::Fault(BusyNotifyMethod::Create).FailWith(E_OUTOFMEMORY, 1);
        EXPECT_EQ(E_OUTOFMEMORY,
                  CreateOnMtaThread<IBusyNotify>(CLSID_BusyNotify, IID_IBusyNotify, [](IBusyNotify*) {}));
        EXPECT_EQ(1u, CBusyNotify::NotifyBusyCalls().Count());
    }
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CreateOnMtaThread<IBusyNotify>(CLSID_BusyNotify, IID_IBusyNotify, [](IBusyNotify*) {}));
}

TEST_F(ServiceStandinTest, FolderListAnswersItsEntries)
{
    CFolderList::SetFolders({{L"D:\\Rec", 0}, {L"E:\\Other\\", 3}});
    CComPtr<IFolderList> list;
    ASSERT_EQ(S_OK, CreateComInstance<CFolderList>(nullptr, IID_IFolderList, reinterpret_cast<void**>(&list)));

    LONG count = -1, reserved = -1;
    ASSERT_EQ(S_OK, list->GetCount(&count, &reserved));
    EXPECT_EQ(2, count);

    struct Expected
    {
        LONG index;
        HRESULT hr;
        const wchar_t* folder;
        LONG flag;
    };
    const Expected table[] = {
        {0, S_OK, L"D:\\Rec", 0},
        {1, S_OK, L"E:\\Other\\", 3},
        {2, E_INVALIDARG, nullptr, 1},  // out of range: nothing written, the caller's flag stays
        {-1, E_INVALIDARG, nullptr, 1},
    };
    for (const Expected& e : table)
    {
        CScopedBstr folder, other;
        LONG a = 0, b = 0, flag = 1;
        EXPECT_EQ(e.hr, list->GetEntry(e.index, folder.Receive(), other.Receive(), &a, &b, &flag)) << e.index;
        EXPECT_EQ(e.flag, flag) << e.index;
        if (e.folder)
            EXPECT_STREQ(e.folder, folder.Get()) << e.index;
        else
            EXPECT_EQ(nullptr, folder.Get()) << e.index;
    }

    CFolderList::Fault(FolderListMethod::GetCount).FailWith(E_FAIL);
    EXPECT_EQ(E_FAIL, list->GetCount(&count, &reserved));
    EXPECT_EQ(E_NOTIMPL, list->Reserved10());
    EXPECT_EQ(6u, CFolderList::Calls().Count());
}

TEST_F(ServiceStandinTest, StatusAndBusyNotifyFailWhenTold)
{
    CComPtr<ILumMgrStatus> status;
    ASSERT_EQ(S_OK, CreateComInstance<CManagerStatus>(nullptr, IID_ILumMgrStatus, reinterpret_cast<void**>(&status)));
    CManagerStatus::Fault(ManagerStatusMethod::GetQueueCounts).FailWith(E_UNEXPECTED);
    ULONG first = 9, second = 9;
    EXPECT_EQ(E_UNEXPECTED, status->GetQueueCounts(&first, &second));
    EXPECT_EQ(9u, first);
    EXPECT_EQ(E_POINTER, status->GetQueueCounts(nullptr, &second));

    CComPtr<IBusyNotify> notify;
    ASSERT_EQ(S_OK, CreateComInstance<CBusyNotify>(nullptr, IID_IBusyNotify, reinterpret_cast<void**>(&notify)));
    CBusyNotify::Fault(BusyNotifyMethod::NotifyBusy).FailWith(E_FAIL, 1);
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(E_FAIL, notify->NotifyBusy(1, kBusyNotifyPendingWork, empty, nullptr));
    EXPECT_EQ(S_OK, notify->NotifyBusy(1, kBusyNotifyPendingWork, empty, nullptr));
    EXPECT_EQ(VT_ILLEGAL, CBusyNotify::NotifyBusyCalls().Calls()[1].resultType);
}

TEST_F(ServiceStandinTest, QueueEventsSinkRecordsEventsAndRunsItsHook)
{
    CComPtr<CQueueEventsSink> sink;
    ASSERT_EQ(S_OK, CQueueEventsSink::Create(&sink));
    CComPtr<ILumMgrPluginQueueEvents> events;
    ASSERT_EQ(S_OK, sink->QueryInterface(IID_ILumMgrPluginQueueEvents, reinterpret_cast<void**>(&events)));
    CComPtr<IUnknown> marshal;
    EXPECT_EQ(S_OK, sink->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)));
    marshal.Release();

    ULONG hookSaw = 0;
    sink->SetHook([&](const VARIANT& count) { hookSaw = count.ulVal; });
    sink->Fault().FailWith(E_FAIL, 1);
    DWORD firingThread = 0;
    ILumMgrPluginQueueEvents* raw = events.Get();
    std::thread firer([&] {
        firingThread = GetCurrentThreadId();
        for (ULONG count : {1u, 3u})
        {
            VARIANT value;
            VariantInit(&value);
            value.vt = VT_UI4;
            value.ulVal = count;
            raw->OnPendingCountChanged(value);
        }
    });
    EXPECT_TRUE(sink->WaitForEvents(2, 10000));
    firer.join();
    const std::vector<PendingCountEvent> received = sink->Events().Calls();
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(VT_UI4, received[0].type);
    EXPECT_EQ(1u, received[0].value);
    EXPECT_EQ(E_FAIL, received[0].answered);
    EXPECT_EQ(3u, received[1].value);
    EXPECT_EQ(S_OK, received[1].answered);
    EXPECT_EQ(firingThread, received[1].threadId);
    EXPECT_EQ(3u, hookSaw);
    EXPECT_FALSE(sink->WaitForEvents(3, 50));
}
