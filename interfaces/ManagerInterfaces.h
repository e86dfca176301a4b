#pragma once
// The manager's interfaces that the plug-in calls. Only some methods are used; the others are
// declared as reserved slots so that the used ones sit at the positions the manager implements
// them at (positions count from 0, 0 to 2 being IUnknown's).
#include <windows.h>
#include <unknwn.h>
#include <oaidl.h>
#include "interfaces/LayoutChecks.h"

inline const IID IID_ILumMgrPluginSite = {0x2bc41286, 0x35f3, 0x4cae, {0xa5, 0x74, 0x48, 0x5e, 0x03, 0x32, 0x95, 0x8e}};
inline const IID IID_IQueueEntry = {0x84b055f2, 0x4299, 0x4e48, {0xb1, 0x62, 0x42, 0x82, 0x16, 0x95, 0x6a, 0xca}};
inline const IID IID_ILumMgrStatus = {0xf71e4554, 0x2590, 0x40c3, {0xad, 0xc8, 0x41, 0x92, 0xca, 0x1e, 0x8c, 0x43}};
inline const CLSID CLSID_LumMgrStatus = {0x5b4eebcc, 0x3401, 0x47e1, {0x9d, 0xb8, 0xc3, 0x75, 0x21, 0x98, 0x98, 0x82}};

// The manager's callback interface, given to ILumMgrPluginDatabaseNotify::Connect.
struct ILumMgrPluginSite : public IUnknown
{
    LUM_RESERVED_SLOT(3) LUM_RESERVED_SLOT(4) LUM_RESERVED_SLOT(5) LUM_RESERVED_SLOT(6) LUM_RESERVED_SLOT(7)
    LUM_RESERVED_SLOT(8) LUM_RESERVED_SLOT(9) LUM_RESERVED_SLOT(10) LUM_RESERVED_SLOT(11)
    // S_OK when the entry was withdrawn.
    virtual HRESULT STDMETHODCALLTYPE CancelQueueEntry(BSTR entryId) = 0;                          // 12
    // VT_ARRAY of VARIANTs; the VT_UNKNOWN elements are queue entries (IQueueEntry).
    virtual HRESULT STDMETHODCALLTYPE GetQueueEntries(VARIANT* entries) = 0;                       // 13
    LUM_RESERVED_SLOT(14)
    // Queues one item for analysis.
    virtual HRESULT STDMETHODCALLTYPE QueueItem(BSTR location, LONG category, ULONG queueFlags, VARIANT* result) = 0;  // 15
};

// Queue entry values and state bits the plug-in uses.
namespace QueueEntry
{
constexpr LONG kValueId = 2;         // VT_BSTR: the entry's id
constexpr LONG kValuePath = 3;       // VT_BSTR: the entry's file path
constexpr LONG kValueWithdrawn = 8;  // VT_DATE: when the entry was withdrawn
constexpr ULONG kStateReplaceable = 0x200;
constexpr ULONG kStateWithdrawable = 0x100;
constexpr ULONG kStateWithdrawn = 0x4000;
constexpr LONG kStatusWithdrawn = 1;
}  // namespace QueueEntry

// One entry of the manager's analysis queue.
struct IQueueEntry : public IUnknown
{
    LUM_RESERVED_SLOT(3)
    virtual HRESULT STDMETHODCALLTYPE SetStatus(LONG status) = 0;                                  // 4
    virtual HRESULT STDMETHODCALLTYPE GetState(ULONG* state) = 0;                                  // 5
    virtual HRESULT STDMETHODCALLTYPE SetState(ULONG state) = 0;                                   // 6
    LUM_RESERVED_SLOT(7) LUM_RESERVED_SLOT(8) LUM_RESERVED_SLOT(9) LUM_RESERVED_SLOT(10) LUM_RESERVED_SLOT(11)
    LUM_RESERVED_SLOT(12) LUM_RESERVED_SLOT(13) LUM_RESERVED_SLOT(14)
    virtual HRESULT STDMETHODCALLTYPE GetValue(LONG valueId, VARIANT* value) = 0;                  // 15
    virtual HRESULT STDMETHODCALLTYPE SetValue(LONG valueId, VARIANT value) = 0;                   // 16
};

// The manager's status object (CLSID_LumMgrStatus).
struct ILumMgrStatus : public IUnknown
{
    LUM_RESERVED_SLOT(3) LUM_RESERVED_SLOT(4) LUM_RESERVED_SLOT(5) LUM_RESERVED_SLOT(6) LUM_RESERVED_SLOT(7)
    LUM_RESERVED_SLOT(8) LUM_RESERVED_SLOT(9) LUM_RESERVED_SLOT(10) LUM_RESERVED_SLOT(11)
    // The manager is idle when this succeeds and the two counts add up to 0.
    virtual HRESULT STDMETHODCALLTYPE GetQueueCounts(ULONG* first, ULONG* second) = 0;             // 12
};
