// SPDX-License-Identifier: MIT
// For the real-window check under wine (wine_real_window.sh): finds the shown
// top-level window of exactly the title given and prints
//   client=WxH origin=X,Y frame=WxH+X+Y sizable=0 minimize=0 maximize=0 sysmenu=1
// or, given "close" as well, closes it as its close box does. Exit status 1
// when there is no such window.
#include <cstdio>
#include <windows.h>

int main(int argc, char* argv[]) {
    // The first shown one: Qt's hidden windows, such as a popup list not
    // shown yet, carry the application's name as their title.
    HWND window = nullptr;
    do {
        window = argc >= 2 ? FindWindowExA(nullptr, window, nullptr, argv[1]) : nullptr;
    } while (window != nullptr && !IsWindowVisible(window));
    if (window == nullptr) {
        return 1;
    }
    if (argc == 3) {
        return PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    }
    RECT client{}, frame{};
    POINT origin{0, 0};
    GetClientRect(window, &client);
    ClientToScreen(window, &origin);
    GetWindowRect(window, &frame);
    const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    std::printf("client=%ldx%ld origin=%ld,%ld frame=%ldx%ld+%ld+%ld sizable=%d minimize=%d "
                "maximize=%d sysmenu=%d\n",
                client.right, client.bottom, origin.x, origin.y, frame.right - frame.left,
                frame.bottom - frame.top, frame.left, frame.top, (style & WS_THICKFRAME) != 0,
                (style & WS_MINIMIZEBOX) != 0, (style & WS_MAXIMIZEBOX) != 0,
                (style & WS_SYSMENU) != 0);
    return 0;
}
