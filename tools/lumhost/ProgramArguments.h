#pragma once
#include <string>
#include <vector>

// The running program's arguments, without the program's name.
std::vector<std::wstring> ProgramArguments();
