// A Win32 window logging what it receives; its arguments, modes and lines are in ../README.md.
#include <cstdio>
#include <string>
#include <windows.h>

#include <dwmapi.h>
#include <shellapi.h>

#include <nlohmann/json.hpp>

namespace {

HWND edit = nullptr;
int clicks = 0;     // of the last press
std::wstring typed; // a character, while it waits for its second half

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(std::size_t(WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()),
                                               out.data(), int(out.size()), nullptr, nullptr)));
    return out;
}

// The tool's name of a specific (left or right) key or mouse button the suite uses, else
// "vk<n>"; "" for the generic modifiers, which Windows reports beside the specific ones.
std::string name(unsigned vk) {
    static const std::string names = " A0:LeftShift A1:RightShift A2:LeftControl A3:RightControl"
                                     " A4:LeftAlt A5:RightAlt 5B:LeftMeta 0D:Return 09:Tab"
                                     " 25:Left 26:Up 01:left 02:right ";
    char key[8];
    std::snprintf(key, sizeof key, " %02X:", vk);
    if (const auto at = names.find(key); at != std::string::npos)
        return names.substr(at + 4, names.find(' ', at + 1) - at - 4);
    if (vk >= 'A' && vk <= 'Z')
        return std::string(1, char(vk));
    if (vk >= VK_F1 && vk <= VK_F12)
        return "F" + std::to_string(vk - VK_F1 + 1);
    return vk >= VK_SHIFT && vk <= VK_MENU ? "" : "vk" + std::to_string(vk);
}

const std::pair<WPARAM, const char*> modifiers[]{
    {VK_SHIFT, " +shift"}, {VK_CONTROL, " +control"}, {VK_MENU, " +alt"}, {VK_LWIN, " +meta"}};

LRESULT CALLBACK windowProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    // WM_LBUTTONDOWN, UP, DBLCLK, then the same three for the right button.
    if (message >= WM_LBUTTONDOWN && message <= WM_RBUTTONDBLCLK) {
        const UINT kind = (message - WM_LBUTTONDOWN) % 3; // down, up, double-click
        clicks = kind == 1 ? clicks : kind == 2 ? 2 : 1;  // a release is its press's
        say(std::string(kind == 1 ? "button up " : "button down ") +
            (message < WM_RBUTTONDOWN ? "left " : "right ") + std::to_string(clicks));
        return 0;
    }
    switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: {          // not passed on: no menu from Alt or F10
        if (wParam == VK_PACKET) // typed text: only its characters
            return 0;
        const bool extended = (lParam >> 24) & 1;
        std::string key = name(unsigned(wParam));
        if (key.empty()) // Shift, Control or Alt: its side from the scan code or extended bit
            key = name(unsigned(VK_LSHIFT + 2 * (wParam - VK_SHIFT)) +
                       (wParam == VK_SHIFT ? ((lParam >> 16) & 0xFF) == 0x36 : extended));
        else if (extended != ((wParam >= VK_PRIOR && wParam <= VK_DOWN) || wParam == VK_LWIN))
            key += "?"; // an arrow or a key beside them, sent as the keypad's
        const bool press = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        std::string line = (press ? "key down " : "key up ") + key;
        for (const auto& [vk, mod] : modifiers) // held, not the key's own
            if (GetKeyState(int(vk)) < 0 && vk != wParam)
                line += mod;
        say(line);
        if (press && wParam == VK_F12)
            Sleep(4500); // a window that does not answer, for the checks
        return 0;
    }
    case WM_CHAR:
        typed += wchar_t(wParam);
        if (IS_HIGH_SURROGATE(wParam)) // the rest of the character is on its way
            return 0;
        if (typed[0] >= 0x20 && typed[0] != 0x7F && GetKeyState(VK_CONTROL) >= 0 &&
            GetKeyState(VK_MENU) >= 0)
            say("char " + utf8(typed));
        typed.clear();
        return 0;
    case WM_MOUSEMOVE:
        if (wParam & (MK_LBUTTON | MK_RBUTTON))
            say(wParam & MK_LBUTTON ? "drag left" : "drag right");
        return 0;
    case WM_MOUSEWHEEL:
        say((GET_WHEEL_DELTA_WPARAM(wParam) > 0 ? "wheel +" : "wheel ") +
            std::to_string(GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA));
        return 0;
    case WM_SETFOCUS:
        if (edit)
            SetFocus(edit);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == EN_CHANGE) { // the text field's
            std::wstring text(std::size_t(GetWindowTextLengthW(edit)) + 1, L'\0');
            text.resize(std::size_t(GetWindowTextW(edit, text.data(), int(text.size()))));
            say("text " + nlohmann::json(utf8(text)).dump());
        }
        return 0;
    case WM_SYSCHAR: return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(w, message, wParam, lParam);
    }
}

} // namespace

int main() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::wstring mode = count > 1 ? args[1] : L"";
    if (mode == L"--held") {
        std::string out;
        for (unsigned vk = 1; vk < 256; ++vk)
            if (GetAsyncKeyState(int(vk)) < 0 && !name(vk).empty())
                out += " " + name(vk);
        say("held" + (out.empty() ? std::string(" none") : out));
        return 0;
    }
    if (mode == L"--foreground") {
        DWORD pid = 0;
        wchar_t title[256] = L"";
        GetWindowThreadProcessId(GetForegroundWindow(), &pid);
        GetWindowTextW(GetForegroundWindow(), title, 256);
        say("pid " + std::to_string(pid) + " " + utf8(title));
        return 0;
    }
    if (count < 6)
        return 2;
    DisableProcessWindowsGhosting(); // busy, the window stays in front, not DWM's copy
    WNDCLASSW windowClass{};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = HBRUSH(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"MarnithProbe";
    RegisterClassW(&windowClass);
    HWND w = CreateWindowExW(0, L"MarnithProbe", args[1], WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                             _wtoi(args[2]), _wtoi(args[3]), _wtoi(args[4]), _wtoi(args[5]),
                             nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!w)
        return 1;
    if (count > 6 && std::wstring(args[6]) == L"edit")
        SetFocus(edit = CreateWindowExW(0, L"EDIT", L"",
                                        WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_WANTRETURN, 0, 0,
                                        400, 300, w, nullptr, nullptr, nullptr));
    // The bounds the tool reports: the visible frame, as DWM draws it, else the window's.
    RECT r;
    if (DwmGetWindowAttribute(w, DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof r) != S_OK)
        GetWindowRect(w, &r);
    POINT client{0, 0};
    ClientToScreen(w, &client);
    std::printf("ready %llu %lu %ld %ld %ld %ld %ld %ld\n", reinterpret_cast<unsigned long long>(w),
                GetCurrentProcessId(), r.left, r.top, r.right - r.left, r.bottom - r.top, client.x,
                client.y);
    std::fflush(stdout);
    for (MSG message; GetMessageW(&message, nullptr, 0, 0) > 0; DispatchMessageW(&message))
        TranslateMessage(&message);
    return 0;
}
