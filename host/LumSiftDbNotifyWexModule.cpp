#include "host/LumSiftDbNotifyWexModule.h"

#include "common/ComCall.h"
#include "common/EventLog.h"
#include "common/String.h"
#include "host/PluginDbNotify.h"
#include "host/PluginRegistration.h"
#include "host/resource.h"
#include "interfaces/PluginInterfaces.h"
// Made by windmc from host/LumSiftDbNotifyWexMessages.mc.
#include "LumSiftDbNotifyWexMessages.h"

// The ids the plug-in reports are those of the message table it carries.
static_assert(MSG_DATABASE_NOT_OPENED == kEventDatabaseNotOpened, "message table and event ids differ");
static_assert(MSG_DELAY_QUEUE_NOT_READ == kEventDelayQueueNotRead, "message table and event ids differ");
static_assert(MSG_DELAY_QUEUE_NOT_WRITTEN == kEventDelayQueueNotWritten, "message table and event ids differ");
static_assert(MSG_WORKER_ENDED_BY_FORCE == kEventWorkerEndedByForce, "message table and event ids differ");
static_assert(MSG_ENGINE_PLUGIN_NOT_CREATED == kEventEnginePluginNotCreated, "message table and event ids differ");
static_assert(MSG_TRACE_STOPPED == kEventTraceStopped, "message table and event ids differ");

CLumSiftDbNotifyWexModule g_module;

namespace
{
// The registry script is ANSI text, read in the thread's code page: it is read with the system
// default locale, whatever the calling thread was set to, and the caller's locale comes back.
class CSystemLocaleScope
{
public:
    CSystemLocaleScope() noexcept : m_previous(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~CSystemLocaleScope() { SetThreadLocale(m_previous); }
    CSystemLocaleScope(const CSystemLocaleScope&) = delete;
    CSystemLocaleScope& operator=(const CSystemLocaleScope&) = delete;

private:
    LCID m_previous;
};
}  // namespace

CLumSiftDbNotifyWexModule::CLumSiftDbNotifyWexModule() noexcept
    : CComDllModule(m_objectMap, 1),
      m_objectMap{{&CLSID_PluginDbNotify, &CreateComInstance<CPluginDbNotify>, IDR_PLUGINDBNOTIFY, nullptr}}
{
}

HRESULT CLumSiftDbNotifyWexModule::DllRegisterServer() noexcept
{
    HRESULT hr = ComCall([&] {
        const CString moduleId(static_cast<UINT>(IDS_MODULE_ID));
        return RegisterPlugin(kProductRootKey, CLSID_PluginDbNotify, kPluginTypeDbNotify, moduleId, kPluginOrder,
                              kPluginEnable);
    });
    if (FAILED(hr))
        return hr;
    CSystemLocaleScope locale;
    return RegisterServer(false);
}

HRESULT CLumSiftDbNotifyWexModule::DllUnregisterServer() noexcept
{
    UnregisterPlugin(kProductRootKey, CLSID_PluginDbNotify, kPluginTypeDbNotify);
    CSystemLocaleScope locale;
    const HRESULT hr = UnregisterServer(false);
    return FAILED(hr) ? hr : S_OK;
}
