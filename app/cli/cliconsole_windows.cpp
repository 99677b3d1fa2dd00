// The console on Windows: console handles, Ctrl+C and Ctrl+Break as console control
// events, and text in UTF-8.
#include "cliconsole.h"

#include <atomic>
#include <cstdlib>

#include <windows.h>

namespace {

// The console's output code page before the program set it to UTF-8, 0 if untouched;
// the console is shared with the shell, which gets it back as it was.
std::atomic<UINT> savedOutputCodePage{0};

void restoreOutputCodePage()
{
    if (const UINT codePage = savedOutputCodePage.exchange(0))
        SetConsoleOutputCP(codePage);
}

// Called on a thread of its own, for each console control event.
BOOL WINAPI onControlEvent(DWORD event)
{
    // Closing the console window, logging off and shutting down end the program as usual.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (CliConsole::countInterrupt()) {
        restoreOutputCodePage();
        // At once, as _Exit does on Unix. Exiting the usual way from this thread would
        // first run every DLL's detach code, which can wait for ever on a lock the
        // interrupted main thread holds.
        TerminateProcess(GetCurrentProcess(), CliConsole::InterruptedExitCode);
    }
    return TRUE;
}

// A console, not a file, a pipe or the NUL device (which _isatty takes for a terminal).
bool isConsole(DWORD standardHandle)
{
    DWORD consoleMode = 0;
    return GetConsoleMode(GetStdHandle(standardHandle), &consoleMode) != 0;
}

} // namespace

namespace CliConsole {

bool stdinIsTerminal()
{
    return isConsole(STD_INPUT_HANDLE);
}

bool stdoutIsTerminal()
{
    return isConsole(STD_OUTPUT_HANDLE);
}

QByteArray encode(const QString &text)
{
    // UTF-8, the same bytes --json writes: in the ANSI code page a file name in
    // another script would come out as question marks. A console shows UTF-8 right
    // in its UTF-8 code page, set for as long as the program runs.
    static const bool consolePrepared = [] {
        const UINT before = GetConsoleOutputCP(); // 0 without a console
        if (before != 0 && before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
            savedOutputCodePage = before;
            std::atexit(restoreOutputCodePage);
        }
        return true;
    }();
    Q_UNUSED(consolePrepared)
    return text.toUtf8();
}

void installInterruptHandler()
{
    SetConsoleCtrlHandler(onControlEvent, TRUE);
}

} // namespace CliConsole
