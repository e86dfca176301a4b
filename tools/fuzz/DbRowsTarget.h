#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include "common/ComPtr.h"
#include "standins/ClassRegistration.h"
#include "standins/ContentDatabase.h"
#include "standins/ManagerSite.h"
#include "standins/ScratchFolder.h"
#include "tools/fuzz/FuzzTarget.h"
#include "tools/soak/ScratchMachineKey.h"

class CRowsWorker;

// Database rows as the stand-in database returns them to the search worker's passes: items of any
// class with values that are empty, huge, not numbers, with NULs inside or naming no file, and
// answers reshaped past what the database would give (a count without a value, a value with a
// count of 0). Walked by the search-and-queue pass, the engine-state reset, the clean-up's
// removal steps and the container repair. Every path is confined to the target's scratch folder
// (the clean-up deletes files). The oracle: every pass returns; what is handed to the manager is
// an existing file named without a NUL; every state written is a number.
class CDbRowsTarget : public CFuzzTarget
{
public:
    CDbRowsTarget();
    ~CDbRowsTarget() override;

    std::string SetUp() override;
    void TearDown() override;
    std::vector<FuzzBytes> Seeds() override;
    bool Generate(CSoakRandom& random, FuzzBytes& input) override;
    std::string Run(const FuzzBytes& input) override;
    std::string Reached() const override;

private:
    // Fills the catalogue from the input; the files it names exist or not as the input says.
    void FillCatalogue(class CFuzzInput& in);
    std::string CheckOutcome();

    std::unique_ptr<CScratchFolder> m_scratch;
    std::unique_ptr<CScratchMachineKey> m_machine;
    std::shared_ptr<CContentDatabase> m_db;
    CComPtr<CManagerSite> m_site;
    CClassRegistration m_examiner;
    std::unique_ptr<CRowsWorker> m_worker;
    std::wstring m_previousDirectory;
    uint64_t m_handedOver = 0;
    uint64_t m_stateWrites = 0;
    uint64_t m_itemDeletions = 0;
};
