#pragma once
#include <windows.h>
#include "standins/ClassRegistration.h"

// The manager's outside services as a host puts them in place for the plug-in: the busy-notify,
// folder-list and manager-status classes, creatable in this process, their class-wide answers,
// faults and records reset first. Revoked on the registering thread, at Revoke or scope end.
class CServiceStandIns
{
public:
    HRESULT Register();
    void Revoke();

private:
    CClassRegistration m_busyNotify;
    CClassRegistration m_folderList;
    CClassRegistration m_managerStatus;
};
