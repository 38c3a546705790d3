// Tests of app.log: stamped lines written byte for byte, the size rule at start, failures.
#include "core/appdir.h"
#include "core/applog.h"
#include "core/text.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

struct LogFolder {
    std::string dir;
    std::string saved;
    LogFolder() : dir(makeTempDir("log")), saved(appDir) { copyBounded(appDir, sizeof appDir, dir.c_str()); }
    ~LogFolder() {
        if (logFile) std::fclose(logFile);
        logFile = nullptr;
        copyBounded(appDir, sizeof appDir, saved.c_str());
        removeTree(dir);
    }
    std::string path() const { return joinPath(dir, "app.log"); }
};

TEST(AppLog, LinesAreStampedAndWrittenByteForByte) {
    LogFolder folder;
    ASSERT_EQ(openLog(), 1);
    writeLog("first");
    writeLog("");
    writeLog("multi\r\nline");
    std::string log = readWholeFile(folder.path());
    std::regex shape(
        "\\d\\d:\\d\\d:\\d\\d first\r\n\\d\\d:\\d\\d:\\d\\d \r\n\\d\\d:\\d\\d:\\d\\d multi\r\nline\r\n");
    EXPECT_TRUE(std::regex_match(log, shape)) << log;
}

TEST(AppLog, SizeRuleAtStart) {
    LogFolder folder;
    writeWholeFile(folder.path(), std::string(static_cast<size_t>(LOG_MAX_SIZE), 'a'));
    ASSERT_EQ(openLog(), 1);
    writeLog("kept");
    EXPECT_EQ(readWholeFile(folder.path()).size(), static_cast<size_t>(LOG_MAX_SIZE) + 15)
        << "a log of exactly the limit is appended to";
    std::fclose(logFile);
    logFile = nullptr;

    writeWholeFile(folder.path(), std::string(static_cast<size_t>(LOG_MAX_SIZE) + 1, 'a'));
    ASSERT_EQ(openLog(), 1);
    writeLog("new");
    EXPECT_EQ(readWholeFile(folder.path()).size(), 14u) << "a larger log is replaced";
}

TEST(AppLog, FormatClockIsBounded) {
    char small[4];
    std::memset(small, 'x', sizeof small);
    formatClock(small, sizeof small);
    EXPECT_EQ(small[3], '\0');
    char full[10] = {0};
    EXPECT_EQ(formatClock(full, sizeof full), 8);
}

TEST(AppLog, MissingFolderFailsCleanly) {
    LogFolder folder;
    std::string missing = joinPath(folder.dir, "no-such-folder");
    copyBounded(appDir, sizeof appDir, missing.c_str());
    EXPECT_EQ(openLog(), 0);
}
