#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <list>
#include <memory>
#include <string>
#include <vector>
#include "common/ComPtr.h"
#include "common/ProductKeys.h"
#include "common/RegKey.h"
#include "contentdb/KdCdbMgr.h"
#include "search/PluginDbSearchThread.h"
#include "standins/AnalysisEngine.h"
#include "standins/ContentDatabase.h"
#include "standins/ManagerSite.h"
#include "standins/MediaCatalogueBuilder.h"
#include "tests/support/RegistryProbe.h"
#include "tests/support/TestSync.h"

// What every search test stands on: the stand-in database and site, media items backed by real
// files, a search worker without a thread with a write and a search connection, as the passes get
// them, and a registry of its own: HKEY_LOCAL_MACHINE is redirected to a scratch key of the current
// user, so that nothing of the prefix's machine keys is touched. Stand-in engines are registered
// with COM and listed under the product root as the manager lists them.
class SearchTest : public ::testing::Test
{
protected:
    using Media = CMediaCatalogueBuilder::Media;
    static constexpr wchar_t kScratch[] = L"Software\\LumTest\\Search";

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        registry_probe::DeleteTree(HKEY_CURRENT_USER, kScratch);
        ASSERT_EQ(ERROR_SUCCESS, m_machine.Create(HKEY_CURRENT_USER, kScratch, KEY_ALL_ACCESS));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_machine));
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
        m_engines.clear();
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        m_machine.Close();
        registry_probe::DeleteTree(HKEY_CURRENT_USER, kScratch);
        CoUninitialize();
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
            swprintf(text, 64, L" %x %x", call.category, call.queueFlags);
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

public:
    // Test engine class ids, distinct by number.
    static GUID EngineId(ULONG number)
    {
        return GUID{0x5e1f7000 + number, 0x3b2a, 0x4c11, {0x8d, 0x40, 0x22, 0x6b, 0x91, 0x0e, 0x7a, 0x15}};
    }
    static ULONG EngineNumber(const GUID& id) { return id.Data1 - EngineId(0).Data1; }
    static std::wstring EngineKey(ULONG number) { return GuidToString(EngineId(number)).GetString(); }
    static std::wstring Root() { return kProductRootKey; }

protected:
    static std::wstring EngineListPath(ULONG number) { return Root() + L"\\Engine Plugins\\" + EngineKey(number); }
    static std::wstring IndexTablePath(ULONG number)
    {
        return Root() + L"\\" + kEngineIndexTableKey + L"\\" + EngineKey(number);
    }
    static std::wstring SettingsPath() { return Root() + L"\\" + kPluginSettingsKey; }
    static std::wstring VersionPath(ULONG category, ULONG engine)
    {
        wchar_t name[16];
        swprintf(name, 16, L"0x%04x", static_cast<unsigned>(category));
        return SettingsPath() + L"\\MetadataVersion\\" + name + L"\\" + EngineKey(engine);
    }

    // Registers engine `number` with COM, answering `categoryMask`.
    CAnalysisEngineClassState& AddEngineClass(ULONG number, ULONG categoryMask)
    {
        m_engines.emplace_back();
        EXPECT_EQ(S_OK, m_engines.back().Register(EngineId(number), categoryMask));
        return m_engines.back().State();
    }

    // Registers engine `number` and lists it with an order and a metadata version (0: no value).
    CAnalysisEngineClassState& AddEngine(ULONG number, ULONG categoryMask, DWORD order, DWORD metadataVersion = 0)
    {
        SetDword(EngineListPath(number), L"Order", order);
        if (metadataVersion != 0)
            SetDword(EngineListPath(number), L"MetadataVersion", metadataVersion);
        SetString(EngineListPath(number), L"Module ID", (L"Engine" + std::to_wstring(number)).c_str());
        return AddEngineClass(number, categoryMask);
    }

    // Index-table entry of engine `number` (version 0: no value).
    static void SetTableEntry(ULONG number, DWORD index, DWORD metadataVersion = 0)
    {
        SetDword(IndexTablePath(number), L"Index", index);
        if (metadataVersion != 0)
            SetDword(IndexTablePath(number), L"MetadataVersion", metadataVersion);
    }

    static void SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        CRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, path.c_str()));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes));
    }
    static void SetDword(const std::wstring& path, const wchar_t* name, DWORD value)
    {
        SetValue(path, name, REG_DWORD, &value, sizeof(value));
    }
    static void SetString(const std::wstring& path, const wchar_t* name, const wchar_t* text, DWORD type = REG_SZ)
    {
        SetValue(path, name, type, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    }
    // The DWORD value, or 0xDEADBEEF when there is none.
    static DWORD ReadDword(const std::wstring& path, const wchar_t* name)
    {
        return registry_probe::ReadDword(HKEY_LOCAL_MACHINE, path, name).value_or(0xDEADBEEF);
    }
    static std::wstring ReadString(const std::wstring& path, const wchar_t* name)
    {
        return registry_probe::ReadString(HKEY_LOCAL_MACHINE, path, name).value_or(L"<none>");
    }
    static bool KeyExists(const std::wstring& path) { return registry_probe::KeyExists(HKEY_LOCAL_MACHINE, path); }

    std::shared_ptr<CContentDatabase> m_db;
    CComPtr<CManagerSite> m_site;
    std::unique_ptr<CMediaCatalogueBuilder> m_media;
    std::unique_ptr<CPluginDbSearchThread> m_worker;
    CKdCdbMgr m_write;
    CKdCdbMgr m_search;

private:
    CRegKey m_machine;
    std::list<CAnalysisEngineRegistration> m_engines;
};
