#pragma once
#include <windows.h>
#include <vector>
#include "common/ComPtr.h"
#include "common/String.h"
#include "interfaces/PluginInterfaces.h"

// The manager's plug-in lists and its engine index table, read from the registry below a product
// root under HKEY_LOCAL_MACHINE (kProductRootKey in the product; tests pass a scratch root):
//   <root>\<list>\{class id}                 values "Module ID", "Enable", "Order", "Type",
//                                            "MetadataVersion", "Input1/2", "Output1/2",
//                                            "Loading", "ExcludedEngine"
//   <root>\Setting\LumSiftMgr\EngineFlag\{class id}   values "Index", "MetadataVersion", "Module ID"
// Nothing is cached: every caller reads the lists afresh.

// A new object of an engine plug-in class, asked for the engine interface; null when it cannot
// be created or is no engine. Needs COM on the calling thread.
CComPtr<ILumMgrPluginEngine> CreateEnginePlugin(REFCLSID classId);

// One listed plug-in.
struct PluginRecord
{
    CString classIdText;      // registry form: braced, upper-case
    GUID classId = GUID_NULL;
    ULONG order = 0;
    // The number of the engine's 4-bit state field, 2 or more once assigned; 0 when the index
    // table does not list the class id with an index of 2 or more.
    ULONG engineIndex = 0;
    CString moduleId;
    LONG loading = 0;
    LONG input1 = -1;
    LONG input2 = -1;
    LONG output1 = -1;
    LONG output2 = -1;
    ULONG type = 0;
    DWORD metadataVersion = 0;    // the list's "MetadataVersion"
    DWORD indexTableVersion = 0;  // the index table's "MetadataVersion" of the engine; 0 when none
    std::vector<GUID> excludedEngines;
};

// The list that bits 16 to 23 of listSelector choose (0x10000 engines, 0x20000 database-notify,
// 0x40000 queue, 0x80000 timer plug-ins), appended to `records` in enumeration order. Listed
// are the enabled plug-ins that can be created and answer the engine interface. Enumeration of a
// key ends at the first subkey whose name is not a class id.
// Returns the error of opening the root or the list key as an HRESULT (nothing appended),
// E_INVALIDARG for a selector naming no list, else S_OK. Raises CHResultException only when
// memory runs out.
HRESULT ReadPluginList(std::vector<PluginRecord>& records, ULONG listSelector, const wchar_t* rootPath);

// The engine plug-ins, sorted by order, each with an engine index of 2 or more; indexes new to
// the index table are written there. `records` is emptied first. Registry write failures are
// ignored: the indexes stay assigned in the records. Raises CHResultException only when memory
// runs out.
void ReadEnginePlugins(std::vector<PluginRecord>& records, const wchar_t* rootPath);
