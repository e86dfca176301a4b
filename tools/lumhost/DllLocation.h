#pragma once
#include <string>

// The plug-in DLL a host loads when none is named: the one next to the running program, else
// `builtPath` (the build's own DLL as a Unix path, seen through drive Z:; may be null).
std::wstring DefaultPluginDllPath(const char* builtPath);
