#pragma once
// The content database manager's interface as the plug-in calls it, and the notification interface
// it calls back. Only some methods are used; the others are declared as reserved slots so that the
// used ones sit at the positions the database implements them at (positions count from 0, 0 to 2
// being IUnknown's). Every string crossing these interfaces is a BSTR unless said otherwise.
#include <windows.h>
#include <unknwn.h>
#include <oaidl.h>
#include "interfaces/LayoutChecks.h"

// {250E035C-471C-47C0-899C-F301B42F1EB8}
inline const CLSID CLSID_KdCdbManager = {0x250e035c, 0x471c, 0x47c0, {0x89, 0x9c, 0xf3, 0x01, 0xb4, 0x2f, 0x1e, 0xb8}};
// {6387A35A-BF5C-4804-B3A4-F05CD797D95A}
inline const IID IID_IKdCdbManager = {0x6387a35a, 0xbf5c, 0x4804, {0xb3, 0xa4, 0xf0, 0x5c, 0xd7, 0x97, 0xd9, 0x5a}};
// {D9EAB9C8-348A-4956-A97D-D2E524363EAC}
inline const IID IID_IKdCdbNotification = {0xd9eab9c8, 0x348a, 0x4956, {0xa9, 0x7d, 0xd2, 0xe5, 0x24, 0x36, 0x3e, 0xac}};

// Results of the database that callers act on.
constexpr HRESULT kHrCdbBusy = static_cast<HRESULT>(0x8004201C);             // Open may be repeated
constexpr HRESULT kHrCdbNoSuchItem = static_cast<HRESULT>(0x80042004);       // no item has this id
constexpr HRESULT kHrCdbNoDatabaseNames = static_cast<HRESULT>(0x8004310D);  // no database to search

// Arguments the database expects.
constexpr ULONG kCdbOpenFlags = 0x11;
constexpr ULONG kCdbInfoClientName = 1;     // SetClientInfo index
constexpr ULONG kCdbInfoServerText = 1;     // GetServerInfo index
constexpr ULONG kCdbInfoServerVersion = 2;  // GetServerInfo index: "major.minor.build"

// One property write for IKdCdbManager::SetValues. The caller owns the record, the value array
// and the BSTRs in it.
struct KdCdbPropValue
{
    LONG propId;
    ULONG valueCount;
    BSTR* values;  // valueCount BSTRs
};
static_assert(offsetof(KdCdbPropValue, valueCount) == 4 && offsetof(KdCdbPropValue, values) == 8 &&
                  sizeof(KdCdbPropValue) == (kLayout64 ? 16 : 12),
              "the database reads SetValues' records as an array of this layout");

// Called by the database on a thread of its choosing. The arrays are valid only during the call.
// changeKinds: 1 added or changed, 2 removed. The last argument is the database's own; callers
// pass it on and never read it.
struct IKdCdbNotification : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                               LONG_PTR context) = 0;  // 3
};

struct IKdCdbManager : public IUnknown
{
    // Busy answers kHrCdbBusy; the caller may try again.
    virtual HRESULT STDMETHODCALLTYPE Open(ULONG flags, ULONG count, ULONG* list) = 0;  // 3
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;                                      // 4
    virtual HRESULT STDMETHODCALLTYPE SetClientInfo(ULONG index, BSTR text) = 0;        // 5
    virtual HRESULT STDMETHODCALLTYPE GetServerInfo(ULONG index, BSTR* text) = 0;       // 6
    // A null sink unregisters.
    virtual HRESULT STDMETHODCALLTYPE SetNotificationSink(REFIID iid, IUnknown* sink) = 0;  // 7
    LUM_RESERVED_SLOT(8) LUM_RESERVED_SLOT(9) LUM_RESERVED_SLOT(10)
    // The array comes from CoTaskMemAlloc; the caller frees every element with SysFreeString and
    // the array with CoTaskMemFree.
    virtual HRESULT STDMETHODCALLTYPE GetDatabaseNames(LONG* count, BSTR** names) = 0;  // 11
    LUM_RESERVED_SLOT(12) LUM_RESERVED_SLOT(13) LUM_RESERVED_SLOT(14) LUM_RESERVED_SLOT(15) LUM_RESERVED_SLOT(16)
    LUM_RESERVED_SLOT(17) LUM_RESERVED_SLOT(18)
    // The item becomes the current result; resultCount 0 (or kHrCdbNoSuchItem) when no item has
    // this id.
    virtual HRESULT STDMETHODCALLTYPE SelectItem(BSTR itemId, ULONG reserved, ULONG propCount, LONG* propIds,
                                                 LONG* resultCount) = 0;  // 19
    virtual HRESULT STDMETHODCALLTYPE SearchRelatedByClass(BSTR itemId, ULONG classCount, LONG* classes,
                                                           ULONG reserved, ULONG zero1, ULONG zero2, ULONG zero3,
                                                           ULONG propCount, LONG* propIds, ULONG zero4, ULONG zero5,
                                                           ULONG zero6, ULONG* ignored,
                                                           LONG* resultCount) = 0;  // 20
    virtual HRESULT STDMETHODCALLTYPE SearchRelated(BSTR itemId, ULONG zero1, ULONG zero2, ULONG zero3, ULONG zero4,
                                                    ULONG zero5, ULONG propCount, LONG* propIds, ULONG zero6,
                                                    ULONG zero7, ULONG zero8, ULONG* ignored,
                                                    LONG* resultCount) = 0;  // 21
    // The first result becomes current.
    virtual HRESULT STDMETHODCALLTYPE Search(BSTR databaseName, BSTR query, ULONG zero1, ULONG zero2, ULONG zero3,
                                             ULONG propCount, LONG* propIds, ULONG option1, ULONG option2,
                                             ULONG option3, ULONG zero4, ULONG* ignored,
                                             LONG* resultCount) = 0;  // 22
    LUM_RESERVED_SLOT(23) LUM_RESERVED_SLOT(24) LUM_RESERVED_SLOT(25)
    virtual HRESULT STDMETHODCALLTYPE MoveNext() = 0;  // 26
    LUM_RESERVED_SLOT(27) LUM_RESERVED_SLOT(28) LUM_RESERVED_SLOT(29)
    // valueCount 0: the property has no value.
    virtual HRESULT STDMETHODCALLTYPE GetValue(LONG propId, ULONG index, LONG* valueCount, BSTR* value) = 0;  // 30
    LUM_RESERVED_SLOT(31) LUM_RESERVED_SLOT(32)
    virtual HRESULT STDMETHODCALLTYPE DeleteItem(BSTR itemId) = 0;  // 33
    virtual HRESULT STDMETHODCALLTYPE SetValues(BSTR itemId, ULONG count1, KdCdbPropValue* list1, ULONG count2,
                                                KdCdbPropValue* list2) = 0;  // 34
};
