#pragma once
#include <string>

// Keeps what a target makes of random text inside its scratch folder, where the code under test
// may create and delete files: the clean-up deletes the files the database names.

// The text with every ":" and "/" made "_" and every ".." broken up: appended to a folder and a
// "\", it names something inside that folder, however it is resolved.
std::wstring ConfinedTail(std::wstring tail);

// A database value as it may be stored: a text without ":", "/" or "\" stays as it is (a relative
// name lands in the current folder, which the target keeps inside the scratch folder); any other
// becomes folder + "\" + ConfinedTail(text), unless it already starts with the folder (also in
// its "\\?\" form), in which case only its rest is confined.
std::wstring ConfinedValue(const std::wstring& folder, const std::wstring& text);
