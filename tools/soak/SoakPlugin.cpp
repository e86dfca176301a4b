#include "tools/soak/SoakPlugin.h"
#include "common/Scoped.h"
#include "tools/soak/SoakCallTimes.h"

namespace
{
using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

// GetProcAddress answers a generic function pointer; the export's real type is cast back through
// the plain function type, which the compiler accepts without a warning.
template <typename Function>
Function Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

VARIANT Empty()
{
    VARIANT none;
    VariantInit(&none);
    return none;
}
}  // namespace

CSoakPlugin::CSoakPlugin(CSoakCallTimes& times, Context context) : m_times(times), m_context(std::move(context))
{
}

CSoakPlugin::~CSoakPlugin()
{
    ReleaseCurrent(false);
    Revoke();
    Unload();
}

template <typename Call>
HRESULT CSoakPlugin::Timed(const wchar_t* method, Call&& call)
{
    return m_times.Time(method, call, m_context);
}

HRESULT CSoakPlugin::Load(const std::wstring& dllPath)
{
    // Once only: the module loaded first has its class object registered and must stay.
    if (m_dll)
        return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    m_dll = LoadLibraryW(dllPath.c_str());
    if (!m_dll)
        return HRESULT_FROM_WIN32(GetLastError());
    if (!Export<GetClassObjectFunction>(m_dll, "DllGetClassObject") || !Export<CanUnloadNowFunction>(m_dll, "DllCanUnloadNow"))
        return E_NOINTERFACE;
    return Register();
}

HRESULT CSoakPlugin::Register()
{
    const auto getClassObject = m_dll ? Export<GetClassObjectFunction>(m_dll, "DllGetClassObject") : nullptr;
    if (!getClassObject)
        return E_UNEXPECTED;
    HRESULT hr = getClassObject(CLSID_PluginDbNotify, IID_IClassFactory, reinterpret_cast<void**>(&m_factory));
    if (SUCCEEDED(hr))
        hr = CoRegisterClassObject(CLSID_PluginDbNotify, m_factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                   &m_registration);
    return hr;
}

void CSoakPlugin::Revoke()
{
    if (m_registration)
        CoRevokeClassObject(m_registration);
    m_registration = 0;
    m_factory.Release();
}

HRESULT CSoakPlugin::CanUnloadNow()
{
    const auto canUnloadNow = m_dll ? Export<CanUnloadNowFunction>(m_dll, "DllCanUnloadNow") : nullptr;
    return canUnloadNow ? canUnloadNow() : E_UNEXPECTED;
}

HRESULT CSoakPlugin::WaitUntilUnloadable(DWORD timeoutMs)
{
    HRESULT hr = CanUnloadNow();
    for (const ULONGLONG start = GetTickCount64(); hr == S_FALSE && GetTickCount64() - start < timeoutMs; Sleep(50))
        hr = CanUnloadNow();
    return hr;
}

void CSoakPlugin::Unload()
{
    if (m_dll)
        FreeLibrary(m_dll);
    m_dll = nullptr;
}

void CSoakPlugin::SetManager(ILumMgrPluginSite* site, IUnknown* sink)
{
    m_site = site;
    m_sink = sink;
}

std::shared_ptr<CSoakPlugin::Instance> CSoakPlugin::Current() const
{
    CLockGuard guard(m_lock);
    return m_current;
}

bool CSoakPlugin::HasCurrent() const
{
    return Current() != nullptr;
}

HRESULT CSoakPlugin::CreateInstance(std::shared_ptr<Instance>& made)
{
    auto instance = std::make_shared<Instance>(*this);
    HRESULT hr = Timed(L"CoCreateInstance", [&] {
        return CoCreateInstance(CLSID_PluginDbNotify, nullptr, CLSCTX_INPROC_SERVER, IID_ILumMgrPluginDatabaseNotify2,
                                reinterpret_cast<void**>(&instance->notify));
    });
    if (FAILED(hr))
        return hr;
    InterlockedIncrement(&m_created);
    hr = instance->notify.QueryInterface(IID_ILumMgrPluginEngine, &instance->engine);
    CScopedBstr name;
    if (SUCCEEDED(hr))
        hr = Timed(L"GetProgressEventName", [&] { return instance->engine->GetProgressEventName(name.Receive()); });
    if (SUCCEEDED(hr) && name.Get())
        instance->progress.Reset(OpenEventW(SYNCHRONIZE, FALSE, name.Get()));
    made = std::move(instance);
    return hr;
}

HRESULT CSoakPlugin::Recreate(bool disconnectFirst)
{
    std::shared_ptr<Instance> made;
    const HRESULT hr = CreateInstance(made);
    std::shared_ptr<Instance> previous;
    {
        CLockGuard guard(m_lock);
        previous = std::exchange(m_current, made);
    }
    Release(std::move(previous), disconnectFirst);
    if (made)
        Subscribe();
    return hr;
}

void CSoakPlugin::ReleaseCurrent(bool disconnectFirst)
{
    std::shared_ptr<Instance> previous;
    {
        CLockGuard guard(m_lock);
        previous = std::exchange(m_current, nullptr);
    }
    Release(std::move(previous), disconnectFirst);
}

void CSoakPlugin::Release(std::shared_ptr<Instance> instance, bool disconnectFirst)
{
    if (!instance)
        return;
    if (disconnectFirst)
    {
        VARIANT none = Empty();
        Timed(L"Disconnect", [&] { return instance->notify->Disconnect(none); });
    }
    CLockGuard guard(instance->connectLock);
    if (instance->point)
    {
        const DWORD cookie = std::exchange(instance->cookie, 0);
        if (cookie)
            Timed(L"Unadvise", [&] { return instance->point->Unadvise(cookie); });
        instance->point.Release();
    }
}

CSoakPlugin::Instance::~Instance()
{
    point.Release();
    engine.Release();
    // The final release stops the object's workers.
    owner.Timed(L"Release", [this] {
        notify.Release();
        return S_OK;
    });
}

HRESULT CSoakPlugin::Connect(const VARIANT& options)
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    CLockGuard guard(instance->connectLock);
    return Timed(L"Connect", [&] { return instance->notify->Connect(m_site.Get(), options); });
}

HRESULT CSoakPlugin::Disconnect()
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    VARIANT none = Empty();
    return Timed(L"Disconnect", [&] { return instance->notify->Disconnect(none); });
}

HRESULT CSoakPlugin::Subscribe()
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    CLockGuard guard(instance->connectLock);
    if (instance->cookie)
        return S_FALSE;
    CComPtr<IConnectionPointContainer> container;
    HRESULT hr = instance->notify.QueryInterface(IID_IConnectionPointContainer, &container);
    if (SUCCEEDED(hr) && !instance->point)
        hr = Timed(L"FindConnectionPoint",
                   [&] { return container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &instance->point); });
    if (SUCCEEDED(hr))
        hr = Timed(L"Advise", [&] { return instance->point->Advise(m_sink.Get(), &instance->cookie); });
    return hr;
}

HRESULT CSoakPlugin::Unsubscribe()
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    CLockGuard guard(instance->connectLock);
    const DWORD cookie = std::exchange(instance->cookie, 0);
    if (!cookie || !instance->point)
        return S_FALSE;
    return Timed(L"Unadvise", [&] { return instance->point->Unadvise(cookie); });
}

HRESULT CSoakPlugin::GetPendingCount(ULONG& count)
{
    const auto instance = Current();
    return instance ? Timed(L"GetPendingCount", [&] { return instance->notify->GetPendingCount(&count); }) : E_UNEXPECTED;
}

HRESULT CSoakPlugin::GetPendingItems(ULONG skip, ULONG maxCount, std::vector<std::wstring>& paths)
{
    paths.clear();
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    CScopedVariant items;
    const HRESULT hr =
        Timed(L"GetPendingItems", [&] { return instance->notify->GetPendingItems(skip, maxCount, items.Receive()); });
    if (hr != S_OK)
        return hr;
    if (items->vt != (VT_ARRAY | VT_BSTR) || !items->parray)
        return E_UNEXPECTED;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(items->parray, 1, &low);
    SafeArrayGetUBound(items->parray, 1, &high);
    for (LONG i = low; i <= high; ++i)
    {
        BSTR text = nullptr;
        if (SUCCEEDED(SafeArrayGetElement(items->parray, &i, &text)))
        {
            paths.emplace_back(text ? text : L"", text ? SysStringLen(text) : 0);
            SysFreeString(text);
        }
    }
    return hr;
}

HRESULT CSoakPlugin::CancelPending(const wchar_t* text)
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    CScopedBstr item(text ? SysAllocString(text) : nullptr);
    return Timed(L"CancelPending", [&] { return instance->notify->CancelPending(item.Get()); });
}

HRESULT CSoakPlugin::AskNotifySettings()
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    VARIANT_BOOL flag = VARIANT_TRUE;
    ULONG interval = 0;
    HRESULT hr = Timed(L"GetNotifyFlag", [&] { return instance->notify->GetNotifyFlag(&flag); });
    if (SUCCEEDED(hr))
        hr = Timed(L"GetInterval", [&] { return instance->notify->GetInterval(&interval); });
    Timed(L"SetInterval", [&] { return instance->notify->SetInterval(interval / 2); });
    return hr;
}

HRESULT CSoakPlugin::Start(ULONG flags, const wchar_t* context)
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    CScopedBstr text(context ? SysAllocString(context) : nullptr);
    VARIANT none = Empty();
    return Timed(L"Start", [&] { return instance->engine->Start(flags, text.Get(), none); });
}

HRESULT CSoakPlugin::Pause()
{
    const auto instance = Current();
    VARIANT none = Empty();
    return instance ? Timed(L"Pause", [&] { return instance->engine->Pause(none); }) : E_UNEXPECTED;
}

HRESULT CSoakPlugin::Resume()
{
    const auto instance = Current();
    VARIANT none = Empty();
    return instance ? Timed(L"Resume", [&] { return instance->engine->Resume(none); }) : E_UNEXPECTED;
}

HRESULT CSoakPlugin::Stop()
{
    const auto instance = Current();
    VARIANT none = Empty();
    return instance ? Timed(L"Stop", [&] { return instance->engine->Stop(none); }) : E_UNEXPECTED;
}

HRESULT CSoakPlugin::Abort()
{
    const auto instance = Current();
    VARIANT none = Empty();
    return instance ? Timed(L"Abort", [&] { return instance->engine->Abort(none); }) : E_UNEXPECTED;
}

HRESULT CSoakPlugin::GetProgress(ULONG& progress)
{
    const auto instance = Current();
    return instance ? Timed(L"GetProgress", [&] { return instance->engine->GetProgress(&progress); }) : E_UNEXPECTED;
}

HRESULT CSoakPlugin::GetState(ULONG& state)
{
    const auto instance = Current();
    return instance ? Timed(L"GetState", [&] { return instance->engine->GetState(&state); }) : E_UNEXPECTED;
}

HRESULT CSoakPlugin::GetProperty(LONG id, ULONG& mask)
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    CScopedVariant value;
    const HRESULT hr = Timed(L"GetProperty", [&] { return instance->engine->GetProperty(id, value.Receive()); });
    mask = value->vt == VT_UI4 ? value->ulVal : 0;
    return hr;
}

HRESULT CSoakPlugin::AskIdentity()
{
    const auto instance = Current();
    if (!instance)
        return E_UNEXPECTED;
    CScopedBstr moduleId;
    CScopedBstr context;
    CScopedVariant classId;
    ULONG processId = 0;
    VARIANT_BOOL flag = VARIANT_TRUE;
    HRESULT hr = Timed(L"GetModuleId", [&] { return instance->engine->GetModuleId(moduleId.Receive()); });
    Timed(L"GetClassId", [&] { return instance->engine->GetClassId(classId.Receive()); });
    Timed(L"GetProcessId", [&] { return instance->engine->GetProcessId(&processId, nullptr); });
    Timed(L"TakeStartContext", [&] { return instance->engine->TakeStartContext(context.Receive()); });
    Timed(L"GetOptionFlag", [&] { return instance->engine->GetOptionFlag(&flag); });
    return hr;
}

bool CSoakPlugin::ThreadsEndedByForce(ULONG& count)
{
    CComPtr<ILumMgrPluginEngine> engine;
    if (const auto instance = Current())
    {
        engine = instance->engine;
    }
    else
    {
        // From the DLL's own class object: the class may be revoked by now.
        const auto getClassObject = m_dll ? Export<GetClassObjectFunction>(m_dll, "DllGetClassObject") : nullptr;
        CComPtr<IClassFactory> factory;
        if (!getClassObject ||
            FAILED(getClassObject(CLSID_PluginDbNotify, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
            FAILED(factory->CreateInstance(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine))))
            return false;
    }
    CScopedVariant value;
    if (!engine || engine->GetProperty(kPropertyThreadsEndedByForce, value.Receive()) != S_OK || value->vt != VT_UI4)
        return false;
    count = value->ulVal;
    return true;
}

bool CSoakPlugin::WaitProgress(DWORD ms)
{
    const auto instance = Current();
    return instance && instance->progress.IsValid() && WaitForSingleObject(instance->progress.Get(), ms) == WAIT_OBJECT_0;
}
