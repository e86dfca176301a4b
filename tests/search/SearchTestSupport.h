#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>
#include "common/ComPtr.h"
#include "contentdb/KdCdbMgr.h"
#include "search/PluginDbSearchThread.h"
#include "standins/ContentDatabase.h"
#include "standins/ManagerSite.h"
#include "standins/MediaCatalogueBuilder.h"
#include "tests/search/EngineRegistryFixture.h"
#include "tests/support/TestSync.h"

// What every search test stands on: a registry of its own, the stand-in database and site, media
// items backed by real files, and a search worker without a thread with a write and a search
// connection, as the passes get them.
class SearchTest : public EngineRegistryFixture
{
protected:
    using Media = CMediaCatalogueBuilder::Media;

    SearchTest() : EngineRegistryFixture(L"Search") {}

    void SetUp() override
    {
        EngineRegistryFixture::SetUp();
        m_db = CContentDatabase::Create();
        ASSERT_EQ(S_OK, m_db->Register());
        ASSERT_EQ(S_OK, CManagerSite::Create(&m_site));
        m_media = std::make_unique<CMediaCatalogueBuilder>(m_db->Catalogue());
        m_worker = std::make_unique<CPluginDbSearchThread>();
        m_worker->SetSite(m_site);
        ASSERT_EQ(S_FALSE, m_write.Open(false, L"LumSiftDbNotifyWex", kTestWaitMs));
        ASSERT_EQ(S_FALSE, m_search.Open(false, L"LumSiftDbNotifyWex", kTestWaitMs));
        m_db->Control().ClearCalls();
    }

    void TearDown() override
    {
        m_db->Control().Reset();
        m_worker.reset();
        m_write.Close();
        m_search.Close();
        m_media.reset();
        m_site->AddRef();
        EXPECT_EQ(1u, m_site->Release());  // the worker let its site go
        m_site.Release();
        m_db->Revoke();
        EXPECT_TRUE(m_db->WaitNotificationsIdle(kTestWaitMs));
        m_db.reset();
        EngineRegistryFixture::TearDown();
    }

    // Runs the search pass on the fixture's connections.
    HRESULT Pass(LPCWSTR query, ULONG flags = 0x80000000, ULONG mask = 0xFFFF)
    {
        return m_worker->SearchAndQueue(m_write, m_search, query, flags, mask);
    }

    // Item ids of the database's state writes, each with the property=value pairs written, in order.
    std::vector<std::wstring> Writes() const
    {
        std::vector<std::wstring> writes;
        for (const CdbCall& call : m_db->Control().Calls(CdbMethod::SetValues))
        {
            std::wstring text = call.text;
            for (size_t i = 0; i < call.numbers.size(); ++i)
                text += L" " + std::to_wstring(call.numbers[i]) + L"=" + call.values[i];
            writes.push_back(text);
        }
        return writes;
    }

    // "file category flags" of each item handed to the site, in order.
    std::vector<std::wstring> HandedOver() const
    {
        std::vector<std::wstring> handed;
        for (const QueueItemCall& call : m_site->QueueItemCalls().Calls())
        {
            wchar_t text[64];
            swprintf(text, 64, L" %lx %lx", static_cast<unsigned long>(call.category), call.queueFlags);
            handed.push_back(call.location.substr(call.location.rfind(L'\\') + 1) + text);
        }
        return handed;
    }

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
    CComPtr<CManagerSite> m_site;
    std::unique_ptr<CMediaCatalogueBuilder> m_media;
    std::unique_ptr<CPluginDbSearchThread> m_worker;
    CKdCdbMgr m_write;
    CKdCdbMgr m_search;
};
