// Writes a fixed sequence through lumhost's timeline on a console: live lines rewritten above a
// prompt, a live line that shrinks, the prompt changed and taken away. typed_commands_in_tmux.sh
// runs it in a terminal and reads the screen back.
#include <windows.h>
#include "tools/lumhost/Timeline.h"

int main()
{
    CTimeline timeline;
    timeline.Print(L"first line");
    timeline.SetPrompt(L"sea");
    for (int percent = 0; percent <= 100; percent += 25)
        timeline.PrintLive(FormatText(L"progress       bar %d%%", percent));
    timeline.Print(L"after the live line");
    timeline.PrintLive(L"progress       long live line, longer than the next");
    timeline.PrintLive(L"progress       short");
    timeline.SetPrompt(L"search");
    timeline.Print(L"last line");
    // The screen as it stands with the prompt shown.
    Sleep(3000);
    timeline.ClearPrompt();
    timeline.PrintPlain(L"plain after the prompt");
    return 0;
}
