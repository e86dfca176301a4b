#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include "common/ComPtr.h"
#include "standins/ClassRegistration.h"
#include "standins/ContentDatabase.h"
#include "standins/ManagerSite.h"
#include "standins/ScratchFolder.h"
#include "standins/ServiceStandIns.h"
#include "tools/fuzz/FuzzTarget.h"
#include "tools/soak/ScratchMachineKey.h"

// The manager's arguments to every method of the plug-in object: one object per input, connected
// or not, with a sink or not, with requests pending (from the delay-queue file) or not, then up to 24 calls of any method with
// any VARIANT (every VARTYPE, by reference, arrays), null pointers, huge counts and BSTRs with
// NULs inside. The oracle: every call returns; GetPendingItems hands back no more than asked, as
// an array of BSTRs with S_OK or VT_EMPTY with S_FALSE.
class CManagerTarget : public CFuzzTarget
{
public:
    CManagerTarget() : CFuzzTarget("manager", "config") {}
    std::string SetUp() override;
    void TearDown() override;
    std::vector<FuzzBytes> Seeds() override;
    bool Generate(CSoakRandom& random, FuzzBytes& input) override;
    std::string Run(const FuzzBytes& input) override;
    std::string Reached() const override;

private:
    std::unique_ptr<CScratchMachineKey> m_machine;
    std::shared_ptr<CContentDatabase> m_db;
    CServiceStandIns m_services;
    CClassRegistration m_examiner;  // a clean-up's repair creates it
    CComPtr<CManagerSite> m_site;
    std::unique_ptr<CScratchFolder> m_scratch;
    uint64_t m_calls = 0;
    uint64_t m_pages = 0;  // GetPendingItems answered with paths  // media files of the items that make requests pending
};
