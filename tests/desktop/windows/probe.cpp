// A Win32 window that logs what it receives, one flushed line per event, in the suite's
// common format (see ../cases.txt); copied as RobloxStudioBeta-probe.exe it is the target.
//   probe TITLE X Y WIDTH HEIGHT [edit]   the window (with edit: a text field that logs
//                                         "text <json>" whenever its text changes)
//   probe --held                          the keys and buttons Windows reports down
//   probe --clipboard                     "clipboard <json>": the clipboard's text
//   probe --pid-of CLASS                  "pid <n>": the process of the first such window
//   probe --foreground                    the process owning the foreground window
// Typed text (VK_PACKET) logs only its characters. A key down of F12 stops the probe
// pumping messages for 8 s, as a busy application does.
#include <cstdio>
#include <string>
// clang-format off
#include <windows.h>
#include <dwmapi.h>
#include <shellapi.h>
// clang-format on

#include <nlohmann/json.hpp>

namespace {

HWND edit = nullptr;
int clicks = 0;   // of the last press
wchar_t high = 0; // a high surrogate waiting for its low half

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

// The tool's name of a specific (left or right) virtual key; "" when it has none.
std::string name(unsigned vk) {
    static const std::string names =
        " A0:LeftShift A1:RightShift A2:LeftControl A3:RightControl A4:LeftAlt A5:RightAlt"
        " 5B:LeftMeta 0D:Return 09:Tab 20:Space 08:Backspace 2E:Delete 1B:Escape 24:Home 23:End"
        " 21:PageUp 22:PageDown 25:Left 27:Right 26:Up 28:Down 14:CapsLock BB:Equals BD:Minus"
        " DB:LeftBracket DD:RightBracket DE:Quote BA:Semicolon DC:BackSlash BC:Comma BF:Slash"
        " BE:Period C0:Backquote 30:Zero 31:One 32:Two 33:Three 34:Four 35:Five 36:Six"
        " 37:Seven 38:Eight 39:Nine ";
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
    const unsigned scan = (lParam >> 16) & 0xFF;
    const bool extended = (lParam >> 24) & 1;
    if (vk == VK_SHIFT)
        return name(scan == 0x36 ? VK_RSHIFT : VK_LSHIFT);
    if (vk == VK_CONTROL || vk == VK_MENU)
        return name(vk == VK_CONTROL ? (extended ? VK_RCONTROL : VK_LCONTROL)
                                     : (extended ? VK_RMENU : VK_LMENU));
    const bool wantsExtended =
        (vk >= VK_PRIOR && vk <= VK_DOWN) || vk == VK_DELETE || vk == VK_LWIN;
    const std::string text = name(unsigned(vk));
    return text.empty() ? "vk" + std::to_string(vk) : text + (extended == wantsExtended ? "" : "?");
}

bool down(int vk) {
    return GetKeyState(vk) & 0x8000;
}

std::string mods(const std::string& key) {
    std::string out;
    const std::pair<bool, const char*> classes[]{{down(VK_SHIFT), "Shift"},
                                                 {down(VK_CONTROL), "Control"},
                                                 {down(VK_MENU), "Alt"},
                                                 {down(VK_LWIN) || down(VK_RWIN), "Meta"}};
    for (const auto& [held, cls] : classes)
        if (held && key.find(cls) == std::string::npos)
            out += std::string(" +") + char(std::tolower(cls[0])) + (cls + 1);
    return out;
}

LRESULT CALLBACK windowProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: {
        const bool press = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        if (wParam != VK_PACKET) {
            const std::string key = keyName(wParam, lParam);
            say((press ? "key down " : "key up ") + key + mods(key));
        }
        if (press && wParam == VK_F12)
            Sleep(8000);
        return message == WM_SYSKEYDOWN || message == WM_SYSKEYUP
                   ? 0
                   : DefWindowProcW(w, message, wParam, lParam);
    }
    case WM_CHAR: {
        const auto c = wchar_t(wParam);
        if (c >= 0xD800 && c < 0xDC00) {
            high = c;
        } else if (c >= 0x20 && c != 0x7F && !down(VK_CONTROL) && !down(VK_MENU)) {
            say("char " + utf8(high ? std::wstring{high, c} : std::wstring{c}));
            high = 0;
        }
        return 0;
    }
    case WM_SYSCHAR: return 0; // no menu from Alt or F10
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
        SetCapture(w);
        clicks = message == WM_LBUTTONDBLCLK || message == WM_RBUTTONDBLCLK ? 2 : 1;
        say(std::string("button down ") + (message <= WM_LBUTTONDBLCLK ? "left " : "right ") +
            std::to_string(clicks));
        return 0;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
        ReleaseCapture();
        say(std::string("button up ") + (message == WM_LBUTTONUP ? "left " : "right ") +
            std::to_string(clicks));
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
        if (HIWORD(wParam) == EN_CHANGE) {
            std::wstring text(std::size_t(GetWindowTextLengthW(edit)) + 1, L'\0');
            text.resize(std::size_t(GetWindowTextW(edit, text.data(), int(text.size()))));
            say("text " + nlohmann::json(utf8(text)).dump());
        }
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(w, message, wParam, lParam);
    }
}

int held() {
    std::string out;
    for (int vk = 1; vk < 256; ++vk) {
        const std::string key = vk == VK_LBUTTON ? "left" : vk == VK_RBUTTON ? "right" : name(vk);
        if (!key.empty() && (GetAsyncKeyState(vk) & 0x8000))
            out += " " + key;
    }
    say("held" + (out.empty() ? std::string(" none") : out));
    return 0;
}

} // namespace

int main() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::wstring mode = count > 1 ? args[1] : L"";
    if (mode == L"--held")
        return held();
    if (mode == L"--clipboard") {
        std::wstring text;
        if (OpenClipboard(nullptr)) {
            if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
                text = static_cast<const wchar_t*>(GlobalLock(data));
                GlobalUnlock(data);
            }
            CloseClipboard();
        }
        say("clipboard " + nlohmann::json(utf8(text)).dump());
        return 0;
    }
    if (mode == L"--pid-of" || mode == L"--foreground") {
        DWORD pid = 0;
        GetWindowThreadProcessId(mode == L"--foreground"
                                     ? GetForegroundWindow()
                                     : FindWindowW(count > 2 ? args[2] : L"", nullptr),
                                 &pid);
        wchar_t exe[MAX_PATH] = L"";
        DWORD size = MAX_PATH;
        if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
            QueryFullProcessImageNameW(process, 0, exe, &size);
            CloseHandle(process);
        }
        say("pid " + std::to_string(pid) + " " + utf8(exe));
        return 0;
    }
    if (count < 6)
        return 2;
    WNDCLASSW windowClass{};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"MarnithProbe";
    RegisterClassW(&windowClass);
    HWND w = CreateWindowExW(0, L"MarnithProbe", args[1], WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                             _wtoi(args[2]), _wtoi(args[3]), _wtoi(args[4]), _wtoi(args[5]),
                             nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!w)
        return 1;
    if (count > 6 && std::wstring(args[6]) == L"edit") {
        RECT client;
        GetClientRect(w, &client);
        edit =
            CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_WANTRETURN,
                            0, 0, client.right, client.bottom, w, nullptr, nullptr, nullptr);
        SetFocus(edit);
    }
    UpdateWindow(w);
    // The bounds the tool reports: the visible frame, as DWM draws it, else the window's.
    RECT r;
    if (DwmGetWindowAttribute(w, DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof r) != S_OK)
        GetWindowRect(w, &r);
    POINT client{0, 0};
    ClientToScreen(w, &client);
    std::printf("ready %llu %lu %ld %ld %ld %ld %ld %ld\n",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(w)),
                GetCurrentProcessId(), r.left, r.top, r.right - r.left, r.bottom - r.top, client.x,
                client.y);
    std::fflush(stdout);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
