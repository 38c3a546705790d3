// The program's entry: start-up in its fixed order, the main window, the start-up thread, the
// desktop shortcut question and the message loop. The process ends by a direct exit (closing the
// window, the job after a stop, or a fatal message); nothing is cleaned up on the way out.
#include "core/appdir.h"
#include "core/applog.h"
#include "core/deployment.h"
#include "http/connection.h"
#include "http/download.h"
#include "platform/files.h"
#include "ui/mainwindow.h"
#include "ui/shell.h"
#include "ui/startup.h"

#include <winsock2.h>

#include <system_error>
#include <thread>

static void fatalStartMessage(const wchar_t* text, const wchar_t* caption, UINT status) {
    showMessageBox(nullptr, text, caption, MB_ICONERROR | MB_OK);
    ExitProcess(status);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    // Before any window: the layout follows the DPI of the window's screen.
    declareDpiAwareness();
    initAppDir();
    if (isTemporaryExtractionFolder(appDir)) {
        showMessageBox(nullptr,
                       L"请先对软件压缩包进行解压缩后再启动软件。\n\n点击[确定]按钮，查看正确的解压缩方式。",
                       L"提示", MB_ICONERROR | MB_OK);
        char url[1024];
        productPageUrl("unzip.html", url, sizeof url);
        openUrl(url);
        ExitProcess(static_cast<UINT>(-1));
    }
    if (!openLog()) fatalStartMessage(L"无法打开应用日志文件：app.log", L"错误", 0);

    WSADATA sockets;
    if (WSAStartup(MAKEWORD(2, 2), &sockets) != 0) {
        writeLog("WSAStartup() failed!");
        fatalStartMessage(L"WSAStartup() failed!", L"错误", static_cast<UINT>(-1));
    }
    if (LOBYTE(sockets.wVersion) != 2 || HIBYTE(sockets.wVersion) != 2) {
        writeLog("Invalid WinSock version!");
        WSACleanup();
        fatalStartMessage(L"Invalid WinSock version!", L"错误", static_cast<UINT>(-1));
    }
    initConnectionPool();
    applyTestEnvironment();
    char caError[ERROR_TEXT_SIZE] = {0};
    if (!applyCaFileFromEnvironment(caError)) {
        writeLogFormat("VEDO_CA_FILE: %s", caError);
        fatalStartMessage(L"VEDO_CA_FILE 指定的证书文件无法使用，具体原因可查看应用日志文件：app.log",
                          L"错误", 1);
    }

    appIcon = LoadIconW(instance, MAKEINTRESOURCEW(APP_ICON_ID));
    if (!registerMainWindowClass(instance)) return 0;
    HWND window = openMainWindow(instance, showCommand);

    try {
        std::thread(startupThread).detach();
    } catch (const std::system_error&) {
        // The update check is a courtesy; the program runs without it.
    }

    char desktop[PATH_BUFFER_SIZE] = {0};
    if (specialFolderPath(CSIDL_DESKTOP_FOLDER, desktop)) offerDesktopShortcut(window, desktop);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (handleDialogKeys(&message)) continue;
        TranslateMessage(&message);
        if (handleLinkMessage(&message)) continue;
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
