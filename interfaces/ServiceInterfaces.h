#pragma once
// Interfaces of the product's outside services that the plug-in calls: the busy-notify service,
// the folder-list service and the file examiner. Only the methods the plug-in uses are named; the others are
// reserved slots so that the used ones sit at the positions the services implement them at
// (positions count from 0, 0 to 2 being IUnknown's).
#include <windows.h>
#include <unknwn.h>
#include <oaidl.h>
#include "interfaces/LayoutChecks.h"

// {EFB2ECA8-9E83-4E8E-9FBE-6D7159E439C6}
inline const CLSID CLSID_BusyNotify = {0xefb2eca8, 0x9e83, 0x4e8e, {0x9f, 0xbe, 0x6d, 0x71, 0x59, 0xe4, 0x39, 0xc6}};
// {FEAD6654-E0D4-4DB5-9E91-A3288D5548A1}
inline const IID IID_IBusyNotify = {0xfead6654, 0xe0d4, 0x4db5, {0x9e, 0x91, 0xa3, 0x28, 0x8d, 0x55, 0x48, 0xa1}};
// {8F4C757B-8F0F-4390-92C3-84C22BF03BAE}
inline const CLSID CLSID_FolderList = {0x8f4c757b, 0x8f0f, 0x4390, {0x92, 0xc3, 0x84, 0xc2, 0x2b, 0xf0, 0x3b, 0xae}};
// {75C562BC-B25F-43E2-A388-46E0C1168031}
inline const IID IID_IFolderList = {0x75c562bc, 0xb25f, 0x43e2, {0xa3, 0x88, 0x46, 0xe0, 0xc1, 0x16, 0x80, 0x31}};
// {3D0F2B6E-71C4-4A8B-B5E2-9C61D0A47F13}
inline const CLSID CLSID_FileExaminer = {0x3d0f2b6e, 0x71c4, 0x4a8b, {0xb5, 0xe2, 0x9c, 0x61, 0xd0, 0xa4, 0x7f, 0x13}};
// {A6E81C52-0B9D-4F37-8D14-E2753BC906A8}
inline const IID IID_IFileExaminer = {0xa6e81c52, 0x0b9d, 0x4f37, {0x8d, 0x14, 0xe2, 0x75, 0x3b, 0xc9, 0x06, 0xa8}};

// Value passed to NotifyBusy when work starts to be held back.
constexpr ULONG kBusyNotifyPendingWork = 0x10001;

// Told when a process starts holding work, so that the product does not treat it as idle.
struct IBusyNotify : public IUnknown
{
    // Only success or failure of the call is looked at; context and result are empty VARIANTs.
    virtual HRESULT STDMETHODCALLTYPE NotifyBusy(ULONG processId, ULONG value, VARIANT context, VARIANT* result) = 0;  // 3
};

// The folders the product lists. Files under an entry with flag 0 are given longer to settle
// before they are analysed.
struct IFolderList : public IUnknown
{
    LUM_RESERVED_SLOT(3) LUM_RESERVED_SLOT(4) LUM_RESERVED_SLOT(5) LUM_RESERVED_SLOT(6) LUM_RESERVED_SLOT(7)
    LUM_RESERVED_SLOT(8) LUM_RESERVED_SLOT(9) LUM_RESERVED_SLOT(10)
    // S_OK and the number of entries; reserved is not used.
    virtual HRESULT STDMETHODCALLTYPE GetCount(LONG* count, LONG* reserved) = 0;                   // 11
    // Entry `index` (0-based): its folder, a second text and three numbers, the last of which is
    // the entry's flag (0: a folder to consider). The caller frees both texts.
    virtual HRESULT STDMETHODCALLTYPE GetEntry(LONG index, BSTR* folder, BSTR* other, LONG* first, LONG* second,
                                               LONG* flag) = 0;                                    // 12
};

// Part types of IFileExaminer::GetPart that the clean-up compares.
constexpr USHORT kExaminerPartVideo = 1;
constexpr USHORT kExaminerPartAudio = 2;
// Bit of IFileExaminer::ComparePart's flags: the container holds this part of the source.
constexpr ULONG kExaminerPartMatches = 0x1;

// Tells whether a container file still holds what its source file holds. The caller names the
// source and the container, looks for the first video or audio part of the source and compares
// that part with the container. The reserved arguments are 0 (mode of ComparePart: 1).
struct IFileExaminer : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE OpenSource(ULONG reserved, BSTR path) = 0;                   // 3
    virtual HRESULT STDMETHODCALLTYPE OpenContainer(ULONG reserved, BSTR path) = 0;                // 4
    virtual HRESULT STDMETHODCALLTYPE GetPartCount(ULONG reserved, ULONG* count) = 0;              // 5
    // Part `index` of the source: an id, its type (kExaminerPart...), its start and its length.
    virtual HRESULT STDMETHODCALLTYPE GetPart(ULONG reserved, ULONG index, ULONG* id, USHORT* type, ULONG* start,
                                              ULONG* length) = 0;                                  // 6
    // options is empty; flags gets kExaminerPartMatches when the container holds the part.
    virtual HRESULT STDMETHODCALLTYPE ComparePart(ULONG mode, ULONG reserved, ULONG index, VARIANT options,
                                                  ULONG* flags) = 0;                               // 7
};
