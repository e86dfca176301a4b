#pragma once
// A search worker whose clean-up steps a test runs on the worker's own thread, on a connection to
// the stand-in database, recording every percentage the steps publish.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>
#include "common/Scoped.h"
#include "contentdb/KdCdbMgr.h"
#include "search/CleanUpProgress.h"
#include "search/PluginDbSearchThread.h"
#include "standins/ClassRegistration.h"
#include "standins/ContainerCatalogueBuilder.h"
#include "standins/ContentDatabase.h"
#include "standins/FileExaminer.h"

namespace cleanup_test
{
constexpr DWORD kWaitMs = 10000;
constexpr wchar_t kSettingsKey[] = L"Software\\Tessaly Corporation\\LUM Siftwell\\Setting\\LumSiftDbNotifyWex";

// The calling thread is not impersonating anyone.
inline bool ThreadHasNoToken()
{
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
    {
        CloseHandle(token);
        return false;
    }
    return GetLastError() == ERROR_NO_TOKEN;
}

class CCleanUpWorker : public CPluginDbSearchThread
{
public:
    using Steps = std::function<HRESULT(CCleanUpWorker& worker, CKdCdbMgr& connection, CCleanUpProgress& progress)>;
    using CPluginDbSearchThread::RemoveEmptyCollections;
    using CPluginDbSearchThread::RemoveEmptyContainers;
    using CPluginDbSearchThread::RemoveItemsWithMissingFile;
    using CPluginDbSearchThread::RemoveOrphanedDerivedItems;
    using CPluginDbSearchThread::RepairContainers;
    using CPluginDbSearchThread::RunRemovalSteps;

    CCleanUpWorker() : m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CCleanUpWorker() override
    {
        RequestStop();
        Shutdown();
    }

    // Queues `steps` to run on the worker's thread on a connection opened and given the stop and run
    // events the way the run opens its own.
    void Start(Steps steps)
    {
        m_steps = std::move(steps);
        ResetEvent(m_done.Get());
        ASSERT_TRUE(SUCCEEDED(QueueSite(nullptr)));
        ASSERT_EQ(S_OK, QueueItem(new CProcessItem(kItemRunSteps, 0), false, false));
    }
    bool WaitDone(DWORD timeoutMs = kWaitMs) { return WaitForSingleObject(m_done.Get(), timeoutMs) == WAIT_OBJECT_0; }
    HRESULT Run(Steps steps)
    {
        Start(std::move(steps));
        EXPECT_TRUE(WaitDone());
        return m_result;
    }

    HRESULT Result() const { return m_result; }
    // The worker's thread was left impersonating after the last steps.
    bool LeftImpersonating() const { return m_leftImpersonating; }
    std::vector<ULONG> Published()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_published;
    }

protected:
    bool ProcessItem(CBase::CProcessItem* item) override
    {
        if (item->type != kItemRunSteps)
            return CPluginDbSearchThread::ProcessItem(item);
        delete item;
        CKdCdbMgr connection;
        m_result = connection.Open(false, L"LumSiftDbNotifyWex", kWaitMs);
        if (SUCCEEDED(m_result))
        {
            connection.SetAbortEvent(GetStopEvent());
            connection.SetRunEvent(GetRunEvent());
            CCleanUpProgress progress([this](ULONG value) {
                SetProgress(value);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_published.push_back(value);
            });
            m_result = m_steps(*this, connection, progress);
            connection.Close();
            m_leftImpersonating = !ThreadHasNoToken();
        }
        SetEvent(m_done.Get());
        return true;
    }

private:
    static constexpr LONG kItemRunSteps = 100;

    Steps m_steps;
    HRESULT m_result = E_UNEXPECTED;
    bool m_leftImpersonating = false;
    CScopedHandle m_done;
    std::mutex m_mutex;
    std::vector<ULONG> m_published;
};

// The stand-in database and file examiner registered, a scratch folder and a builder over both.
class CleanUpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_db = CContentDatabase::Create();
        ASSERT_EQ(S_OK, m_db->Register());
        ASSERT_EQ(S_OK, m_examiner.Register<CFileExaminer>(CLSID_FileExaminer));
        CFileExaminer::Reset();
        m_builder = std::make_unique<CContainerCatalogueBuilder>(m_db->Catalogue(), m_files);
        SetCleanUpClass(REG_NONE, nullptr, 0);
        m_worker = std::make_unique<CCleanUpWorker>();
    }

    void TearDown() override
    {
        m_worker.reset();
        SetCleanUpClass(REG_NONE, nullptr, 0);
        CFileExaminer::Reset();
        m_examiner.Revoke();
        m_db->Control().Reset();
        m_db->Revoke();
        EXPECT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
        m_db.reset();
        CoUninitialize();
    }

    // REG_NONE removes the value.
    static void SetCleanUpClass(DWORD type, const void* data, DWORD bytes)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        if (type == REG_NONE)
            RegDeleteValueW(key, L"CleanUpObjectClass");
        else
            EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"CleanUpObjectClass", 0, type,
                                                    static_cast<const BYTE*>(data), bytes));
        RegCloseKey(key);
    }
    static void SetCleanUpClass(DWORD itemClass) { SetCleanUpClass(REG_DWORD, &itemClass, sizeof(itemClass)); }

    bool Has(const std::wstring& id) { return m_db->Catalogue().Find(id) != nullptr; }
    std::wstring Value(const std::wstring& id, LONG propId)
    {
        std::wstring text;
        ContentDbItemPtr item = m_db->Catalogue().Find(id);
        return item && item->GetText(propId, text) ? text : L"<none>";
    }
    static std::string Bytes(const std::wstring& path)
    {
        std::string bytes;
        return ReadFileBytes(path, bytes) ? bytes : "<unreadable>";
    }

    std::shared_ptr<CContentDatabase> m_db;
    CClassRegistration m_examiner;
    CScratchFolder m_files{L"lumcleanup"};
    std::unique_ptr<CContainerCatalogueBuilder> m_builder;
    std::unique_ptr<CCleanUpWorker> m_worker;
};
}  // namespace cleanup_test
