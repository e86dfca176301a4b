// lumhost: the reference host. Plays the manager around the plug-in DLL against a real folder and
// prints what happens; see LumHostUsage() for the options.
#include <windows.h>
#include <objbase.h>
#include <string>
#include <vector>
#include "common/Path.h"
#include "tools/lumhost/CommandReader.h"
#include "tools/lumhost/DllLocation.h"
#include "tools/lumhost/HostCommand.h"
#include "tools/lumhost/LumHostOptions.h"
#include "tools/lumhost/PluginHost.h"
#include "tools/lumhost/ProgramArguments.h"
#include "tools/lumhost/StopSignal.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr DWORD kPollMs = 250;

std::wstring StopReason(bool timeUp)
{
    DWORD control = 0;
    if (StopSignal::FromConsole(control))
        return control == CTRL_C_EVENT ? L"Ctrl+C" : control == CTRL_BREAK_EVENT ? L"Ctrl+Break" : L"console closing";
    return timeUp ? L"time limit reached" : L"stop requested";
}
}  // namespace

int main()
{
    CTimeline timeline;
    CLumHostOptions options;
    std::wstring error;
    switch (ParseLumHostOptions(ProgramArguments(), options, error))
    {
    case LumHostParse::Help:
        timeline.PrintPlain(LumHostUsage());
        return kExitOk;
    case LumHostParse::Error:
        timeline.PrintError(L"lumhost: " + error + L"\n(lumhost --help lists the options)");
        return kExitUsage;
    case LumHostParse::Run:
        break;
    }
    if (!CheckMediaFolder(options, error))
    {
        timeline.PrintError(L"lumhost: " + error);
        return kExitUsage;
    }
    if (options.dllPath.empty())
        // The build defines where its own DLL is.
        options.dllPath = DefaultPluginDllPath(LUM_BUILD_DLL_PATH);
    if (!StopSignal::Install())
        timeline.Print(L"cannot catch Ctrl+C: it will end lumhost without clean-up");

    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init))
    {
        timeline.PrintError(L"lumhost: COM does not start: " + FormatText(L"0x%08lX", static_cast<unsigned long>(init)));
        return kExitFailed;
    }
    HRESULT result;
    {
        CPluginHost host(timeline);
        result = host.Start(options, StopSignal::Event());
        bool timeUp = false;
        bool quit = false;
        CCommandReader commands;
        if (SUCCEEDED(result))
        {
            // The command being typed is the timeline's bottom line when both are on the console.
            DWORD mode = 0;
            CCommandReader::TypingListener onTyping;
            if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
                onTyping = [&timeline](const std::wstring& typed) { timeline.SetPrompt(typed); };
            if (FAILED(commands.Start(GetStdHandle(STD_INPUT_HANDLE), onTyping)))
                timeline.Print(L"no standard input: commands cannot be typed");
            while (!quit)
            {
                HANDLE handles[3] = {StopSignal::Event(), commands.LinesWaiting(), host.ProgressEvent()};
                const DWORD count = handles[2] ? 3 : 2;
                if (WaitForMultipleObjects(count, handles, FALSE, kPollMs) == WAIT_OBJECT_0)
                    break;
                std::wstring line;
                while (!quit && commands.TakeLine(line))
                {
                    const CHostCommand command = ParseHostCommand(line);
                    if (command.kind != CHostCommand::Kind::None)
                        timeline.Print(L"command        " + line);
                    quit = !host.Execute(command);
                }
                host.Poll();
                if (options.seconds && GetTickCount() - timeline.StartTick() >= options.seconds * 1000)
                {
                    timeUp = true;
                    break;
                }
            }
            host.Poll();
            timeline.Print(L"ending: " + (quit ? std::wstring(L"quit typed") : StopReason(timeUp)));
        }
        commands.Stop();
        timeline.ClearPrompt();
        host.Stop();
        if (SUCCEEDED(result))
            host.PrintSummary();
    }
    CoUninitialize();
    StopSignal::CleanupDone();
    return SUCCEEDED(result) ? kExitOk : kExitFailed;
}
