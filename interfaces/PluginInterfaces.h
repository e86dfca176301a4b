#pragma once
// The plug-in's own COM interfaces: what the manager calls (engine, database notify) and the
// outgoing queue event it subscribes to. Method order is binding: the manager calls by slot.
#include <windows.h>
#include <unknwn.h>
#include <oaidl.h>
#include "interfaces/LayoutChecks.h"

// {E8356F7A-A97E-4794-97DD-C715322472E3}
inline const CLSID CLSID_PluginDbNotify = {0xe8356f7a, 0xa97e, 0x4794, {0x97, 0xdd, 0xc7, 0x15, 0x32, 0x24, 0x72, 0xe3}};
// Written into the class registration's TypeLib key; the module carries no type library.
inline const GUID LIBID_PluginDbNotify = {0x7e0d1125, 0xf981, 0x4afd, {0xa6, 0xd2, 0xe8, 0x51, 0xe3, 0xed, 0xe2, 0x9e}};
inline const IID IID_ILumMgrPluginEngine = {0x8a06c144, 0xff97, 0x4b35, {0x88, 0x04, 0xf7, 0x00, 0x7f, 0x74, 0x3c, 0xe3}};
inline const IID IID_ILumMgrPluginDatabaseNotify = {0x0dd64fa5, 0xc712, 0x4fa5, {0xa9, 0x43, 0x71, 0xf0, 0xe8, 0xab, 0xa1, 0x4d}};
inline const IID IID_ILumMgrPluginDatabaseNotify2 = {0xc24b4bc7, 0x5b89, 0x4a80, {0x96, 0x0b, 0xba, 0x63, 0xcc, 0x2e, 0x00, 0xe8}};
inline const IID IID_ILumMgrPluginQueueEvents = {0x7b1a1c46, 0x0174, 0x49d9, {0x95, 0xae, 0x4d, 0x99, 0x02, 0x1f, 0xaf, 0x56}};

// The plug-in's own GetProperty beyond the manager's two (0x11000, 0x11001): VT_UI4, how many of the
// module's threads were ended by force since it was loaded.
constexpr LONG kPropertyThreadsEndedByForce = 0x11F00;
// VT_UI4: how many file deletions and overwrites the file guard refused since the module was loaded.
constexpr LONG kPropertyRefusedFileChanges = 0x11F01;
// VT_BSTR: the most recent of those refusals, a line each ("deletion refused, <reason>: <path>").
constexpr LONG kPropertyRecentRefusedFileChanges = 0x11F02;

// Engine control surface. Analysis engines implement it too; the manager and this plug-in's search
// worker call theirs (GetCategoryMask).
struct ILumMgrPluginEngine : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetProperty(LONG propertyId, VARIANT* value) = 0;            // 0
    virtual HRESULT STDMETHODCALLTYPE SetProperty(LONG propertyId, VARIANT value) = 0;             // 1
    virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(LONG propertyId, VARIANT* info) = 0;         // 2
    virtual HRESULT STDMETHODCALLTYPE Start(ULONG startFlags, BSTR startContext, VARIANT options) = 0;  // 3
    virtual HRESULT STDMETHODCALLTYPE Stop(VARIANT options) = 0;                                   // 4
    virtual HRESULT STDMETHODCALLTYPE Pause(VARIANT options) = 0;                                  // 5
    virtual HRESULT STDMETHODCALLTYPE Resume(VARIANT options) = 0;                                 // 6
    virtual HRESULT STDMETHODCALLTYPE SetOption(ULONG value) = 0;                                  // 7
    virtual HRESULT STDMETHODCALLTYPE GetOptionFlag(VARIANT_BOOL* flag) = 0;                       // 8
    virtual HRESULT STDMETHODCALLTYPE Abort(VARIANT options) = 0;                                  // 9
    virtual HRESULT STDMETHODCALLTYPE GetState(ULONG* state) = 0;                                  // 10
    virtual HRESULT STDMETHODCALLTYPE GetProgress(ULONG* progress) = 0;                            // 11
    virtual HRESULT STDMETHODCALLTYPE GetProgressEventName(BSTR* name) = 0;                        // 12
    virtual HRESULT STDMETHODCALLTYPE GetModuleId(BSTR* moduleId) = 0;                             // 13
    virtual HRESULT STDMETHODCALLTYPE GetCategoryMask(ULONG* mask) = 0;                            // 14
    virtual HRESULT STDMETHODCALLTYPE GetClassId(VARIANT* classId) = 0;                            // 15
    virtual HRESULT STDMETHODCALLTYPE GetOptionFlag2(VARIANT_BOOL* flag) = 0;                      // 16
    virtual HRESULT STDMETHODCALLTYPE GetProcessId(ULONG* processId, VARIANT* reserved) = 0;       // 17
    virtual HRESULT STDMETHODCALLTYPE TakeStartContext(BSTR* context) = 0;                         // 18
};

// The manager's database-notify entry.
struct ILumMgrPluginDatabaseNotify : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Connect(IUnknown* site, VARIANT options) = 0;               // 0
    virtual HRESULT STDMETHODCALLTYPE Disconnect(VARIANT options) = 0;                            // 1
    virtual HRESULT STDMETHODCALLTYPE GetNotifyFlag(VARIANT_BOOL* flag) = 0;                      // 2
    virtual HRESULT STDMETHODCALLTYPE GetInterval(ULONG* milliseconds) = 0;                       // 3
    virtual HRESULT STDMETHODCALLTYPE SetInterval(ULONG milliseconds) = 0;                        // 4
};

// Adds the questions about the requests being held back.
struct ILumMgrPluginDatabaseNotify2 : public ILumMgrPluginDatabaseNotify
{
    virtual HRESULT STDMETHODCALLTYPE GetPendingCount(ULONG* count) = 0;                          // 5
    virtual HRESULT STDMETHODCALLTYPE GetPendingItems(ULONG skip, ULONG maxCount, VARIANT* items) = 0;  // 6
    virtual HRESULT STDMETHODCALLTYPE CancelPending(BSTR item) = 0;                               // 7
};

// Outgoing: the manager's sink for the pending-count event.
struct ILumMgrPluginQueueEvents : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE OnPendingCountChanged(VARIANT count) = 0;                   // 0
};
