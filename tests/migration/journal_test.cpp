// The run journal read back after a crash: whole records only, files that are still there whole.
#include "migration/journal.h"

#include "migration/downloadqueue.h"

#include "core/appdir.h"
#include "core/containers.h"
#include "core/text.h"
#include "support/testfiles.h"
#include "tools/support/wholefile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct JournalCase {
    const char* name;
    int cutFromEnd;      // bytes cut off the end of the journal
    const char* garbage; // bytes appended after that
    const char* otherPackage;
    int adopted;
};

TEST(RunJournal, IsReadUpToItsLastWholeRecordAndAdoptsOnlyWholeFiles) {
    std::string dir = makeTempDir("journal");
    char savedAppDir[PATH_BUFFER_SIZE];
    copyBounded(savedAppDir, sizeof savedAppDir, appDir);
    copyBounded(appDir, sizeof appDir, dir.c_str());
    const std::string package = joinPath(dir, "shop.csv");
    const std::string a = joinPath(dir, "a#01.jpg"), b = joinPath(dir, "b#01.jpg"),
                      c = joinPath(dir, "c#01.jpg");
    const JournalCase cases[] = {
        {"whole", 0, "", nullptr, 2},
        {"cut in the last record", 5, "", nullptr, 1},
        {"cut deeper into the last record", 30, "", nullptr, 1},
        {"garbage after the last record", 0, "VJS\0garbage that is no record", nullptr, 2},
        {"another package under the same name", 0, "", "other.csv", 0},
    };
    for (const JournalCase& test : cases) {
        SCOPED_TRACE(test.name);
        writeWholeFile(a, "aaaa");
        writeWholeFile(b, "bbbbbbbb");
        writeWholeFile(c, "cc");
        RunJournal journal;
        openJournal(&journal, package.c_str());
        ASSERT_NE(journal.file, nullptr);
        journalImage(&journal, "http://x/a.jpg", a.c_str(), 4);
        journalImage(&journal, "http://x/c.jpg", c.c_str(), 3); // the file is not whole
        journalImage(&journal, "http://x/b.jpg", "/nowhere/b.jpg", 8);
        journalImage(&journal, "http://x/b.jpg", b.c_str(), 8); // a later record of an address wins
        closeJournal(&journal, 0);
        std::string bytes = readWholeFile(journal.path);
        bytes.resize(bytes.size() - static_cast<size_t>(test.cutFromEnd));
        bytes += std::string(test.garbage, test.garbage[0] ? 30 : 0);
        writeWholeFile(journal.path, bytes);

        HashMap* files = hashMapCreateDefault(stringHash, stringEquals);
        std::string reader = test.otherPackage ? joinPath(dir, test.otherPackage) : package;
        EXPECT_EQ(adoptJournal(journal.path, reader.c_str(), files), test.adopted);
        if (test.adopted >= 1) {
            EXPECT_EQ(std::string(static_cast<char*>(hashMapGet(files, "http://x/a.jpg"))), a);
            EXPECT_FALSE(hashMapContains(files, "http://x/c.jpg"));
        }
        if (test.adopted == 2) {
            EXPECT_EQ(std::string(static_cast<char*>(hashMapGet(files, "http://x/b.jpg"))), b);
        }
        hashMapDestroy(files, 1, 1);
        closeJournal(&journal, 1);
        EXPECT_FALSE(fileExists(journal.path));
    }
    copyBounded(appDir, sizeof appDir, savedAppDir);
    removeTree(dir);
}

// Only part files that name their run are ever taken for leftovers; the seller's files and the
// part files of older versions stay.
TEST(RunJournal, PartFileNamesNameTheirProcess) {
    const struct {
        const char* name;
        int part;
        unsigned long process;
    } cases[] = {
        {".vedo-1a-qx3k2p-3.part", 1, 46}, {".vedo-zz-1-1.part", 1, 1295}, {".vedo-17.part", 0, 0},
        {"x.vedo-1-2-3.part", 0, 0},       {".vedo-1-2-3.part.jpg", 0, 0}, {".vedo-1--3.part", 0, 0},
        {".vedo-12345678-1-1.part", 0, 0},
    };
    for (const auto& c : cases) {
        unsigned long process = 0;
        EXPECT_EQ(partFileProcess(c.name, &process), c.part) << c.name;
        if (c.part) {
            EXPECT_EQ(process, c.process) << c.name;
        }
    }
}

} // namespace
