// Tests of the file functions with Chinese names, the replacing rename and the program's paths.
#include "platform/files.h"

#include "core/text.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

struct TempFolder {
    std::string dir = makeTempDir("files");
    ~TempFolder() { removeTree(dir); }
    std::string path(const std::string& utf8Name) const { return joinPath(dir, utf8ToEngine(utf8Name)); }
};

} // namespace

TEST(Files, ChineseNamesWorkThroughEveryFunction) {
    TempFolder temp;
    std::string folder = temp.path("图片 目录");
    std::string file = joinPath(folder, utf8ToEngine("宝贝#01.jpg"));

    EXPECT_EQ(isDirectory(folder.c_str()), 0);
    ASSERT_EQ(makeDirectory(folder.c_str()), 1);
    EXPECT_EQ(makeDirectory(folder.c_str()), 0) << "an existing folder is not made again";
    EXPECT_EQ(isDirectory(folder.c_str()), 1);
    EXPECT_EQ(fileExists(folder.c_str()), 0) << "a folder is not a file";
    EXPECT_EQ(fileSize(folder.c_str()), -1);

    EXPECT_EQ(fileExists(file.c_str()), 0);
    EXPECT_EQ(fileSize(file.c_str()), -1);
    FILE* f = openFile(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fileSize(file.c_str()), 0);
    std::fwrite("12345", 1, 5, f);
    EXPECT_EQ(flushFileToDisk(f), 1);
    EXPECT_EQ(fileSize(file.c_str()), 5) << "flushed bytes are on disk before the stream closes";
    std::fclose(f);
    EXPECT_EQ(fileExists(file.c_str()), 1);
    EXPECT_EQ(isDirectory(file.c_str()), 0);
    EXPECT_EQ(readWholeFile(file), "12345");

    EXPECT_EQ(removeFile(file.c_str()), 1);
    EXPECT_EQ(fileExists(file.c_str()), 0);
    EXPECT_EQ(removeFile(file.c_str()), 0);
}

TEST(Files, ReplaceSwapsInTheNewFileOrLeavesBothAlone) {
    TempFolder temp;
    std::string target = temp.path("数据包.csv");
    std::string fresh = temp.path("数据包.csv.tmp");
    writeWholeFile(target, "old contents");
    writeWholeFile(fresh, "new");
    ASSERT_EQ(replaceFile(fresh.c_str(), target.c_str()), 1);
    EXPECT_EQ(readWholeFile(target), "new");
    EXPECT_EQ(fileExists(fresh.c_str()), 0);

    // A missing source or a target in a missing folder fails without touching anything.
    EXPECT_EQ(replaceFile(fresh.c_str(), target.c_str()), 0);
    EXPECT_EQ(readWholeFile(target), "new");
    writeWholeFile(fresh, "again");
    std::string nowhere = joinPath(temp.path("无此目录"), "x.csv");
    EXPECT_EQ(replaceFile(fresh.c_str(), nowhere.c_str()), 0);
    EXPECT_EQ(readWholeFile(fresh), "again");
}

#ifdef _WIN32
TEST(Files, ReplaceWaitsForAFileHeldOpenForAMoment) {
    TempFolder temp;
    std::string target = temp.path("held.csv");
    std::string fresh = temp.path("held.csv.tmp");
    writeWholeFile(target, "old");
    writeWholeFile(fresh, "new");
    std::wstring wideTarget(target.begin(), target.end()); // ASCII
    // Held the way a scanner or a spreadsheet holds it: no sharing of deletion.
    HANDLE held = CreateFileW(wideTarget.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread release([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CloseHandle(held);
    });
    int replaced = replaceFile(fresh.c_str(), target.c_str());
    release.join();
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(readWholeFile(target), "new");
}
#endif

TEST(Files, ProgramPathAndDesktop) {
    char path[PATH_BUFFER_SIZE];
    ASSERT_EQ(programFilePath(path, sizeof path), 1);
    EXPECT_EQ(fileExists(path), 1);
    EXPECT_TRUE(std::strstr(fileNameOf(path), "test_core") == fileNameOf(path)) << path;
    char tiny[4];
    EXPECT_EQ(programFilePath(tiny, sizeof tiny), 0) << "a path that does not fit is refused";

    char desktop[PATH_BUFFER_SIZE];
#ifdef _WIN32
    ASSERT_EQ(specialFolderPath(CSIDL_DESKTOP_FOLDER, desktop), 1);
    EXPECT_GT(std::strlen(desktop), 3u);
#else
    EXPECT_EQ(specialFolderPath(CSIDL_DESKTOP_FOLDER, desktop), 0);
#endif
}
