// A Win32 window that logs what it receives in the suite's format (../cases.txt); copied as
// RobloxStudioBeta-probe.exe it is the target. F12 makes it stop pumping messages for 8 s.
//   probe TITLE X Y WIDTH HEIGHT [edit]   the window (edit: a text field; logs "text <json>")
//   probe --held                          the keys and buttons Windows reports down
//   probe --clipboard                     "clipboard <json>"
//   probe --pid-of CLASS | --foreground   "pid <n> <title>" of that window
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

// The tool's name of a specific (left or right) virtual key or mouse button; "" when none.
std::string name(unsigned vk) {
    static const std::string names =
        " A0:LeftShift A1:RightShift A2:LeftControl A3:RightControl A4:LeftAlt A5:RightAlt"
        " 5B:LeftMeta 0D:Return 09:Tab 20:Space 08:Backspace 2E:Delete 1B:Escape 24:Home 23:End"
        " 21:PageUp 22:PageDown 25:Left 27:Right 26:Up 28:Down 14:CapsLock BB:Equals BD:Minus"
        " DB:LeftBracket DD:RightBracket DE:Quote BA:Semicolon DC:BackSlash BC:Comma BF:Slash"
        " BE:Period C0:Backquote 30:Zero 31:One 32:Two 33:Three 34:Four 35:Five 36:Six"
        " 37:Seven 38:Eight 39:Nine 01:left 02:right ";
    char key[8];
    std::snprintf(key, sizeof key, " %02X:", vk);
    if (const auto at = names.find(key); at != std::string::npos)
        return names.substr(at + 4, names.find(' ', at + 1) - at - 4);
    if (vk >= 'A' && vk <= 'Z')
        return std::string(1, char(vk));
    return vk >= VK_F1 && vk <= VK_F12 ? "F" + std::to_string(vk - VK_F1 + 1) : "";
}

// A key message's key: the right-hand modifiers by their scan code or extended bit (the
// arrows and the keys beside them, sent without it, would be the keypad's: marked "?").
std::string keyName(WPARAM vk, LPARAM lParam) {
    const bool extended = (lParam >> 24) & 1;
    if (vk >= VK_SHIFT && vk <= VK_MENU) // to VK_LSHIFT, VK_RSHIFT, ... VK_RMENU
        return name(unsigned(VK_LSHIFT + 2 * (vk - VK_SHIFT)) +
                    (vk == VK_SHIFT ? ((lParam >> 16) & 0xFF) == 0x36 : extended));
    const bool wantsExtended =
        (vk >= VK_PRIOR && vk <= VK_DOWN) || vk == VK_DELETE || vk == VK_LWIN;
    const std::string text = name(unsigned(vk));
    return text.empty() ? "vk" + std::to_string(vk) : text + (extended == wantsExtended ? "" : "?");
}

std::string mods(const std::string& key) {
    std::string out;
    static const std::pair<int, const char*> modifiers[]{
        {VK_SHIFT, "Shift"}, {VK_CONTROL, "Control"}, {VK_MENU, "Alt"}, {VK_LWIN, "Meta"}};
    for (const auto& [vk, mod] : modifiers)
        if (GetKeyState(vk) < 0 && key.find(mod) == std::string::npos)
            out += std::string(" +") + char(std::tolower(mod[0])) + (mod + 1);
    return out;
}

LRESULT CALLBACK windowProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    // WM_LBUTTONDOWN, UP, DBLCLK, then the same three for the right button.
    if (message >= WM_LBUTTONDOWN && message <= WM_RBUTTONDBLCLK) {
        const UINT kind = (message - WM_LBUTTONDOWN) % 3; // down, up, double-click
        if (kind == 1)
            ReleaseCapture();
        else
            SetCapture(w);
        clicks = kind == 1 ? clicks : kind == 2 ? 2 : 1; // a release is its press's
        say(std::string(kind == 1 ? "button up " : "button down ") +
            (message < WM_RBUTTONDOWN ? "left " : "right ") + std::to_string(clicks));
        return 0;
    }
    switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: { // not passed on: no menu from Alt or F10
        const bool press = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        if (wParam != VK_PACKET) { // typed text: only its characters
            const std::string key = keyName(wParam, lParam);
            say((press ? "key down " : "key up ") + key + mods(key));
        }
        if (press && wParam == VK_F12)
            Sleep(8000);
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
    case WM_MOUSEWHEEL: {
        const int lines = GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA;
        say((lines > 0 ? "wheel +" : "wheel ") + std::to_string(lines));
        return 0;
    }
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
    if (mode == L"--clipboard") {
        OpenClipboard(nullptr);
        const auto* text =
            static_cast<const wchar_t*>(GlobalLock(GetClipboardData(CF_UNICODETEXT)));
        say("clipboard " + nlohmann::json(utf8(text ? text : L"")).dump());
        return CloseClipboard() ? 0 : 1;
    }
    if (mode == L"--pid-of" || mode == L"--foreground") {
        HWND found = mode == L"--foreground" ? GetForegroundWindow()
                                             : FindWindowW(count > 2 ? args[2] : L"", nullptr);
        DWORD pid = 0;
        wchar_t title[256] = L"";
        GetWindowThreadProcessId(found, &pid);
        GetWindowTextW(found, title, 256);
        say("pid " + std::to_string(pid) + " " + utf8(title));
        return 0;
    }
    if (count < 6)
        return 2;
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
