#pragma once
#include <windows.h>

// Numbers the content database and the workers agree on. Property numbers are signed 32-bit;
// every value is exchanged as text, integers in decimal.

// Pseudo-properties.
constexpr LONG kPropItemId = -1;     // the item's id
constexpr LONG kPropItemClass = -2;  // the item's class code (kItemClass... below)

// Item properties.
constexpr LONG kPropItemState = 0x0068;          // 2 marks an item the workers skip
constexpr LONG kPropBroadcastType = 0x009F;      // a number or a name
constexpr LONG kPropAnalysisState0 = 0x00AF;     // overall state (low 4 bits) and engines 2 to 8
constexpr LONG kPropAnalysisState1 = 0x00B0;     // engines 9 to 16
constexpr LONG kPropAnalysisState2 = 0x00B1;     // engines 17 to 24
constexpr LONG kPropAnalysisState3 = 0x00B2;     // engines 25 to 32
constexpr LONG kPropDerivedFrom = 0x00B4;        // id of the item a derived item derives from
constexpr LONG kPropSourceApplication = 0x00CB;  // recorder name ":" importer name
constexpr LONG kPropMarker = 0x00D1;             // only its emptiness is used
constexpr LONG kPropDerivedLabel = 0x00F1;       // "cm", "goods" or "shop" mark a derived item
constexpr LONG kPropContainerKey = 0x00F5;       // ties a class-612 item to its containers
constexpr LONG kPropMimeType = 0x00F7;
constexpr LONG kPropPath = 0x01F4;               // full path of the item's file
constexpr LONG kPropMemberList = 0x0207;         // collection members, ids separated by ";"

// Paths of the files that belong to an item besides its main file. Always used as this list, in
// this order.
inline constexpr LONG kAssociatedFileProps[] = {
    0x01F8, 0x0203, 0x0204, 0x0205, 0x0206, 0x0209, 0x020A,
    0x020B, 0x020C, 0x020D, 0x020E, 0x020F, 0x0210, 0x0213,
};
constexpr ULONG kAssociatedFilePropCount = sizeof(kAssociatedFileProps) / sizeof(kAssociatedFileProps[0]);

// Item class codes (values of kPropItemClass).
constexpr LONG kAnyItemClass = -1;  // "no class filter" where a class is asked for
constexpr LONG kItemClassUnknown = 0;
constexpr LONG kItemClassAudio = 100;
constexpr LONG kItemClassImage = 200;
constexpr LONG kItemClassVideo = 300;
constexpr LONG kItemClassContainer = 600;
constexpr LONG kItemClassDerived610 = 610;
constexpr LONG kItemClassDerived611 = 611;
constexpr LONG kItemClassDerived612 = 612;
constexpr LONG kItemClassContainer620 = 620;  // servers of version 3.0.0 and later
constexpr LONG kItemClassContainer630 = 630;  // servers of version 3.0.0 and later
constexpr LONG kItemClassCollection650 = 650;
constexpr LONG kItemClassCollection700 = 700;

// Content categories: an item gets at most one bit; a mask is an OR of them.
constexpr ULONG kCategoryNone = 0x00;
constexpr ULONG kCategoryVideoAnalogue = 0x01;  // video from an analogue source
constexpr ULONG kCategoryVideoDigital = 0x02;   // video from a digital source
constexpr ULONG kCategoryVideoPlain = 0x04;     // video with neither source application nor marker
constexpr ULONG kCategoryImage = 0x08;
constexpr ULONG kCategoryAudio = 0x10;        // audio without the marker
constexpr ULONG kCategoryAudioMarked = 0x20;  // audio with the marker
constexpr ULONG kCategoryAll = 0xFFFF;
