#include "standins/AnalysisEngine.h"

#include <objbase.h>
#include "standins/StandinClassFactory.h"

CAnalysisEngineRegistration::CAnalysisEngineRegistration() : m_state(std::make_shared<CAnalysisEngineClassState>())
{
}

CAnalysisEngineRegistration::~CAnalysisEngineRegistration()
{
    Revoke();
}

HRESULT CAnalysisEngineRegistration::Register(REFCLSID classId, ULONG categoryMask)
{
    if (m_cookie)
        return CO_E_OBJISREG;
    m_state->categoryMask = categoryMask;
    std::shared_ptr<CAnalysisEngineClassState> state = m_state;
    return CStandinClassFactory<CAnalysisEngine>::Register(
        classId,
        [state](CAnalysisEngine& engine) {
            const HRESULT hr = state->create.Enter();
            if (SUCCEEDED(hr))
                engine.Attach(state);
            return hr;
        },
        &m_cookie);
}

void CAnalysisEngineRegistration::Revoke()
{
    if (m_cookie)
    {
        CoRevokeClassObject(m_cookie);
        m_cookie = 0;
    }
}

HRESULT CAnalysisEngine::InternalQueryInterface(REFIID iid, void** out)
{
    if (out && IsEqualIID(iid, IID_ILumMgrPluginEngine) && m_state && !m_state->answersEngineInterface)
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    const HRESULT hr = QueryInterfaceFrom(iid, out, {{&IID_ILumMgrPluginEngine, static_cast<ILumMgrPluginEngine*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

HRESULT STDMETHODCALLTYPE CAnalysisEngine::GetCategoryMask(ULONG* mask)
{
    if (!mask)
        return E_POINTER;
    if (!m_state)
        return E_UNEXPECTED;
    ++m_state->categoryMaskCalls;
    const HRESULT hr = m_state->getCategoryMask.Enter();
    if (FAILED(hr))
        return hr;
    *mask = m_state->categoryMask;
    return S_OK;
}
