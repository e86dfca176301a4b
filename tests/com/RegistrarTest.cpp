#include <gtest/gtest.h>
#include <string>
#include "com/Registrar.h"
#include "tests/com/ComTestResources.h"
#include "tests/support/RegistryProbe.h"

using namespace registry_probe;

namespace
{
const std::wstring kBase = L"Software\\LumTest\\Registrar";
// Quotes and percent signs in a replacement value are taken literally.
const wchar_t kModulePath[] = L"C:\\O'Brien\\50%\\plugin.dll";

// The shape of a class registration, under HKCU so that the test needs no rights.
const wchar_t kClassScript[] = LR"(
HKCU { NoRemove Software { NoRemove LumTest { NoRemove Registrar
{
    ForceRemove {11111111-2222-3333-4444-555555555555} = s 'Test Class'
    {
        InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Both' }
        TypeLib = s '{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}'
    }
    Shared
    {
        val Count = d 42
        val Mask = d '4294967295'
        val Rate = s '100%'
        'Key With Spaces' = s 'it''s quoted'
    }
} } } }
)";

const std::wstring kClassKey = kBase + L"\\{11111111-2222-3333-4444-555555555555}";
const std::wstring kSharedKey = kBase + L"\\Shared";

class RegistrarTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DeleteTree(HKEY_CURRENT_USER, kBase);
        ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kBase));
    }
    void TearDown() override { DeleteTree(HKEY_CURRENT_USER, kBase); }

    static HRESULT Register(const wchar_t* script) { return ApplyRegistryScript(script, kModulePath, true); }
    static HRESULT Unregister(const wchar_t* script) { return ApplyRegistryScript(script, kModulePath, false); }
};
}  // namespace

TEST_F(RegistrarTest, RegisterWritesKeysValuesAndReplacements)
{
    ASSERT_EQ(S_OK, Register(kClassScript));

    EXPECT_EQ(L"Test Class", ReadString(HKEY_CURRENT_USER, kClassKey, nullptr));
    EXPECT_EQ(kModulePath, ReadString(HKEY_CURRENT_USER, kClassKey + L"\\InprocServer32", nullptr));
    EXPECT_EQ(L"Both", ReadString(HKEY_CURRENT_USER, kClassKey + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}", ReadString(HKEY_CURRENT_USER, kClassKey + L"\\TypeLib", nullptr));
    EXPECT_EQ(42u, ReadDword(HKEY_CURRENT_USER, kSharedKey, L"Count"));
    EXPECT_EQ(0xFFFFFFFFu, ReadDword(HKEY_CURRENT_USER, kSharedKey, L"Mask"));
    EXPECT_EQ(L"100%", ReadString(HKEY_CURRENT_USER, kSharedKey, L"Rate"));
    EXPECT_EQ(L"it's quoted", ReadString(HKEY_CURRENT_USER, kSharedKey + L"\\Key With Spaces", nullptr));
}

TEST_F(RegistrarTest, ForceRemoveKeyIsWrittenAnewOnEveryRegistration)
{
    ASSERT_EQ(S_OK, Register(kClassScript));
    // Left-overs of an older registration inside the ForceRemove key go; beside it they stay.
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, kClassKey + L"\\LocalServer32", nullptr, L"old.exe"));
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, kClassKey, L"Stale", L"x"));
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, kSharedKey, L"Foreign", L"y"));

    ASSERT_EQ(S_OK, Register(kClassScript));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClassKey + L"\\LocalServer32"));
    EXPECT_EQ(std::nullopt, ReadString(HKEY_CURRENT_USER, kClassKey, L"Stale"));
    EXPECT_EQ(L"Both", ReadString(HKEY_CURRENT_USER, kClassKey + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"y", ReadString(HKEY_CURRENT_USER, kSharedKey, L"Foreign"));
    EXPECT_EQ(42u, ReadDword(HKEY_CURRENT_USER, kSharedKey, L"Count"));
}

// Unregistering takes away the ForceRemove keys with all in them, foreign content included, and
// nothing else: plain and NoRemove keys stay with their values.
TEST_F(RegistrarTest, UnregisterRemovesTheForceRemoveKeysAlone)
{
    ASSERT_EQ(S_OK, Register(kClassScript));
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, kClassKey + L"\\Extra", nullptr, L"foreign"));
    ASSERT_EQ(S_OK, Unregister(kClassScript));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClassKey));
    EXPECT_EQ(42u, ReadDword(HKEY_CURRENT_USER, kSharedKey, L"Count"));
    EXPECT_EQ(L"it's quoted", ReadString(HKEY_CURRENT_USER, kSharedKey + L"\\Key With Spaces", nullptr));

    // Nothing left to remove, not even the NoRemove keys: no error, and nothing is made.
    EXPECT_EQ(S_OK, Unregister(kClassScript));
    DeleteTree(HKEY_CURRENT_USER, kBase);
    EXPECT_EQ(S_OK, Unregister(kClassScript));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kBase));
}

TEST_F(RegistrarTest, RegisterFromResourceReadsTheAnsiScript)
{
    const std::wstring key = L"Software\\LumTest\\ModuleTest";
    ASSERT_EQ(S_OK, ApplyRegistryResource(GetModuleHandleW(nullptr), IDR_MODULE_TEST_SCRIPT, kModulePath, true));
    EXPECT_EQ(L"Module Test Class", ReadString(HKEY_CURRENT_USER, key, nullptr));
    EXPECT_EQ(kModulePath, ReadString(HKEY_CURRENT_USER, key + L"\\InprocServer32", nullptr));
    ASSERT_EQ(S_OK, ApplyRegistryResource(GetModuleHandleW(nullptr), IDR_MODULE_TEST_SCRIPT, kModulePath, false));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
}

TEST_F(RegistrarTest, BadArgumentsAreRefusedAndAnEmptyScriptDoesNothing)
{
    const HRESULT hr = ApplyRegistryResource(GetModuleHandleW(nullptr), 999, kModulePath, true);
    EXPECT_TRUE(hr == HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND) ||
                hr == HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND))
        << std::hex << hr;
    EXPECT_EQ(E_INVALIDARG, ApplyRegistryResource(GetModuleHandleW(nullptr), IDR_MODULE_TEST_SCRIPT, nullptr, true));
    EXPECT_EQ(E_INVALIDARG, Unregister(nullptr));
    EXPECT_EQ(S_OK, Register(L" \r\n\t "));
    EXPECT_EQ(S_OK, Unregister(L""));
}

// Every broken script starts with a valid key, which must not be written: a script is read whole
// before anything is applied.
TEST_F(RegistrarTest, BrokenScriptsAreRefusedWithoutWritingAnything)
{
    const std::wstring prefix = L"HKCU { NoRemove Software { NoRemove LumTest { NoRemove Registrar { Partial = s 'x' ";
    std::wstring deep = L"Other {";
    for (int i = 0; i < 10000; ++i)
        deep += L" K {";  // refused, not recursed without end
    const struct { const char* what; std::wstring tail; } cases[] = {
        {"missing closing braces", L"Other"},
        {"unknown value type", L"Other = q 'x' } } } }"},
        {"letters in a number", L"Other = d 12z } } } }"},
        {"number past 32 bits", L"Other = d 4294967296 } } } }"},
        {"negative number", L"Other = d -1 } } } }"},
        {"unterminated string", L"Other = s 'abc } } } }"},
        {"equals without a value", L"Other = } } } }"},
        {"value without its type", L"Other = 'abc' } } } }"},
        {"val without equals", L"Other { val Name s 'x' } } } } }"},
        {"val without a name", L"Other { val } } } } }"},
        {"flag without a key name", L"NoRemove } } } }"},
        {"empty key name", L"'' = s 'x' } } } }"},
        {"stray closing brace at the end", L"} } } } }"},
        {"unknown root key", L"} } } } HKU { A }"},
        {"value at the root", L"} } } } HKCU { val A = s 'x' }"},
        {"root without a body", L"} } } } HKCU"},
        {"root with a default value", L"} } } } HKCU = s 'x' { }"},
        {"deep nesting", deep},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::wstring script = prefix + c.tail;
        EXPECT_EQ(kHrRegistryScriptSyntax, Register(script.c_str()));
        EXPECT_EQ(kHrRegistryScriptSyntax, Unregister(script.c_str()));
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kBase + L"\\Partial"));
    }
}
