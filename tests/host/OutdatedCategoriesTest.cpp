// GetProperty 0x11000 and 0x11001: the categories whose analysis metadata is out of date, from the
// engines listed under the product root at the time of the call.
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "host/PluginDbNotify.h"
#include "tests/search/EngineRegistryFixture.h"

namespace
{
class OutdatedCategoriesTest : public EngineRegistryFixture
{
protected:
    OutdatedCategoriesTest() : EngineRegistryFixture(L"OutdatedCategories") {}
};
}  // namespace

TEST_F(OutdatedCategoriesTest, AnswersTheOutdatedCategoriesOfTheListedEngines)
{
    CComPtr<ILumMgrPluginEngine> engine;
    ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine)));
    // The mask answered, or 0xDEAD when the answer is not S_OK with a VT_UI4.
    auto OutdatedMask = [&](LONG propertyId) -> ULONG {
        CScopedVariant value;
        if (engine->GetProperty(propertyId, value.Get()) != S_OK || V_VT(value.Get()) != VT_UI4)
            return 0xDEAD;
        return V_UI4(value.Get());
    };
    EXPECT_EQ(0u, OutdatedMask(0x11000));  // no engine list at all

    AddEngine(1, 0x09, 1, 0x00020000);  // nothing recorded: 1.0 counts
    SetTableEntry(1, 3);
    AddEngine(2, 0x0C, 2, 0x00010002);
    SetDword(Root() + L"\\Setting\\LumSiftDbNotifyWex\\MetadataVersion\\0x0004\\" + EngineKey(2), L"MetadataVersion",
             0x00010001);
    SetTableEntry(2, 2, 0x00010002);  // stands for what 0x0008 never recorded
    EXPECT_EQ(0x09u, OutdatedMask(0x11000));
    EXPECT_EQ(0x0Du, OutdatedMask(0x11001));

    // Read afresh at every call: an engine the manager installed in between counts at once.
    AddEngine(3, 0x20, 3, 0x00030000);
    SetTableEntry(3, 4);
    EXPECT_EQ(0x29u, OutdatedMask(0x11000));
    EXPECT_EQ(0x2Du, OutdatedMask(0x11001));
    EXPECT_EQ(0, CAnalysisEngine::LiveCount());
}
