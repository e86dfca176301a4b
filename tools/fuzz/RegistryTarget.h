#pragma once
#include <windows.h>
#include <list>
#include <memory>
#include <string>
#include "common/RegKey.h"
#include "standins/AnalysisEngine.h"
#include "tools/fuzz/FuzzTarget.h"
#include "tools/soak/ScratchMachineKey.h"

// Every registry value the plug-in reads, written with every type and size, then read by the
// plug-in's readers: the plug-in and engine lists, the engine index table, the metadata versions,
// the clean-up class and a file type's registration. HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT are
// scratch keys of the current user while the target runs. The oracle: engine indexes of 2 and up,
// each once, in plug-in order; masks within what was asked; the clean-up class and the MIME type
// are what the written bytes say; no text holds a NUL.
class CRegistryTarget : public CFuzzTarget
{
public:
    CRegistryTarget() : CFuzzTarget("registry", "config") {}
    std::string SetUp() override;
    void TearDown() override;
    std::vector<FuzzBytes> Seeds() override;
    std::string Run(const FuzzBytes& input) override;
    std::string Reached() const override;

private:
    std::unique_ptr<CScratchMachineKey> m_machine;
    CRegKey m_classes;  // the scratch key standing in for HKEY_CLASSES_ROOT
    std::list<CAnalysisEngineRegistration> m_engines;
    uint64_t m_withEngines = 0;       // inputs whose engine list was not empty
    uint64_t m_cleanUpClasses = 0;    // inputs whose clean-up class read as a number other than 0
    uint64_t m_registeredTypes = 0;   // inputs whose MIME type came from the written content type
};
