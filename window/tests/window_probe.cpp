// A small Windows console program for the real-window check under wine
// (wine_real_window.sh): it finds a visible top-level window by its exact
// title through the Win32 API, and reports or closes it.
//
//   window_probe wait TITLE SECONDS   wait for the window, then print
//                                     "client=WxH origin=X,Y frame=WxH+X+Y
//                                      sizable=.. minimize=.. maximize=.. sysmenu=.."
//   window_probe gone TITLE SECONDS   wait until no such window is shown
//   window_probe close TITLE          close it as its close box does
//
// Exit status 0 on success, 1 on a timeout or when there is no such window.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

namespace {

struct Search {
    const char* title;
    HWND found;
};

BOOL CALLBACK Match(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    char title[256] = {};
    if (IsWindowVisible(window) && GetWindowTextA(window, title, sizeof title) > 0 &&
        std::strcmp(title, search->title) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND Find(const char* title) {
    Search search{title, nullptr};
    EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

const char* YesNo(LONG_PTR style, LONG_PTR bit) {
    return (style & bit) != 0 ? "yes" : "no";
}

void Describe(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    RECT frame{};
    GetWindowRect(window, &frame);
    const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    std::printf("client=%ldx%ld origin=%ld,%ld frame=%ldx%ld+%ld+%ld sizable=%s minimize=%s "
                "maximize=%s sysmenu=%s\n",
                client.right - client.left, client.bottom - client.top, origin.x, origin.y,
                frame.right - frame.left, frame.bottom - frame.top, frame.left, frame.top,
                YesNo(style, WS_THICKFRAME), YesNo(style, WS_MINIMIZEBOX),
                YesNo(style, WS_MAXIMIZEBOX), YesNo(style, WS_SYSMENU));
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: window_probe wait|gone|close TITLE [SECONDS]\n");
        return 2;
    }
    const char* command = argv[1];
    const char* title = argv[2];
    const int tenths = argc > 3 ? std::atoi(argv[3]) * 10 : 0;
    if (std::strcmp(command, "close") == 0) {
        HWND window = Find(title);
        return window != nullptr && PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    }
    const bool wantShown = std::strcmp(command, "wait") == 0;
    for (int tenth = 0; tenth <= tenths; ++tenth) {
        HWND window = Find(title);
        if ((window != nullptr) == wantShown) {
            if (window != nullptr) {
                Describe(window);
            }
            std::fflush(stdout);
            return 0;
        }
        Sleep(100);
    }
    std::fprintf(stderr, "window_probe: timed out: %s \"%s\"\n", command, title);
    return 1;
}
