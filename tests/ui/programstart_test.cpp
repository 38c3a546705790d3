// The program itself, started as a separate process from folders of its own: the refusal to run
// inside an unpacked archive, the log beside the program, the desktop shortcut question and an
// update check that never answers, a run from the keyboard alone. The program's message boxes go
// to a file (VEDO_MESSAGE_LOG) with scripted answers; once its window is up the test closes it as
// the user would (WM_CLOSE).
#include "uidriver.h"

#include "core/appdir.h"
#include "platform/files.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"
#include "ui/mainwindow.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

const DWORD NOT_ENDED = 0xFFFFFFFEu;

std::wstring windowsPath(const std::string& path) {
    std::wstring wide = utf8ToWide(path);
    if (!wide.empty() && wide[0] == L'/') wide = L"Z:" + wide;
    for (auto& c : wide) {
        if (c == L'/') c = L'\\';
    }
    return wide;
}

struct FoundWindow {
    DWORD process;
    HWND window;
};

BOOL CALLBACK findProgramWindow(HWND window, LPARAM data) {
    auto* found = reinterpret_cast<FoundWindow*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = {0};
    GetClassNameW(window, className, 64);
    if (process == found->process && std::wcscmp(className, L"CodeBlocksWindowsApp") == 0 &&
        IsWindowVisible(window)) {
        found->window = window;
        return FALSE;
    }
    return TRUE;
}

// The environment of this process with some variables replaced, as a block for CreateProcessW.
std::wstring environmentWith(const std::vector<std::pair<std::wstring, std::wstring>>& overrides) {
    std::wstring block;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; entry && *entry; entry += std::wcslen(entry) + 1) {
        bool replaced = false;
        for (const auto& o : overrides) {
            if (_wcsnicmp(entry, o.first.c_str(), o.first.size()) == 0 && entry[o.first.size()] == L'=') {
                replaced = true;
            }
        }
        if (!replaced) block.append(entry).push_back(L'\0');
    }
    if (strings) FreeEnvironmentStringsW(strings);
    for (const auto& o : overrides) {
        block.append(o.first + L"=" + o.second).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

struct ProgramRun {
    DWORD exitCode = NOT_ENDED;
    bool windowShown = false;
    bool updateAsked = false;       // the update check's request reached the server
    std::vector<std::string> boxes; // the message log's lines
    std::string browser;            // the addresses the program opened
};

class ProgramStartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureMainWindow();
        // Beside the test program: the system's temporary folder holds "\Temp\" itself.
        base = std::string(appDir) + "\\vedo-start-" + std::to_string(GetCurrentProcessId());
        if (std::strchr(base.c_str(), '$') || std::strstr(base.c_str(), "\\Temp\\")) {
            GTEST_SKIP() << "the build folder looks like an unpacked archive: " << base;
        }
        removeTree(base);
        ASSERT_TRUE(CreateDirectoryW(widePath(base).c_str(), nullptr));
        // The update check asks the product web site over https.
        ASSERT_TRUE(startTlsTestServer(server, std::string(VEDO_TEST_CERT_DIR) + "/server.pem",
                                       std::string(VEDO_TEST_CERT_DIR) + "/server.key"));
        char desktop[PATH_BUFFER_SIZE] = {0};
        if (specialFolderPath(CSIDL_DESKTOP_FOLDER, desktop)) {
            desktopHasShortcut = fileExists((std::string(desktop) + "\\vedo.lnk").c_str()) != 0;
        }
    }
    void TearDown() override {
        stopTestServer(server);
        removeTree(base);
    }

    // A folder under the base (made with its parents) holding a copy of vedo.exe.
    std::string programFolder(const std::string& relative) {
        std::string folder = base;
        size_t at = 0;
        while (at <= relative.size()) {
            size_t end = relative.find('\\', at);
            if (end == std::string::npos) end = relative.size();
            folder += "\\" + relative.substr(at, end - at);
            CreateDirectoryW(widePath(folder).c_str(), nullptr);
            at = end + 1;
        }
        EXPECT_TRUE(
            CopyFileW(windowsPath(VEDO_UI_PATH).c_str(), widePath(folder + "\\vedo.exe").c_str(), FALSE));
        return folder;
    }

    // Starts the copy in folder, waits for its window and for the update check's request, closes
    // the window (or lets drive end the program, its message boxes shown) and waits for the process
    // to end. answers: VEDO_MESSAGE_ANSWER.
    ProgramRun run(const std::string& folder, const std::string& answers = "",
                   const std::function<void(HWND)>& drive = nullptr) {
        ProgramRun result;
        std::string messages = base + "\\messages.log";
        std::string browser = base + "\\browser.log";
        DeleteFileW(widePath(messages).c_str());
        DeleteFileW(widePath(browser).c_str());
        TestReply hold;
        hold.neverAnswer = true;
        addReply(server, hold);
        size_t requestsBefore = receivedRequests(server).size();

        std::wstring environment = environmentWith({
            {L"VEDO_MESSAGE_LOG", drive ? L"" : widePath(messages)},
            {L"VEDO_MESSAGE_ANSWER", utf8ToWide(answers)},
            {L"VEDO_BROWSER_LOG", widePath(browser)},
            {L"VEDO_PRODUCT_SITE", utf8ToWide(serverHttpsUrl(server, "/site/"))},
            {L"VEDO_CA_FILE", utf8ToWide(std::string(VEDO_TEST_CERT_DIR) + "/ca.pem")},
            {L"VEDO_LOOPBACK_ONLY", L"1"},
        });
        std::wstring program = widePath(folder + "\\vedo.exe");
        std::wstring commandLine = L"\"" + program + L"\"";
        STARTUPINFOW startup;
        std::memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                            CREATE_UNICODE_ENVIRONMENT, &environment[0], widePath(folder).c_str(), &startup,
                            &process)) {
            ADD_FAILURE() << "cannot start " << folder << "\\vedo.exe: error " << GetLastError();
            return result;
        }
        auto ended = [&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; };
        FoundWindow found{process.dwProcessId, nullptr};
        pumpUntil(
            [&] {
                if (ended()) return true;
                EnumWindows(findProgramWindow, reinterpret_cast<LPARAM>(&found));
                return found.window != nullptr;
            },
            20000);
        if (found.window) {
            result.windowShown = true;
            // The check is held unanswered: the window must work all the same.
            result.updateAsked =
                pumpUntil([&] { return receivedRequests(server).size() > requestsBefore; }, 10000);
            if (drive) {
                drive(found.window);
            } else {
                PostMessageW(found.window, WM_CLOSE, 0, 0);
            }
        }
        if (!pumpUntil(ended, 15000)) {
            ADD_FAILURE() << "the program did not end";
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
        } else {
            GetExitCodeProcess(process.hProcess, &result.exitCode);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);

        std::string log = readWholeFile(messages);
        for (size_t at = 0; at < log.size();) {
            size_t end = log.find('\n', at);
            if (end == std::string::npos) end = log.size();
            result.boxes.push_back(log.substr(at, end - at));
            at = end + 1;
        }
        result.browser = readWholeFile(browser);
        return result;
    }

    // The shortcut question as the log shows it, with its answer.
    static std::string shortcutQuestion(int answer) {
        return "询问\tquestion\t是否需要在桌面上创建一个软件快捷方式？\t6,7=不用再提示,2=否(&N)\t" +
               std::to_string(answer);
    }

    std::string base;
    TestServer server;
    bool desktopHasShortcut = false;
};

TEST_F(ProgramStartTest, AProgramInsideAnUnpackedArchiveRefusesToStart) {
    std::string folder = programFolder("Temp\\Rar$EXa0.512");
    ProgramRun refused = run(folder);
    EXPECT_FALSE(refused.windowShown);
    EXPECT_EQ(0xFFFFFFFFu, refused.exitCode) << "exit status -1";
    ASSERT_EQ(1u, refused.boxes.size());
    EXPECT_EQ("提示\terror\t请先对软件压缩包进行解压缩后再启动软件。\\n\\n点击[确定]"
              "按钮，查看正确的解压缩方式。\t1\t1",
              refused.boxes[0]);
    EXPECT_EQ(serverHttpsUrl(server, "/site/unzip.html") + "\n", refused.browser);
    EXPECT_FALSE(fileExists((folder + "\\app.log").c_str())) << "refused before the log is opened";
    EXPECT_TRUE(receivedRequests(server).empty());
}

TEST_F(ProgramStartTest, ADollarAloneStartsCreatesTheLogAndDontAskAgainIsKept) {
    std::string folder = programFolder("Rar$EXa0.512");
    std::string log = folder + "\\app.log";
    std::string marker = folder + "\\no_shortcut.txt";

    ProgramRun first = run(folder, "7"); // "不用再提示"
    EXPECT_TRUE(first.windowShown);
    EXPECT_TRUE(first.updateAsked);
    EXPECT_EQ(0u, first.exitCode);
    EXPECT_TRUE(fileExists(log.c_str())) << "the log lies beside the program";
    if (desktopHasShortcut) {
        EXPECT_TRUE(first.boxes.empty()) << "the desktop holds vedo.lnk already";
    } else {
        EXPECT_EQ(std::vector<std::string>{shortcutQuestion(7)}, first.boxes);
        EXPECT_TRUE(fileExists(marker.c_str()));
    }

    // One byte over the limit: the log starts afresh. The marker keeps the question away.
    writeWholeFile(log, std::string(2097153, 'x'));
    ProgramRun second = run(folder, "6");
    EXPECT_TRUE(second.windowShown);
    EXPECT_EQ(0u, second.exitCode);
    EXPECT_TRUE(second.boxes.empty());
    EXPECT_TRUE(fileExists(log.c_str()));
    EXPECT_LT(fileSize(log.c_str()), 2097152);
    EXPECT_EQ(std::string::npos, readWholeFile(log).find("xxxx"));
}

TEST_F(ProgramStartTest, TempAloneStartsAndALogAtTheLimitIsKept) {
    std::string folder = programFolder("Temp\\vedo");
    std::string log = folder + "\\app.log";
    std::string full(2097152, 'y');
    full.replace(0, 6, "first\n");
    writeWholeFile(log, full);

    ProgramRun started = run(folder); // the question's Cancel: "否(&N)", ask again next time
    EXPECT_TRUE(started.windowShown);
    EXPECT_TRUE(started.updateAsked);
    EXPECT_EQ(0u, started.exitCode);
    std::string kept = readWholeFile(log);
    EXPECT_GE(kept.size(), full.size());
    EXPECT_TRUE(kept.compare(0, full.size(), full) == 0) << "kept and opened for appending";
    if (!desktopHasShortcut) {
        EXPECT_EQ(std::vector<std::string>{shortcutQuestion(IDCANCEL)}, started.boxes);
    }
    EXPECT_FALSE(fileExists((folder + "\\no_shortcut.txt").c_str()));
    EXPECT_TRUE(started.browser.empty());
}

// vedo.exe from the keyboard alone: Tab walks page 1 to 下一步 and Enter opens page 2, Tab reaches a
// check box and Space toggles it, Enter on it starts the run, Enter answers the final message and
// Esc ends the program with status 0. The package and the folder are put in their boxes as a drop
// and the chooser would; the image is an https one, which ticks the https box.
TEST_F(ProgramStartTest, TheKeyboardAloneRunsAWholeMigration) {
    std::string folder = programFolder("keys"), path = folder + "\\shop.csv", images = folder + "\\images";
    writeWholeFile(folder + "\\no_shortcut.txt", "");
    makeDirectory(images.c_str());
    serveResource(server, "/a.jpg", jpegBody(3000, 5));
    writeTestPackage(path, {{"宝贝一", "<img src=\"" + serverHttpsUrl(server, "/a.jpg") + "\">", ""}});
    ProgramRun keyboard = run(folder, "", [&](HWND main) {
        auto focus = [](HWND window) {
            GUITHREADINFO info{};
            info.cbSize = sizeof info;
            return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus
                                                                                      : nullptr;
        };
        // A key as the keyboard gives it: to the focused window of the window's thread.
        auto press = [&](WPARAM key, HWND window) {
            HWND to = focus(window) ? focus(window) : window;
            PostMessageW(to, WM_KEYDOWN, key, 1);
            PostMessageW(to, WM_KEYUP, key, 0xC0000001);
            pumpFor(150);
        };
        HWND page1 = FindWindowExW(main, nullptr, L"static", L"panel");
        HWND page2 = FindWindowExW(main, page1, L"static", L"panel");
        SetWindowTextW(GetDlgItem(page1, IDC_CSV_PATH), widePath(path).c_str());
        for (int id : {IDC_CSV_PATH, IDC_CHOOSE_CSV, IDC_NEXT}) {
            press(VK_TAB, main);
            EXPECT_EQ(id, GetDlgCtrlID(focus(main)));
        }
        press(VK_RETURN, main);
        ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(page2) != 0; }, 10000)) << "page 2";
        SetWindowTextW(GetDlgItem(page2, IDC_DEST_FOLDER), widePath(images).c_str());
        HWND blank = GetDlgItem(page2, IDC_BLANK_FAILED);
        for (int i = 0; i < 8 && focus(main) != blank; i++)
            press(VK_TAB, main);
        ASSERT_EQ(blank, focus(main));
        press(VK_SPACE, main);
        EXPECT_EQ(BST_CHECKED, SendMessageW(blank, BM_GETCHECK, 0, 0));
        press(VK_RETURN, main);
        HWND box = nullptr;
        ASSERT_TRUE(pumpUntil([&] { return (box = FindWindowW(L"#32770", L"完成")) != nullptr; }, 30000));
        press(VK_RETURN, box);
        EXPECT_TRUE(pumpUntil([&] { return !IsWindow(box); }, 10000)) << "Enter answers the final message";
        press(VK_ESCAPE, main);
    });
    EXPECT_EQ(0u, keyboard.exitCode);
    EXPECT_EQ(std::string::npos, utf16leWithBomToUtf8(readWholeFile(path)).find("/a.jpg"))
        << "the image moved";
}

} // namespace
