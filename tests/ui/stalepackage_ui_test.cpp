// The wizard's start button on a package that changed on disk after page 1 read it: the stale
// copy is never run; the user is sent back to choose the package again.
#include "uidriver.h"

#include "migration/job.h"
#include "migration/jobwindow.h"
#include "platform/files.h"
#include "support/testfiles.h"
#include "tools/support/wholefile.h"
#include "ui/mainwindow.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>

#include <windows.h>

TEST(MainWindowStalePackage, StartRefusesAPackageChangedSincePageOne) {
    ensureMainWindow();
    takeBoxes();
    std::string folder = makeTempDir("ui-stale-package");
    std::string path = joinPath(folder, "shop.csv");
    const std::string other = joinPath(folder, "other.csv");
    writeTestPackage(other, {{"宝贝二", "", ""}});
    // The second case keeps the size and the modification time: only the bytes tell.
    for (bool sameSizeAndTime : {false, true}) {
        SCOPED_TRACE(sameSizeAndTime ? "same size and time" : "longer");
        writeTestPackage(path, {{"宝贝一", "", ""}});
        loadPackage(widePath(path));
        ASSERT_EQ(2, currentPage);
        setChecked(controls.moveImageSpace, true);
        setChecked(controls.moveThirdParty, true);
        setControlText(controls.destFolder, widePath(folder).c_str());
        std::wstring wide = widePath(path);
        FILETIME written;
        HANDLE file =
            CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        GetFileTime(file, nullptr, nullptr, &written);
        CloseHandle(file);
        if (sameSizeAndTime) {
            writeWholeFile(path, readWholeFile(other));
            file = CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr);
            SetFileTime(file, nullptr, nullptr, &written);
            CloseHandle(file);
        } else {
            writeTestPackage(path, {{"宝贝一", "", ""}, {"宝贝三", "", ""}});
        }
        click(controls.next);
        auto shown = takeBoxes();
        ASSERT_EQ(1u, shown.size());
        EXPECT_EQ("数据包文件已被修改，请重新选择数据包。", shown[0].text);
        EXPECT_EQ(1, currentPage);
        EXPECT_EQ(0, jobRunning.load()) << "nothing started";
        FileLock lock{-1};
        EXPECT_EQ(LOCK_TAKEN, lockFile(path.c_str(), &lock)) << "the package is let go";
        unlockFile(&lock);
    }
    removeTree(folder);
}
