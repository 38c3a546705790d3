// The shell helpers that can go wrong without anyone noticing: the redirected browser, the font
// height at high dots per inch and the renamed message-box buttons.
#include "uidriver.h"

#include "support/testfiles.h"
#include "ui/shell.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>

namespace {

TEST(ShellTest, OpenUrlWritesToTheBrowserLogAndLeavesTheProbeFile) {
    ensureMainWindow();
    std::remove(browserLogPath().c_str());
    openUrl("http://127.0.0.1:9/site/unzip.html");
    openUrl("http://127.0.0.1:9/site/");
    EXPECT_EQ("http://127.0.0.1:9/site/unzip.html\nhttp://127.0.0.1:9/site/\n",
              readWholeFile(browserLogPath()));

    wchar_t program[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring probe = program;
    probe = probe.substr(0, probe.rfind(L'\\')) + L"\\temp.html";
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(probe.c_str()));

    char url[64];
    productPageUrl("help.html", url, sizeof url);
    EXPECT_STREQ("http://127.0.0.1:9/site/help.html", url);
}

TEST(ShellTest, MessageBoxButtonsAreRenamedAndTheResultIsStillTheButtonsId) {
    ensureMainWindow();
    takeBoxes();
    queueBoxAnswer(IDNO);
    int result = messageBoxWithButtons(nullptr, L"问题", L"询问", MB_YESNOCANCEL | MB_ICONQUESTION, IDNO,
                                       L"不用再提示", IDCANCEL, L"否(&N)");
    EXPECT_EQ(IDNO, result);
    auto shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("不用再提示", shown[0].buttons[IDNO]);
    EXPECT_EQ("否(&N)", shown[0].buttons[IDCANCEL]);
    EXPECT_EQ("询问", shown[0].caption);

    // The renaming hook removed itself: the next box keeps the system's texts.
    int plain = MessageBoxW(nullptr, L"问题", L"询问", MB_YESNOCANCEL);
    EXPECT_EQ(IDCANCEL, plain);
    shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_NE("不用再提示", shown[0].buttons[IDNO]);
}

} // namespace
