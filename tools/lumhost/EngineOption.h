#pragma once
#include <windows.h>
#include <string>
#include <vector>

// One stand-in analysis engine that lumhost's manager lists in its engine plug-in list.
struct CEngineOption
{
    std::wstring moduleId;   // also the name commands use
    ULONG categoryMask = 0;  // what its GetCategoryMask answers
    DWORD version = 0;       // its metadata version (major in bits 16 to 31); 0: none listed
    bool creatable = true;   // false: listed, but no class is registered for it
};

// "NAME:MASK[:VERSION][:uncreatable]": NAME letters, digits, "-" and "_"; MASK a number of 1 to
// 0x3F; VERSION "MAJOR.MINOR" or a number. False with a message naming the bad part.
bool ParseEngineOption(const std::wstring& text, CEngineOption& option, std::wstring& error);

// "MAJOR.MINOR" (each 0 to 65535) or a number of up to 0xFFFFFFFF.
bool ParseMetadataVersion(const std::wstring& text, DWORD& version);

// "2.1" for 0x00020001.
std::wstring DescribeMetadataVersion(DWORD version);

// The engines lumhost lists when none is asked for: one per kind of content.
std::vector<CEngineOption> DefaultEngines();
