#include "standins/ServiceStandIns.h"
#include "standins/BusyNotify.h"
#include "standins/FolderList.h"
#include "standins/ManagerStatus.h"

HRESULT CServiceStandIns::Register()
{
    CBusyNotify::Reset();
    CFolderList::Reset();
    CManagerStatus::Reset();
    HRESULT hr = m_busyNotify.Register<CBusyNotify>(CLSID_BusyNotify);
    if (SUCCEEDED(hr))
        hr = m_folderList.Register<CFolderList>(CLSID_FolderList);
    if (SUCCEEDED(hr))
        hr = m_managerStatus.Register<CManagerStatus>(CLSID_LumMgrStatus);
    return hr;
}

void CServiceStandIns::Revoke()
{
    m_busyNotify.Revoke();
    m_folderList.Revoke();
    m_managerStatus.Revoke();
}
