// The program's entry: start-up, the main window and the message loop.
#include "ui/mainwindow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    if (!registerMainWindowClass(instance)) return 0;
    openMainWindow(instance, showCommand);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        if (handleLinkMessage(&message)) continue;
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
