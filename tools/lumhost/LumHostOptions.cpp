#include "tools/lumhost/LumHostOptions.h"
#include <cerrno>
#include <cwchar>
#include "common/Path.h"
#include "tools/lumhost/HostCommand.h"
#include "tools/lumhost/Timeline.h"

namespace
{
// Fields 2 to 32 of the analysis state words are the engines'.
constexpr size_t kMaxEngines = 31;
constexpr ULONG kMaxAnalyseMs = 600000;
constexpr ULONG kMaxTraceLevel = 3;

// Seconds are whole, positive and at most a year, so that tick arithmetic cannot overflow.
constexpr unsigned long kMaxSeconds = 366UL * 24 * 3600;

bool ParseSeconds(const std::wstring& text, bool allowZero, DWORD& value)
{
    if (text.empty() || text[0] < L'0' || text[0] > L'9')
        return false;
    errno = 0;
    wchar_t* end = nullptr;
    const unsigned long number = wcstoul(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != L'\0' || number > kMaxSeconds || (number == 0 && !allowZero))
        return false;
    value = static_cast<DWORD>(number);
    return true;
}

bool IsHelp(const std::wstring& arg)
{
    return arg == L"--help" || arg == L"-h" || arg == L"-?" || arg == L"/?";
}
}  // namespace

LumHostParse ParseLumHostOptions(const std::vector<std::wstring>& args, CLumHostOptions& options,
                                 std::wstring& error)
{
    options = CLumHostOptions();
    error.clear();
    for (const std::wstring& arg : args)
    {
        if (IsHelp(arg))
            return LumHostParse::Help;
    }

    bool folderGiven = false;
    bool enginesGiven = false;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        // Options that take a value: the next argument, whatever it looks like.
        auto value = [&](std::wstring& out) {
            if (i + 1 >= args.size())
            {
                error = arg + L" needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto seconds = [&](DWORD& out, bool allowZero) {
            std::wstring text;
            if (!value(text))
                return false;
            if (!ParseSeconds(text, allowZero, out))
            {
                error = arg + L" wants a whole number of seconds" + (allowZero ? L"" : L" above 0") + L", not \"" +
                        text + L"\"";
                return false;
            }
            return true;
        };

        // A number from `least` to `most`; the message says what the option wants.
        auto number = [&](ULONG least, ULONG most, ULONG& out, const wchar_t* wants) {
            std::wstring text;
            if (!value(text))
                return false;
            ULONG parsed = 0;
            if (!ParseHostNumber(text, most, parsed) || parsed < least)
            {
                error = arg + L" wants " + wants + L", not \"" + text + L"\"";
                return false;
            }
            out = parsed;
            return true;
        };

        // A value read by one of the search-side parsers, whose message gets the option's name.
        auto parsed = [&](auto parse, auto& out) {
            std::wstring text;
            if (!value(text))
                return false;
            if (!parse(text, out, error))
            {
                error = arg + L": " + error;
                return false;
            }
            return true;
        };

        if (arg == L"--dll")
        {
            if (!value(options.dllPath))
                return LumHostParse::Error;
            if (options.dllPath.empty())
            {
                error = L"--dll needs a file name";
                return LumHostParse::Error;
            }
        }
        else if (arg == L"--no-register")
            options.registerPlugin = false;
        else if (arg == L"--verbose" || arg == L"-v")
            options.verbose = true;
        else if (arg == L"--seconds")
        {
            if (!seconds(options.seconds, false))
                return LumHostParse::Error;
        }
        else if (arg == L"--write-slowly")
        {
            if (!value(options.writeSlowlyPath))
                return LumHostParse::Error;
            if (options.writeSlowlyPath.empty())
            {
                error = L"--write-slowly needs a file name";
                return LumHostParse::Error;
            }
        }
        else if (arg == L"--write-seconds")
        {
            if (!seconds(options.writeSeconds, false))
                return LumHostParse::Error;
        }
        else if (arg == L"--write-after")
        {
            if (!seconds(options.writeAfterSeconds, true))
                return LumHostParse::Error;
        }
        else if (arg == L"--search")
        {
            CSearchRequest request;
            if (!parsed(ParseSearchRequest, request))
                return LumHostParse::Error;
            options.searches.push_back(request);
        }
        else if (arg == L"--engine")
        {
            CEngineOption option;
            if (!parsed(ParseEngineOption, option))
                return LumHostParse::Error;
            for (const CEngineOption& other : options.engines)
            {
                if (_wcsicmp(other.moduleId.c_str(), option.moduleId.c_str()) == 0)
                {
                    error = L"--engine: two engines named " + option.moduleId;
                    return LumHostParse::Error;
                }
            }
            if (options.engines.size() >= kMaxEngines)
            {
                error = FormatText(L"--engine: at most %u engines", static_cast<unsigned>(kMaxEngines));
                return LumHostParse::Error;
            }
            options.engines.push_back(option);
            enginesGiven = true;
        }
        else if (arg == L"--analyse-ms")
        {
            if (!number(0, kMaxAnalyseMs, options.analyseMs, L"milliseconds up to 600000"))
                return LumHostParse::Error;
        }
        else if (arg == L"--cleanup-class")
        {
            if (!number(1, 0xFFFFFFFF, options.cleanUpClass, L"an item class above 0 (300 video, 200 image, 100 audio)"))
                return LumHostParse::Error;
        }
        else if (arg == L"--trace")
        {
            if (!number(0, kMaxTraceLevel, options.traceLevel, L"a level: 0 off, 1 failures, 2 decisions, 3 detail"))
                return LumHostParse::Error;
            options.traceGiven = true;
        }
        else if (arg.size() > 1 && arg[0] == L'-')
        {
            error = L"unknown option " + arg;
            return LumHostParse::Error;
        }
        else if (folderGiven)
        {
            error = L"one media folder only (\"" + options.folder + L"\" and \"" + arg + L"\" given)";
            return LumHostParse::Error;
        }
        else if (arg.empty())
        {
            error = L"the media folder name is empty";
            return LumHostParse::Error;
        }
        else
        {
            options.folder = arg;
            folderGiven = true;
        }
    }
    if (!folderGiven)
    {
        error = L"no media folder given";
        return LumHostParse::Error;
    }
    if (!enginesGiven)
        options.engines = DefaultEngines();
    return LumHostParse::Run;
}

bool CheckMediaFolder(CLumHostOptions& options, std::wstring& error)
{
    const DWORD needed = GetFullPathNameW(options.folder.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
    {
        error = L"cannot make sense of the folder name \"" + options.folder + L"\"";
        return false;
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(options.folder.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
    {
        error = L"cannot make sense of the folder name \"" + options.folder + L"\"";
        return false;
    }
    full.resize(length);
    // "C:\media\" and "C:\media" are the same folder; a root keeps its "\".
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/'))
        full.pop_back();
    if (!DirectoryExists(MakeLongPath(full.c_str(), false, true)))
    {
        error = L"the media folder \"" + full + L"\" does not exist or is not a folder";
        return false;
    }
    options.folder = full;
    return true;
}

std::wstring LumHostUsage()
{
    return L"Usage: lumhost [options] <media folder>\n"
           L"\n"
           L"Plays the manager around the database-notify plug-in: registers the plug-in DLL, puts\n"
           L"stand-ins of the manager, its services, its analysis engines and the content database in\n"
           L"place, catalogues the media files of the folder, watches it, and turns files that appear,\n"
           L"change and disappear into the database's change notifications. Prints a timeline of what\n"
           L"happens: each notification, each pending-count event, each file the plug-in hands to the\n"
           L"manager (with its category), each manager queue entry it withdraws, each item the manager\n"
           L"analyses, and what every search does.\n"
           L"\n"
           L"Options:\n"
           L"  --dll <file>          the plug-in DLL (default: LumSiftDbNotifyWex.dll next to\n"
           L"                        lumhost.exe, else the one of the build lumhost came from)\n"
           L"  --no-register         use the plug-in's registration as it is: neither register nor\n"
           L"                        unregister (--dll is then not used)\n"
           L"  --seconds <n>         end after n seconds (default: run until Ctrl+C or quit)\n"
           L"  --verbose, -v         also show the plug-in's calls into the content database\n"
           L"  --write-slowly <file> once the plug-in listens, write this file (in the media folder\n"
           L"                        unless the name is absolute) slowly while holding it open, as a\n"
           L"                        recorder does\n"
           L"  --write-seconds <n>   how long the writer writes before closing the file (default 40)\n"
           L"  --write-after <n>     seconds to wait before the writer starts (default 0)\n"
           L"  --search <MODE[:MASK[:FLAGS]]>\n"
           L"                        start a search once the plug-in is connected; repeatable: each\n"
           L"                        starts when the one before has ended and the manager has\n"
           L"                        analysed what it was handed. MODE: full, cleanup, check (category\n"
           L"                        search with version check), category, update-major (metadata\n"
           L"                        update, major versions), update (all versions), or a number.\n"
           L"                        MASK: a number, or analogue, digital, video, image, audio, marked,\n"
           L"                        all joined by +. FLAGS: the queue flags byte (0 to 0xFF)\n"
           L"  --engine <NAME:MASK[:VERSION][:uncreatable]>\n"
           L"                        list an analysis engine (repeatable) with its category mask\n"
           L"                        (0x01-0x3F) and metadata version (2.1, or a number); uncreatable:\n"
           L"                        listed, but its class cannot be created. Default: VideoScenes:0x07,\n"
           L"                        PictureFaces:0x08 and AudioBeats:0x30, each at version 1.0\n"
           L"  --analyse-ms <n>      how long the manager takes to analyse one item (default 1000)\n"
           L"  --cleanup-class <n>   the item class whose entries the clean-up removes when their file\n"
           L"                        is gone (300 video, 200 image, 100 audio); default: none\n"
           L"  --trace <level>       the plug-in's decision trace for this run: 0 off, 1 failures,\n"
           L"                        2 decisions, 3 detail; its new lines show as trace lines\n"
           L"  --help, -h            this text\n"
           L"\n"
           L"Commands, typed on standard input while lumhost runs (one per line):\n" +
           HostCommandHelp() +
           L"\n"
           L"Ctrl+C ends lumhost cleanly: it stops a running search, disconnects and releases the\n"
           L"plug-in, withdraws the stand-ins, removes its engines' registry entries and unregisters\n"
           L"the plug-in (unless --no-register).\n"
           L"Exit codes: 0 ended as asked, 1 the plug-in or the host failed, 2 bad options or folder.\n";
}
