#include "tools/fuzz/FuzzOptions.h"

#include <cwchar>

namespace
{
bool ReadNumber(const std::wstring& text, uint64_t& value)
{
    if (text.empty())
        return false;
    wchar_t* end = nullptr;
    value = std::wcstoull(text.c_str(), &end, 0);
    return end && *end == 0 && text[0] != L'-';
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t ch : text)
        narrow.push_back(ch < 0x80 ? static_cast<char>(ch) : '?');
    return narrow;
}
}  // namespace

std::wstring FuzzUsage()
{
    return L"lumfuzz [options]: feeds seeded random and mutated input to every way outside data comes in\n"
           L"  --seed N         the generator's seed (1); the same seed gives the same inputs\n"
           L"  --time SECONDS   run each target this long\n"
           L"  --inputs N       run each target for N inputs (10000 when neither is given)\n"
           L"  --target NAME    only this target (repeatable)\n"
           L"  --group NAME     only the targets of this group (repeatable)\n"
           L"  --index N        run input N of the target alone (a finding's reproducer)\n"
           L"  --input-ms N     an input running longer is a hang (30000)\n"
           L"  --sample N       inputs between two samples of handles and heap (10000)\n"
           L"  --list           list the targets with their groups\n"
           L"Exit code 0 without findings, 1 with findings, 2 bad options, 3 a hang, 4 a crash.";
}

FuzzParse ParseFuzzOptions(const std::vector<std::wstring>& arguments, CFuzzOptions& options, std::wstring& error)
{
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const std::wstring& name = arguments[i];
        if (name == L"--help" || name == L"-h")
            return FuzzParse::Help;
        if (name == L"--list")
        {
            options.list = true;
            continue;
        }
        if (i + 1 >= arguments.size())
        {
            error = name + L" needs a value (or is unknown)";
            return FuzzParse::Error;
        }
        const std::wstring& value = arguments[++i];
        uint64_t number = 0;
        const bool numeric = ReadNumber(value, number);
        if (name == L"--target")
            options.targets.push_back(Narrow(value));
        else if (name == L"--group")
            options.groups.push_back(Narrow(value));
        else if (name == L"--time")
        {
            wchar_t* end = nullptr;
            options.seconds = std::wcstod(value.c_str(), &end);
            if (!end || *end != 0 || !(options.seconds > 0))
            {
                error = L"--time needs a positive number of seconds";
                return FuzzParse::Error;
            }
        }
        else if (!numeric)
        {
            error = name + L" needs a number, or is unknown";
            return FuzzParse::Error;
        }
        else if (name == L"--seed")
            options.seed = number;
        else if (name == L"--inputs" && number > 0)
            options.inputs = number;
        else if (name == L"--index")
            options.index = number;
        else if (name == L"--input-ms" && number > 0 && number <= 0x7FFFFFFF)
            options.inputLimitMs = static_cast<DWORD>(number);
        else if (name == L"--sample" && number > 0)
            options.sampleEvery = number;
        else
        {
            error = L"unknown option or bad value: " + name + L" " + value;
            return FuzzParse::Error;
        }
    }
    if (options.seconds == 0 && options.inputs == 0)
        options.inputs = CFuzzOptions::kDefaultInputs;
    return FuzzParse::Run;
}
