// The wizard's start button on a package that another run holds or that cannot be written back:
// the refusal shows in a message box and nothing starts.
#include "uidriver.h"

#include "migration/job.h"
#include "migration/jobwindow.h"
#include "platform/files.h"
#include "support/testfiles.h"
#include "ui/mainwindow.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>

#include <windows.h>

TEST(MainWindowPackageRun, StartRefusesAPackageHeldByAnotherRunOrReadOnly) {
    ensureMainWindow();
    takeBoxes();
    std::string folder = makeTempDir("ui-package-run");
    std::string path = joinPath(folder, "shop.csv");
    writeTestPackage(path, {{"宝贝一", "", ""}});
    loadPackage(widePath(path));
    ASSERT_EQ(2, currentPage);
    setChecked(controls.moveImageSpace, true);
    setChecked(controls.moveThirdParty, true);
    setControlText(controls.destFolder, widePath(folder).c_str());

    struct Case {
        const char* what;
        const char* message;
    } cases[] = {
        {"held", "数据包正在被另一个搬家任务使用，请等它结束后再试。"},
        {"read-only", "数据包(csv文件)"
                      "是只读的，搬家后无法更新它。请去掉它的只读属性，或把它复制到可以写入的文件夹后再试。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileLock other{-1};
        std::wstring wide = widePath(path);
        if (std::string(c.what) == "held") {
            ASSERT_EQ(LOCK_TAKEN, lockFile(path.c_str(), &other));
        } else {
            SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY);
        }
        click(controls.next);
        auto shown = takeBoxes();
        unlockFile(&other);
        SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_EQ(1u, shown.size());
        EXPECT_EQ(c.message, shown[0].text);
        EXPECT_EQ("提示", shown[0].caption);
        EXPECT_EQ(ICON_WARNING, shown[0].icon);
        EXPECT_EQ(0, jobRunning.load()) << "nothing started";
        EXPECT_TRUE(IsWindowEnabled(controls.next));
        EXPECT_TRUE(IsWindowEnabled(controls.chooseFolder));
    }
    removeTree(folder);
}
