#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "common/RegKey.h"

// HKEY_LOCAL_MACHINE of this process redirected to a scratch key of the current user, so that the
// product keys the manager and the plug-in write go there and nothing of the machine's keys is
// touched. The scratch key is deleted when the redirection ends.
class CScratchMachineKey
{
public:
    explicit CScratchMachineKey(std::wstring scratchPath);
    ~CScratchMachineKey();
    CScratchMachineKey(const CScratchMachineKey&) = delete;
    CScratchMachineKey& operator=(const CScratchMachineKey&) = delete;

    HRESULT Redirect();
    // Every key and value under the scratch key, as "path" and "path\name" lines.
    std::vector<std::wstring> Contents() const;
    // Ends the redirection and deletes the scratch key; false when it could not be deleted.
    bool End();

private:
    const std::wstring m_path;
    CRegKey m_key;
    bool m_redirected = false;
};
