#pragma once
#include <windows.h>
#include <list>
#include <string>
#include <vector>
#include "common/ProductKeys.h"
#include "common/Scoped.h"
#include "tools/lumhost/EngineOption.h"

class CAnalysisEngineRegistration;
struct CAnalysisEngineClassState;

// The product's registry entries that lumhost's manager makes for the plug-in's searches: the
// stand-in analysis engines in the "Engine Plugins" list (each class made creatable through COM),
// their engine indexes in the manager's index table, their metadata versions, and values of the
// plug-in's settings key ("CleanUpObjectClass", "TraceLevel"). Remove takes away every key of
// lumhost's engines, the versions the plug-in recorded for them included, and puts each setting
// back as it was.
//
// Engine class ids are lumhost's own, one per position in the list, so that a key left by a run
// that was killed is recognised and removed by the next one.
class CManagerRegistry
{
public:
    struct Engine
    {
        CEngineOption option;
        GUID classId = GUID_NULL;
        ULONG index = 0;  // its state field; 0 when the manager's list reading left it out
    };

    explicit CManagerRegistry(const wchar_t* rootPath = kProductRootKey);
    ~CManagerRegistry();
    CManagerRegistry(const CManagerRegistry&) = delete;
    CManagerRegistry& operator=(const CManagerRegistry&) = delete;

    // Registers the creatable engine classes and lists every engine, then reads the list back as
    // the manager does, which assigns the engine indexes. The calling thread must be in the
    // multi-threaded apartment and is the one that must call Remove.
    HRESULT Install(const std::vector<CEngineOption>& engines);
    // Sets a DWORD value of the plug-in's settings key until Remove (again and again if need be).
    HRESULT SetPluginSetting(const wchar_t* name, DWORD value);
    // The engine's listed metadata version; false with a message for an unknown engine or a
    // registry failure.
    bool SetVersion(const std::wstring& moduleId, DWORD version, std::wstring& error);

    std::vector<Engine> Engines() const;
    // The state fields of the listed engines that analyse `category`.
    std::vector<ULONG> IndexesFor(ULONG category) const;
    // The module id of the engine with this state field; empty when none.
    std::wstring NameOfIndex(ULONG index) const;
    // What the registered engine classes answer, so that a caller can fail their creation or their
    // category mask; one per creatable engine, in list order. Valid until Remove.
    std::vector<CAnalysisEngineClassState*> EngineClassStates();

    void Remove();

    static GUID EngineClassId(size_t position);

private:
    std::wstring ListKey(const GUID& classId) const;
    void RemoveKeysOf(size_t engineCount);

    const std::wstring m_root;
    mutable CCriticalSection m_lock{LockRank::Outside};
    std::vector<Engine> m_engines;  // guarded by m_lock
    std::list<CAnalysisEngineRegistration> m_registrations;
    bool m_installed = false;

    // A settings value as it was before lumhost first set it.
    struct SettingBefore
    {
        std::wstring name;
        bool existed = false;
        DWORD value = 0;
    };
    std::vector<SettingBefore> m_settingsBefore;
};

// Deletes HKLM\<path> only when it holds no subkey and no value.
void DeleteRegistryKeyIfEmpty(HKEY parent, const wchar_t* path);
