// The Windows backend's view of the desktop: whether input may be posted, the
// foreground window, processes by id, activation and the window list. The process's
// executable name stands in for a bundle identifier.
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/win32/win32.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <vector>
// clang-format off
#include <windows.h>
#include <dwmapi.h>
// clang-format on

using nlohmann::json;
using platform::win32::windowPid;

namespace {

// The macOS window level nearest to a topmost window (kCGFloatingWindowLevel).
constexpr int floatingLayer = 3;

// Who hid the window from view: DWM_CLOAKED_APP (the application), DWM_CLOAKED_SHELL (it is
// on another virtual desktop) or DWM_CLOAKED_INHERITED (its owner is cloaked); 0 for none.
DWORD cloaking(HWND w) {
    DWORD value = 0;
    // Fails where there is no DWM to ask (and under Wine): then not cloaked.
    return SUCCEEDED(DwmGetWindowAttribute(w, DWMWA_CLOAKED, &value, sizeof value)) ? value : 0;
}

// Top-level windows, front to back.
std::vector<HWND> topLevelWindows() {
    std::vector<HWND> all;
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&all));
    return all;
}

// A window the user knows as an application's window: visible, not a tool window
// (palettes and the like are not listed, nor activated). It may be cloaked.
bool applicationWindow(HWND w) {
    return IsWindowVisible(w) && !(GetWindowLongPtrW(w, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
}

// The process's topmost application window that no other window owns, or null. One on
// another virtual desktop counts (activation switches to that desktop); one the
// application cloaked itself, which it keeps out of sight, does not.
HWND mainWindow(std::int32_t pid) {
    for (HWND w : topLevelWindows()) {
        if (windowPid(w) == pid && applicationWindow(w) && !GetWindow(w, GW_OWNER) &&
            !(cloaking(w) & DWM_CLOAKED_APP))
            return w;
    }
    return nullptr;
}

// The executable's file name, as the system reports it; nothing when the process cannot
// be asked (it is gone, or more privileged).
std::optional<std::string> executableName(HANDLE process) {
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process, 0, path.data(), &size))
        return std::nullopt;
    path.resize(size);
    return platform::fromWide(path.substr(path.find_last_of(L"\\/") + 1));
}

// Executable names by pid, for the processes this run has looked at.
std::map<std::int32_t, std::optional<std::string>> executables;

// The integrity level (a mandatory label's RID) of the process's token, if readable.
std::optional<DWORD> integrityLevel(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return std::nullopt;
    std::optional<DWORD> level;
    alignas(TOKEN_MANDATORY_LABEL) unsigned char buffer[64];
    DWORD size = 0;
    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size)) {
        const PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
        const UCHAR count = *GetSidSubAuthorityCount(sid);
        if (count > 0)
            level = *GetSidSubAuthority(sid, count - 1u);
    }
    CloseHandle(token);
    return level;
}

} // namespace

namespace platform::win32 {

std::int32_t windowPid(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return static_cast<std::int32_t>(pid);
}

bool morePrivileged(HWND w) {
    static const std::optional<DWORD> own = integrityLevel(GetCurrentProcess());
    const DWORD pid = static_cast<DWORD>(windowPid(w));
    if (!own || pid == 0 || pid == GetCurrentProcessId())
        return false;
    std::optional<DWORD> level;
    if (const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
        level = integrityLevel(process);
        CloseHandle(process);
    } else if (GetLastError() != ERROR_ACCESS_DENIED) {
        return false; // gone: there is nothing to drop the input
    }
    // An elevated process refuses its token to a tool below High: the refusal is the
    // sign of the higher level. A tool at High is refused by other users' and protected
    // processes too, whatever their level: to it a refusal says nothing.
    return level ? *level > *own : *own < SECURITY_MANDATORY_HIGH_RID;
}

} // namespace platform::win32

namespace platform {

// Windows has no permission to post input. What stops it is the input desktop being
// another one (a locked workstation, a UAC prompt, the Ctrl+Alt+Del screen), and an
// application in front that runs at a higher integrity level than the tool.
bool isTrusted() {
    HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (!input)
        return false;
    auto name = [](HANDLE object) {
        wchar_t buffer[256] = {};
        DWORD needed = 0;
        GetUserObjectInformationW(object, UOI_NAME, buffer, sizeof buffer - sizeof(wchar_t),
                                  &needed);
        return std::wstring(buffer);
    };
    const bool ours = name(input) == name(GetThreadDesktop(GetCurrentThreadId()));
    CloseDesktop(input);
    return ours && !win32::morePrivileged(GetForegroundWindow());
}

// There is nothing to ask the user for on Windows.
bool isTrustedPrompting(bool) {
    return isTrusted();
}

std::optional<std::int32_t> frontmostPid() {
    const HWND front = GetForegroundWindow();
    if (!front)
        return std::nullopt;
    return windowPid(front);
}

bool runningApplication(std::int32_t pid, std::optional<std::string>& bundleId) {
    if (pid <= 0)
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return false;
    // The low two bits of a process id are ignored when opening: pid + 1 opens the same
    // process, which is not the application this pid names.
    DWORD code = 0;
    const bool live = GetProcessId(process) == static_cast<DWORD>(pid) &&
                      GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    if (live) {
        if (!executables.count(pid))
            executables[pid] = executableName(process);
        bundleId = executables[pid];
    }
    CloseHandle(process);
    return live;
}

// Nothing here waits for the application's own thread, which may be busy for seconds:
// the window is restored and raised by posted requests, and foreground changes do not
// wait for the windows involved.
void activateApplication(std::int32_t pid) {
    const HWND main = mainWindow(pid);
    if (!main)
        return;
    if (IsIconic(main))
        ShowWindowAsync(main, SW_RESTORE);
    // A modal dialog the window opened is what the user would come back to.
    const HWND w = GetLastActivePopup(main);
    const HWND front = GetForegroundWindow();
    if (windowPid(front) != pid && !SetForegroundWindow(w)) {
        // Refused by the foreground lock: share input with the foreground thread for
        // the call, which Windows allows. Only with a thread that answers within 100 ms:
        // attached, the change waits for the old window to take its deactivation, as
        // long as its thread is busy (Windows calls a thread hung only after 5 s).
        // Injecting an Alt press, the other common remedy, would send that press to
        // whichever window has the focus.
        const DWORD foreground = GetWindowThreadProcessId(front, nullptr);
        const DWORD own = GetCurrentThreadId();
        const bool attached =
            foreground && foreground != own &&
            SendMessageTimeoutW(front, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 100, nullptr) &&
            AttachThreadInput(own, foreground, TRUE);
        SetForegroundWindow(w);
        if (attached)
            AttachThreadInput(own, foreground, FALSE);
    }
    // Activation does not always raise the window (it does not under Wine).
    SetWindowPos(main, HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
    // In front in whichever of its windows.
    awaitFront([&] { return frontmostPid() == pid; },
               [](auto) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
}

const json& windowList() {
    static json list;
    list = json::array();
    for (HWND w : topLevelWindows()) {
        // Windows on other virtual desktops are not on screen.
        if (!applicationWindow(w) || IsIconic(w) || cloaking(w))
            continue;
        RECT r{};
        // The visible frame; the window rectangle holds invisible resize borders.
        if (FAILED(DwmGetWindowAttribute(w, DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof r)))
            GetWindowRect(w, &r);
        json entry = {
            {"kCGWindowNumber", reinterpret_cast<std::uintptr_t>(w)},
            {"kCGWindowLayer",
             (GetWindowLongPtrW(w, GWL_EXSTYLE) & WS_EX_TOPMOST) ? floatingLayer : 0},
            {"kCGWindowBounds",
             {{"X", double(r.left)},
              {"Y", double(r.top)},
              {"Width", double(r.right - r.left)},
              {"Height", double(r.bottom - r.top)}}},
            {"kCGWindowOwnerPID", windowPid(w)},
        };
        // Read from the window's caption, without sending it a message: a hung
        // application does not hang the listing. Longer captions are cut at 32767 units.
        static std::wstring title;
        title.assign(32768, L'\0');
        title.resize(
            static_cast<std::size_t>(std::max(0, InternalGetWindowText(w, title.data(), 32768))));
        entry["kCGWindowName"] = platform::fromWide(title);
        list.push_back(entry);
    }
    return list;
}

void sleepMicroseconds(std::uint64_t microseconds) {
    interruptibleSleep(microseconds);
}

} // namespace platform
