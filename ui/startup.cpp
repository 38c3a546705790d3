// Start-up of the wizard: the checks before the window, the start-up thread, the shortcut question.
#include "ui/startup.h"

#include "core/appdir.h"
#include "core/text.h"
#include "http/connection.h"
#include "platform/files.h"
#include "ui/shell.h"
#include "ui/update.h"
#include "ui/wintext.h"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int isTemporaryExtractionFolder(const char* folder) {
    return folder && std::strchr(folder, '$') && std::strstr(folder, "\\Temp\\");
}

void applyTestEnvironment() {
    const char* overrides = std::getenv("VEDO_CONNECT_TO");
    if (overrides && *overrides) {
        std::string list(overrides);
        char* cursor = &list[0];
        while (char* entry = nextToken(&cursor, ";")) {
            if (*entry) addConnectOverride(entry);
        }
    }
    const char* loopback = std::getenv("VEDO_LOOPBACK_ONLY");
    if (loopback && std::strcmp(loopback, "1") == 0) setLoopbackOnly(1);
}

int startupThread() {
    checkForUpdate();
    return 0;
}

static void showShortcutOutcome(HWND owner, HRESULT result) {
    if (FAILED(result)) {
        showMessageBox(owner, L"在桌面上创建快捷方式失败", L"提示", MB_ICONERROR | MB_OK);
    } else {
        showMessageBox(owner, L"在桌面上成功创建了一个快捷方式", L"提示", MB_ICONINFORMATION | MB_OK);
    }
}

void offerDesktopShortcut(HWND owner, const char* desktopFolder) {
    char linkPath[PATH_BUFFER_SIZE];
    int fits = std::snprintf(linkPath, sizeof linkPath, "%s%c%s.lnk", desktopFolder, PATH_SEPARATOR,
                             SHORTCUT_NAME) < static_cast<int>(sizeof linkPath);
    if (!fits || fileExists(linkPath)) return;
    char marker[PATH_BUFFER_SIZE];
    if (std::snprintf(marker, sizeof marker, "%s%c%s", appDir, PATH_SEPARATOR, NO_SHORTCUT_MARKER) >=
        static_cast<int>(sizeof marker)) {
        return;
    }
    if (fileExists(marker)) return;

    int answer =
        messageBoxWithButtons(owner, L"是否需要在桌面上创建一个软件快捷方式？", L"询问",
                              MB_ICONQUESTION | MB_YESNOCANCEL, IDNO, L"不用再提示", IDCANCEL, L"否(&N)");
    if (answer == IDYES) {
        char target[PATH_BUFFER_SIZE] = {0};
        if (!programFilePath(target, sizeof target)) {
            showShortcutOutcome(owner, E_FAIL);
            return;
        }
        HRESULT com = CoInitialize(nullptr);
        HRESULT result = createShellLink(target, "", linkPath, "", SW_SHOW, appDir, target, 0);
        showShortcutOutcome(owner, result);
        if (SUCCEEDED(com)) CoUninitialize();
    } else if (answer == IDNO) {
        if (FILE* f = openFile(marker, "wb")) std::fclose(f);
    }
}
