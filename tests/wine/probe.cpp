// A Win32 target for the end-to-end tests under Wine: a window that prints, one line
// each, what it receives, and the global key and button state whenever it changes.
//   probe <title> <x> <y> <width> <height>
//   probe --clipboard           prints the clipboard's text and exits
//   probe --pid-of <class>      prints the pid owning the first window of that class
// Lines: READY <hwnd> <pid> <x> <y> <width> <height> (the window rectangle);
// Key <down|up> vk=.. scan=.. ext=. sys=.; Char <code unit>; Button <message> <x>,<y>
// mk=.. (screen coordinates); Button Wheel <delta>; Held <virtual keys down>.
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <nlohmann/json.hpp>

namespace {

std::string held; // the virtual keys last reported down

void line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(static_cast<std::size_t>(WideCharToMultiByte(
        CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr)));
    return out;
}

void reportHeld() {
    std::string now;
    char hex[8];
    for (int vk = 1; vk < 255; ++vk) {
        if (GetAsyncKeyState(vk) & 0x8000) {
            std::snprintf(hex, sizeof hex, " %02X", vk);
            now += hex;
        }
    }
    if (now != held)
        line("Held%s", now.c_str());
    held = now;
}

void button(const char* name, HWND w, WPARAM wParam, LPARAM lParam) {
    POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    ClientToScreen(w, &p);
    line("Button %s %ld,%ld mk=%02X", name, p.x, p.y, unsigned(wParam & 0xFF));
}

LRESULT CALLBACK windowProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
        line("Key %s vk=%02X scan=%02X ext=%d sys=%d",
             message == WM_KEYDOWN || message == WM_SYSKEYDOWN ? "down" : "up", unsigned(wParam),
             unsigned((lParam >> 16) & 0xFF), int((lParam >> 24) & 1),
             int(message == WM_SYSKEYDOWN || message == WM_SYSKEYUP));
        if (message == WM_SYSKEYDOWN || message == WM_SYSKEYUP)
            return 0; // no menu mode from Alt or F10
        break;
    case WM_CHAR:
    case WM_SYSCHAR: line("Char %04X", unsigned(wParam)); return 0;
    case WM_LBUTTONDOWN:
        SetCapture(w);
        button("LDown", w, wParam, lParam);
        return 0;
    case WM_LBUTTONDBLCLK:
        SetCapture(w);
        button("LDouble", w, wParam, lParam);
        return 0;
    case WM_LBUTTONUP:
        ReleaseCapture();
        button("LUp", w, wParam, lParam);
        return 0;
    case WM_RBUTTONDOWN:
        SetCapture(w);
        button("RDown", w, wParam, lParam);
        return 0;
    case WM_RBUTTONDBLCLK:
        SetCapture(w);
        button("RDouble", w, wParam, lParam);
        return 0;
    case WM_RBUTTONUP:
        ReleaseCapture();
        button("RUp", w, wParam, lParam);
        return 0;
    case WM_MOUSEWHEEL: line("Button Wheel %d", int(GET_WHEEL_DELTA_WPARAM(wParam))); return 0;
    case WM_TIMER:
        if (wParam == 2)
            PostQuitMessage(0); // a test that failed leaves no stray window behind
        reportHeld();
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: break;
    }
    return DefWindowProcW(w, message, wParam, lParam);
}

} // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (count == 2 && std::wstring(args[1]) == L"--clipboard") {
        std::wstring text;
        if (OpenClipboard(nullptr)) {
            if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
                text = static_cast<const wchar_t*>(GlobalLock(data));
                GlobalUnlock(data);
            }
            CloseClipboard();
        }
        line("CLIPBOARD %s", nlohmann::json(utf8(text)).dump().c_str());
        return 0;
    }
    if (count == 3 && std::wstring(args[1]) == L"--pid-of") {
        DWORD pid = 0;
        if (HWND w = FindWindowW(args[2], nullptr))
            GetWindowThreadProcessId(w, &pid);
        line("PID %lu", pid);
        return 0;
    }
    if (count != 6)
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
    UpdateWindow(w);
    SetTimer(w, 1, 20, nullptr);
    SetTimer(w, 2, 120000, nullptr);
    RECT r;
    GetWindowRect(w, &r);
    line("READY %llu %lu %ld %ld %ld %ld",
         static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(w)), GetCurrentProcessId(),
         r.left, r.top, r.right - r.left, r.bottom - r.top);
    reportHeld();
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
