#include "tools/lumhost/HostCommand.h"
#include <cwctype>
#include "tools/lumhost/EngineOption.h"

namespace
{
std::wstring Trimmed(const std::wstring& text)
{
    size_t first = 0;
    while (first < text.size() && iswspace(text[first]))
        ++first;
    size_t last = text.size();
    while (last > first && iswspace(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// The first word, and the rest of the line without its leading blanks.
void SplitWord(const std::wstring& text, std::wstring& word, std::wstring& rest)
{
    size_t end = 0;
    while (end < text.size() && !iswspace(text[end]))
        ++end;
    word = text.substr(0, end);
    rest = Trimmed(text.substr(end));
}

CHostCommand Invalid(const std::wstring& error)
{
    CHostCommand command;
    command.kind = CHostCommand::Kind::Invalid;
    command.error = error;
    return command;
}
}  // namespace

CHostCommand ParseHostCommand(const std::wstring& line)
{
    CHostCommand command;
    std::wstring name;
    std::wstring rest;
    SplitWord(Trimmed(line), name, rest);
    if (name.empty())
        return command;

    struct Simple
    {
        const wchar_t* name;
        CHostCommand::Kind kind;
    };
    static const Simple kSimple[] = {
        {L"pause", CHostCommand::Kind::Pause},   {L"resume", CHostCommand::Kind::Resume},
        {L"stop", CHostCommand::Kind::Stop},     {L"status", CHostCommand::Kind::Status},
        {L"help", CHostCommand::Kind::Help},     {L"quit", CHostCommand::Kind::Quit},
    };
    for (const Simple& simple : kSimple)
    {
        if (_wcsicmp(name.c_str(), simple.name) != 0)
            continue;
        if (!rest.empty())
            return Invalid(name + L" takes nothing after it");
        command.kind = simple.kind;
        return command;
    }

    if (_wcsicmp(name.c_str(), L"search") == 0)
    {
        std::wstring error;
        if (rest.empty() || rest.find_first_of(L" \t") != std::wstring::npos)
            return Invalid(L"search wants one MODE[:MASK[:FLAGS]], for example: search category:image");
        if (!ParseSearchRequest(rest, command.request, error))
            return Invalid(error);
        command.kind = CHostCommand::Kind::Search;
        return command;
    }
    if (_wcsicmp(name.c_str(), L"version") == 0)
    {
        std::wstring versionText;
        std::wstring extra;
        SplitWord(rest, command.engine, versionText);
        SplitWord(versionText, versionText, extra);
        if (command.engine.empty() || versionText.empty() || !extra.empty())
            return Invalid(L"version wants an engine and a version, for example: version PictureFaces 2.0");
        if (!ParseMetadataVersion(versionText, command.version))
            return Invalid(L"bad version \"" + versionText + L"\" (MAJOR.MINOR, or a number)");
        command.kind = CHostCommand::Kind::Version;
        return command;
    }
    if (_wcsicmp(name.c_str(), L"trace") == 0)
    {
        if (!ParseHostNumber(rest, 3, command.level))
            return Invalid(L"trace wants a level: 0 off, 1 failures, 2 decisions, 3 detail");
        command.kind = CHostCommand::Kind::Trace;
        return command;
    }
    // Commands that take a file of the media folder; blanks inside the name are the name's.
    const struct
    {
        const wchar_t* name;
        CHostCommand::Kind kind;
    } kWithFile[] = {{L"vanish", CHostCommand::Kind::Vanish}, {L"why", CHostCommand::Kind::Why}};
    for (const auto& withFile : kWithFile)
    {
        if (_wcsicmp(name.c_str(), withFile.name) != 0)
            continue;
        if (rest.empty())
            return Invalid(std::wstring(withFile.name) + L" wants a file of the media folder");
        command.kind = withFile.kind;
        command.path = rest;
        return command;
    }
    return Invalid(L"unknown command \"" + name + L"\" (help lists them)");
}

std::wstring HostCommandHelp()
{
    return L"  search MODE[:MASK[:FLAGS]]  Start a search (as --search)\n"
           L"  pause                       Pause the running search\n"
           L"  resume                      Let a paused search go on (the plug-in resumes on Start)\n"
           L"  stop                        Stop the running search\n"
           L"  version ENGINE VERSION      Give an engine a new metadata version, e.g. 2.0\n"
           L"  vanish FILE                 Delete a file of the media folder behind the database's back\n"
           L"  status                      The engine state, progress and the manager's queue\n"
           L"  trace LEVEL                 The plug-in's trace: 0 off, 1 failures, 2 decisions, 3 detail\n"
           L"  why FILE                    What the plug-in's trace holds about a file, oldest first\n"
           L"  help                        This list\n"
           L"  quit                        End lumhost, as Ctrl+C does\n";
}
