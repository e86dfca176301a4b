#pragma once
#include <memory>
#include <string>
#include "standins/ScratchFolder.h"
#include "tools/fuzz/FuzzTarget.h"

// The path helpers (common/Path) with drive, UNC, device and long forms, random UTF-16 with lone
// surrogates and NULs, and paths of up to 40,000 characters. The oracle: the long form adds
// exactly its prefix and strips back to the path, a root is a prefix of its path ending with "\",
// nothing is both a file and a folder, a created folder exists. Folders are created only inside
// the target's scratch folder.
class CPathTarget : public CFuzzTarget
{
public:
    CPathTarget() : CFuzzTarget("path", "paths") {}
    std::string SetUp() override;
    void TearDown() override;
    std::vector<FuzzBytes> Seeds() override;
    std::string Run(const FuzzBytes& input) override;
    std::string Reached() const override;

private:
    std::string CheckLongForms(const std::wstring& path);
    std::string CheckRoot(const std::wstring& path);
    std::string CheckExistence(const std::wstring& path);
    std::string CheckCreate(const std::wstring& tail);

    std::unique_ptr<CScratchFolder> m_folder;
    std::wstring m_scratch;  // the scratch folder, ending with "\"
    uint64_t m_longForms = 0;  // paths that MakeLongPath changed
    uint64_t m_created = 0;    // folder trees created
};
