#include "com/Module.h"

#include "com/ModuleLock.h"
#include "com/Registrar.h"
#include "common/ComCall.h"
#include "common/HResult.h"
#include "common/String.h"

CComDllModule::CComDllModule(CObjectMapEntry* objectMap, size_t entryCount) noexcept
    : m_objectMap(objectMap), m_entryCount(objectMap ? entryCount : 0), m_instance(GetResourceInstance())
{
    if (InitializeCriticalSectionAndSpinCount(&m_lock, 0))
        m_lockReady = true;
    else
        m_initResult = HResultFromLastError();
}

CComDllModule::~CComDllModule()
{
    Term();
    if (m_lockReady)
        DeleteCriticalSection(&m_lock);
}

void CComDllModule::Lock() noexcept
{
    if (m_lockReady)
        EnterRankedCriticalSection(&m_lock, LockRank::ModuleClassObjects);
}

void CComDllModule::Unlock() noexcept
{
    if (m_lockReady)
        LeaveRankedCriticalSection(&m_lock, LockRank::ModuleClassObjects);
}

HRESULT CComDllModule::GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (FAILED(m_initResult))
        return m_initResult;
    for (size_t i = 0; i < m_entryCount; ++i)
    {
        CObjectMapEntry& entry = m_objectMap[i];
        if (!entry.clsid || !IsEqualCLSID(clsid, *entry.clsid))
            continue;
        // Two threads asking at once must end up with the same class object.
        Lock();
        HRESULT hr = S_OK;
        if (!entry.classFactory)
            hr = CComClassFactory::Create(entry.createInstance, &entry.classFactory);
        if (SUCCEEDED(hr))
            hr = entry.classFactory->QueryInterface(iid, out);
        Unlock();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CComDllModule::CanUnloadNow() const noexcept
{
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT CComDllModule::UpdateRegistryFromResource(UINT resourceId, bool doRegister) noexcept
{
    return CatchAsHResult([&] {
        // Room for the longest path there is, so that one call does.
        constexpr DWORD kLongestPath = 0x8000;
        CString path;
        const DWORD length = GetModuleFileNameW(m_instance, path.GetBuffer(kLongestPath), kLongestPath + 1);
        path.ReleaseBuffer(length <= kLongestPath ? static_cast<int>(length) : 0);
        if (length == 0 || length > kLongestPath)
            return HResultFromLastError();
        return ApplyRegistryResource(m_instance, resourceId, path, doRegister);
    });
}

HRESULT CComDllModule::RegisterServer(bool registerTypeLib) noexcept
{
    if (registerTypeLib)
        return E_NOTIMPL;
    for (size_t i = 0; i < m_entryCount; ++i)
    {
        const HRESULT hr = UpdateRegistryFromResource(m_objectMap[i].registryResourceId, true);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CComDllModule::UnregisterServer(bool unregisterTypeLib) noexcept
{
    if (unregisterTypeLib)
        return E_NOTIMPL;
    HRESULT first = S_OK;
    for (size_t i = 0; i < m_entryCount; ++i)
    {
        const HRESULT hr = UpdateRegistryFromResource(m_objectMap[i].registryResourceId, false);
        if (FAILED(hr) && SUCCEEDED(first))
            first = hr;
    }
    return first;
}

void CComDllModule::Term() noexcept
{
    for (size_t i = 0; i < m_entryCount; ++i)
    {
        if (IClassFactory* factory = m_objectMap[i].classFactory)
        {
            m_objectMap[i].classFactory = nullptr;
            factory->Release();
        }
    }
}
