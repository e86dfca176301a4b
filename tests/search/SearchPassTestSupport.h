#pragma once
// A search worker without a thread, with the stand-in database, a stand-in site and media items
// backed by real files, for the tests that call the database passes directly.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <memory>
#include <string>
#include <vector>
#include "contentdb/KdCdbMgr.h"
#include "search/PluginDbSearchThread.h"
#include "standins/ContentDatabase.h"
#include "standins/ManagerSite.h"
#include "standins/MediaCatalogueBuilder.h"

constexpr DWORD kPassTestWaitMs = 10000;

// Item ids of the database's state writes, each with the property=value pairs written, in order.
inline std::vector<std::wstring> StateWrites(const CContentDbControl& control)
{
    std::vector<std::wstring> writes;
    for (const CdbCall& call : control.Calls(CdbMethod::SetValues))
    {
        std::wstring text = call.text;
        for (size_t i = 0; i < call.numbers.size(); ++i)
            text += L" " + std::to_wstring(call.numbers[i]) + L"=" + call.values[i];
        writes.push_back(text);
    }
    return writes;
}

class SearchPassTest : public ::testing::Test
{
protected:
    using Media = CMediaCatalogueBuilder::Media;

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_liveSites = CManagerSite::LiveCount();
        m_db = CContentDatabase::Create();
        ASSERT_EQ(S_OK, m_db->Register());
        ASSERT_EQ(S_OK, CManagerSite::Create(&m_site));
        m_media = std::make_unique<CMediaCatalogueBuilder>(m_db->Catalogue());
        m_worker = std::make_unique<CPluginDbSearchThread>();
        m_worker->SetSite(m_site);
        m_write = std::make_unique<CKdCdbMgr>();
        m_search = std::make_unique<CKdCdbMgr>();
        ASSERT_EQ(S_FALSE, m_write->Open(false, L"LumSiftDbNotifyWex", kPassTestWaitMs));
        ASSERT_EQ(S_FALSE, m_search->Open(false, L"LumSiftDbNotifyWex", kPassTestWaitMs));
        m_db->Control().ClearCalls();
    }

    void TearDown() override
    {
        m_db->Control().Reset();
        m_worker.reset();
        m_write.reset();
        m_search.reset();
        m_site->Release();
        m_media.reset();
        m_db->Revoke();
        m_db.reset();
        EXPECT_EQ(m_liveSites, CManagerSite::LiveCount());
        CoUninitialize();
    }

    HRESULT Pass(LPCWSTR query, ULONG flags = 0x80000000, ULONG mask = 0xFFFF)
    {
        return m_worker->SearchAndQueue(*m_write, *m_search, query, flags, mask);
    }

    std::vector<std::wstring> Writes() const { return StateWrites(m_db->Control()); }

    // The highest sequence number of the database's reads (searches, result moves, values).
    LONG LastReadSequence() const
    {
        LONG last = 0;
        for (const CdbCall& call : m_db->Control().Calls())
        {
            if (call.method == CdbMethod::Search || call.method == CdbMethod::MoveNext || call.method == CdbMethod::GetValue)
                last = std::max(last, call.sequence);
        }
        return last;
    }

    std::shared_ptr<CContentDatabase> m_db;
    CManagerSite* m_site = nullptr;
    std::unique_ptr<CMediaCatalogueBuilder> m_media;
    std::unique_ptr<CPluginDbSearchThread> m_worker;
    std::unique_ptr<CKdCdbMgr> m_write;
    std::unique_ptr<CKdCdbMgr> m_search;
    LONG m_liveSites = 0;
};
