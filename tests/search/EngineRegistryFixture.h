#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <list>
#include <string>
#include "common/ProductKeys.h"
#include "common/RegKey.h"
#include "standins/AnalysisEngine.h"
#include "tests/support/RegistryProbe.h"

// A test's own HKEY_LOCAL_MACHINE: the process's predefined key is redirected to a scratch key of
// the current user, named per fixture, so that the product keys can be written freely and nothing
// of the prefix's machine keys is touched. Stand-in engines are registered with COM and listed
// under the product root as the manager lists them.
class EngineRegistryFixture : public ::testing::Test
{
protected:
    explicit EngineRegistryFixture(const wchar_t* scratchName) : m_scratch(std::wstring(L"Software\\LumTest\\") + scratchName) {}

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        registry_probe::DeleteTree(HKEY_CURRENT_USER, m_scratch);
        ASSERT_EQ(ERROR_SUCCESS, m_machine.Create(HKEY_CURRENT_USER, m_scratch.c_str(), KEY_ALL_ACCESS));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_machine));
    }

    void TearDown() override
    {
        m_engines.clear();
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        m_machine.Close();
        registry_probe::DeleteTree(HKEY_CURRENT_USER, m_scratch);
        CoUninitialize();
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

private:
    std::wstring m_scratch;
    CRegKey m_machine;
    std::list<CAnalysisEngineRegistration> m_engines;
};
