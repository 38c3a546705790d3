// A run's hold on its package: the lock that keeps other runs out lasts across the write-back,
// which puts a new file in the package's place.
#include "package/writer.h"

#include "platform/files.h"
#include "support/fakewindow.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <string>

TEST(PackageRun, TheLockHoldsFromTheStartToTheEndAcrossTheWriteBack) {
    resetFakeWindow();
    std::string dir = makeTempDir("package-run");
    std::string package = joinPath(dir, "shop.csv");
    writeWholeFile(package, utf8ToUtf16leWithBom("version 1.00\r\n"));

    ASSERT_EQ(beginPackageRun(package.c_str()), PACKAGE_READY);
    EXPECT_EQ(beginPackageRun(package.c_str()), PACKAGE_BUSY);
    FileLock other{-1};
    EXPECT_EQ(lockFile(package.c_str(), &other), LOCK_BUSY) << "another run cannot take the package";

    ASSERT_EQ(writePackage(package.c_str(), "version 2.00\r\n"), 1);
    EXPECT_EQ(readWholeFile(package), utf8ToUtf16leWithBom("version 2.00\r\n"));
    EXPECT_EQ(lockFile(package.c_str(), &other), LOCK_BUSY) << "the new file is held as the old one was";
    ASSERT_EQ(writePackage(package.c_str(), "version 3.00\r\n"), 1);
    EXPECT_EQ(lockFile(package.c_str(), &other), LOCK_BUSY);

    endPackageRun();
    ASSERT_EQ(lockFile(package.c_str(), &other), LOCK_TAKEN) << "the end of the run lets the package go";
    EXPECT_EQ(beginPackageRun(package.c_str()), PACKAGE_BUSY) << "a package held elsewhere is refused";
    unlockFile(&other);
    EXPECT_EQ(beginPackageRun(package.c_str()), PACKAGE_READY);
    endPackageRun();
    EXPECT_EQ(lockFile(joinPath(dir, "missing.csv").c_str(), &other), LOCK_FAILED);
    removeTree(dir);
}
