#pragma once
#include <windows.h>
#include <atomic>
#include <memory>
#include "com/ComObject.h"
#include "interfaces/PluginInterfaces.h"
#include "standins/FaultControl.h"
#include "standins/FreeThreadedMarshaler.h"
#include "standins/LiveObjectCount.h"

// One analysis engine class of the manager, as the plug-in sees it: an object creatable under a
// class id the test chooses, answering the engine interface and its category mask. What the class
// answers is set on its registration and shared by all its objects.
struct CAnalysisEngineClassState
{
    std::atomic<ULONG> categoryMask{0};
    std::atomic<bool> answersEngineInterface{true};
    std::atomic<LONG> categoryMaskCalls{0};
    CFaultControl create;           // a failure makes CoCreateInstance fail with it
    CFaultControl getCategoryMask;  // a failure is answered and the mask left untouched
};

// Makes an engine class creatable (CoCreateInstance, class context 0x17) from any thread of this
// process while registered. Revoked at destruction, on the thread that registered it.
class CAnalysisEngineRegistration
{
public:
    CAnalysisEngineRegistration();
    ~CAnalysisEngineRegistration();
    CAnalysisEngineRegistration(const CAnalysisEngineRegistration&) = delete;
    CAnalysisEngineRegistration& operator=(const CAnalysisEngineRegistration&) = delete;

    // CO_E_OBJISREG when already registered.
    HRESULT Register(REFCLSID classId, ULONG categoryMask);
    void Revoke();

    CAnalysisEngineClassState& State() noexcept { return *m_state; }

private:
    std::shared_ptr<CAnalysisEngineClassState> m_state;
    DWORD m_cookie = 0;
};

class CAnalysisEngine : public CComObjectRootEx,
                        public ILumMgrPluginEngine,
                        public CLiveObjectCount<CAnalysisEngine>
{
public:
    void Attach(std::shared_ptr<CAnalysisEngineClassState> state) { m_state = std::move(state); }

    HRESULT FinalConstruct() { return m_marshaler.Create(GetControllingUnknown()); }
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // ILumMgrPluginEngine: only the category mask is answered.
    HRESULT STDMETHODCALLTYPE GetCategoryMask(ULONG* mask) override;
    HRESULT STDMETHODCALLTYPE GetProperty(LONG, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProperty(LONG, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyInfo(LONG, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Start(ULONG, BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Pause(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resume(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOption(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOptionFlag(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Abort(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetState(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetProgress(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetProgressEventName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetModuleId(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetClassId(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOptionFlag2(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetProcessId(ULONG*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE TakeStartContext(BSTR*) override { return E_NOTIMPL; }

private:
    std::shared_ptr<CAnalysisEngineClassState> m_state;
    CFreeThreadedMarshaler m_marshaler;
};
