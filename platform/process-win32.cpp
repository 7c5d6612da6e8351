// Process services on Windows: console control events in place of POSIX signals, exact
// sleeps that such an event cuts short, UTF-8 arguments and plain \n on the standard
// streams.
//
// A host without a console cannot send Ctrl+Break, so a line on standard input (any
// text up to a "\n") stops the process the same way: what is held is released, nothing
// more is printed, and the exit code is 0xC000013A. The end of the input alone stops
// nothing, and a console as standard input is not read.
#include "platform/platform.h"
#include "platform/process.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002 // Windows 10 1803; not in mingw-w64 10
#endif

namespace {

// The POSIX numbers the rest of the tool knows the events by.
constexpr int sigint = 2, sighup = 1, sigterm = 15;
// How Windows reports a process ended by Ctrl+C (STATUS_CONTROL_C_EXIT).
constexpr UINT controlExitCode = 0xC000013A;

std::atomic<int> pending{0};
// Until the process catches control events, a stop line ends it at once; the two must
// not cross, or the process could end just after something was pressed.
enum Phase { starting, catching, ending };
std::atomic<int> phase{starting};
void (*exitCleanup)() = nullptr;

// Set by the control handler: cuts the current sleep short.
HANDLE wakeEvent() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}
// Set once the main thread has let go of everything and is about to exit.
HANDLE doneEvent() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Records the first event and cuts the current sleep short.
void remember(int signal) {
    int none = 0;
    pending.compare_exchange_strong(none, signal);
    SetEvent(wakeEvent());
}

BOOL WINAPI onControl(DWORD type) {
    remember(type == CTRL_C_EVENT ? sigint : type == CTRL_BREAK_EVENT ? sigterm : sighup);
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT)
        return TRUE;
    // Returning from a close, logoff or shutdown event lets the system end the process
    // with an exit code of its own, racing the main thread's. So this thread never
    // returns: the main thread releases what it holds and exits with 0xC000013A, or, if
    // it has not got there within the 5 s Windows allows, this thread exits the same way.
    if (WaitForSingleObject(doneEvent(), 4500) != WAIT_OBJECT_0)
        ExitProcess(controlExitCode);
    Sleep(INFINITE);
    return TRUE;
}

// Reads standard input until a line has come, then stops the process as Ctrl+Break
// does. Reads the handle directly: the C runtime's stream lock would hold up exit. The
// read names its place and an event, so it works whether the host opened its end for
// overlapped reads or not, and on a file.
DWORD WINAPI watchInput(void* input) {
    char buffer[256];
    OVERLAPPED place{};
    place.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    unsigned long long offset = 0;
    for (DWORD got = 0;; offset += got) {
        place.Offset = static_cast<DWORD>(offset);
        place.OffsetHigh = static_cast<DWORD>(offset >> 32);
        if (!ReadFile(static_cast<HANDLE>(input), buffer, sizeof buffer, &got, &place) &&
            (GetLastError() != ERROR_IO_PENDING ||
             !GetOverlappedResult(static_cast<HANDLE>(input), &place, &got, TRUE)))
            return 0;
        if (got == 0)
            return 0; // the end of the input stops nothing
        if (std::memchr(buffer, '\n', got) == nullptr)
            continue;
        int expected = starting;
        if (phase.compare_exchange_strong(expected, ending))
            ExitProcess(controlExitCode); // what the default Ctrl+Break handler does
        remember(sigterm);
        return 0;
    }
}

long long nowNanoseconds() {
    static const long long frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart / frequency * 1000000000LL +
           c.QuadPart % frequency * 1000000000LL / frequency;
}

} // namespace

namespace platform {

std::string fromWide(const std::wstring& text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

std::vector<std::string> prepareProcess(int argc, char** argv) {
    // The C runtime turns \n into \r\n on text streams; hosts read exact lines.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A process started with CREATE_NEW_PROCESS_GROUP inherits "ignore Ctrl+C".
    SetConsoleCtrlHandler(nullptr, FALSE);
    wakeEvent();
    doneEvent();
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input && input != INVALID_HANDLE_VALUE && !GetConsoleMode(input, &mode)) {
        if (HANDLE thread = CreateThread(nullptr, 0, watchInput, input, 0, nullptr))
            CloseHandle(thread);
    }
    // The narrow argv is in the ANSI code page, which cannot hold most of Unicode (the
    // manifest's UTF-8 code page needs Windows 10 1903): read the UTF-16 command line.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return {argv, argv + argc};
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(fromWide(wide[i]));
    LocalFree(wide);
    return args;
}

void interruptibleSleep(std::uint64_t microseconds) {
    // Sleep and ordinary timers run on the 15.6 ms system tick; the high-resolution
    // timer wakes within a fraction of a millisecond without changing the system's.
    static const HANDLE timer = [] {
        HANDLE t = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
        return t ? t : CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }();
    const long long deadline = pauseDeadline(nowNanoseconds(), microseconds);
    while (pending == 0) {
        const long long left = deadline - nowNanoseconds();
        if (left <= 0)
            break;
        LARGE_INTEGER due;
        due.QuadPart = -(left + 99) / 100; // relative, in 100 ns units
        if (!timer || !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            Sleep(static_cast<DWORD>(left / 1000000 + 1));
            continue;
        }
        const HANDLE handles[] = {timer, wakeEvent()};
        WaitForMultipleObjects(handles[1] ? 2 : 1, handles, FALSE, INFINITE);
    }
}

void catchTerminationSignals() {
#ifdef MARNITH_FUZZ
    return;
#endif
    SetConsoleCtrlHandler(onControl, TRUE);
    int expected = starting;
    if (!phase.compare_exchange_strong(expected, catching))
        Sleep(INFINITE); // a stop line came first and is ending the process
}

int caughtSignal() {
    return pending;
}

// Nothing to take: outside a run a console control event or a stop line ends the process
// at once, and inside one onControl remembers it.
void honourTermination() {}

void setExitCleanup(void (*cleanup)()) {
    exitCleanup = cleanup;
}

void endBySignal(int) {
    if (exitCleanup)
        exitCleanup();
    std::fflush(stdout);
    std::fflush(stderr);
    SetEvent(doneEvent());
    ExitProcess(controlExitCode);
}

} // namespace platform
