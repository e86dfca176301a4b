#include "tools/soak/SoakOptions.h"
#include <cwchar>

namespace
{
bool ReadNumber(const std::wstring& text, ULONG low, ULONG high, ULONG& value)
{
    if (text.empty())
        return false;
    wchar_t* end = nullptr;
    const unsigned long long number = std::wcstoull(text.c_str(), &end, 0);
    if (!end || *end != L'\0' || number < low || number > high)
        return false;
    value = static_cast<ULONG>(number);
    return true;
}
}  // namespace

SoakParse ParseSoakOptions(const std::vector<std::wstring>& args, CSoakOptions& options, std::wstring& error)
{
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& name = args[i];
        if (name == L"--help" || name == L"-h")
            return SoakParse::Help;
        if (i + 1 >= args.size())
        {
            error = name + L" needs a value";
            return SoakParse::Error;
        }
        const std::wstring& value = args[++i];
        bool ok = true;
        if (name == L"--seed")
            ok = ReadNumber(value, 0, 0xFFFFFFFF, options.seed);
        else if (name == L"--seconds")
            ok = ReadNumber(value, 1, 7 * 24 * 3600, options.seconds);
        else if (name == L"--iterations")
            ok = ReadNumber(value, 1, 0xFFFFFFFF, options.iterations);
        else if (name == L"--files")
            ok = ReadNumber(value, 4, 2000, options.files);
        else if (name == L"--long-stalls")
            ok = ReadNumber(value, 0, 100, options.longStalls);
        else if (name == L"--dll")
            options.dllPath = value;
        else
        {
            error = L"unknown option " + name;
            return SoakParse::Error;
        }
        if (!ok)
        {
            error = L"bad value for " + name + L": " + value;
            return SoakParse::Error;
        }
    }
    if (options.seconds == 0 && options.iterations == 0)
        options.seconds = 20;
    return SoakParse::Run;
}

std::wstring SoakUsage()
{
    return L"lumsoak [--seed N] [--seconds S | --iterations N] [--files N] [--long-stalls PERCENT] [--dll PATH]\n"
           L"Drives the plug-in DLL as the manager does, with every stand-in and injected faults, for S\n"
           L"seconds or N operations (20 seconds by default); the same seed gives the same operations.\n"
           L"--long-stalls holds that share of the database stalls past the plug-in's stop time-out.\n"
           L"Prints the figures and the end checks; exits 1 when a check fails.";
}
