// Tests that the title stem walks whole characters, so that no path separator reaches a file name.
#include "migration/naming.h"

#include "package/item.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The stem in a heap buffer of exactly the title's size, so that a read past its end is caught
// under AddressSanitizer.
std::string stemOf(const std::string& title) {
    std::vector<char> stem(ITEM_TITLE_SIZE, 'x');
    titleFileStem(title.c_str(), stem.data());
    return std::string(stem.data());
}

// Engine bytes of a few characters.
const std::string REN = "\x81\xA1";                 // 仭: its second byte is a lead byte's value
const std::string CHENG = "\x81\x5C";               // 乗: its second byte is '\'
const std::string JUE = "\x81\x7C";                 // 亅: its second byte is '|'
const std::string GAI = "\x95\x7C";                 // 晐
const std::string GUN = "\xD8\xAD";                 // 丨
const std::string GRINNING = "\x94\x39\xFC\x36";    // 😀, four bytes
const std::string EXTENSION_B = "\x95\x32\x82\x36"; // 𠀀, four bytes

} // namespace

TEST(TitleStem, WalksWholeCharactersSoThatNoSeparatorReachesTheName) {
    // A character's second byte never protects the byte after it.
    EXPECT_EQ(stemOf(REN + "/inner"), REN + "-inner");
    EXPECT_EQ(stemOf(REN + "\\inner"), REN + "-inner");
    EXPECT_EQ(stemOf(GUN + REN + "|" + REN + ":" + REN), GUN + REN + "-" + REN + "-" + REN);

    // Second bytes equal to '\' and '|' belong to their characters and stay.
    EXPECT_EQ(stemOf(CHENG + JUE + GAI), CHENG + JUE + GAI);
    EXPECT_EQ(stemOf(CHENG + "/" + JUE + "|" + GAI + "\\"), CHENG + "-" + JUE + "-" + GAI + "-");

    // Four-byte characters are taken whole, and what follows them is judged on its own.
    EXPECT_EQ(stemOf(GRINNING + "/" + EXTENSION_B + "\\x y"), GRINNING + "-" + EXTENSION_B + "-x-y");
    EXPECT_EQ(stemOf(GRINNING + EXTENSION_B + "?"), GRINNING + EXTENSION_B + "-");

    // An unpaired surrogate (the codes from 8431A530 to 8432F337) cannot stand in a file name on
    // every system: it becomes one '-'.
    EXPECT_EQ(stemOf("a\x84\x31\xA5\x30"
                     "b\x84\x32\xF3\x37"),
              "a-b-");
    EXPECT_EQ(stemOf("\x84\x31\xA4\x39"), "\x84\x31\xA4\x39") << "the last BMP code stays";

    // Bytes that begin no whole character: a lead byte cut off by the end or followed by a byte
    // that cannot continue it becomes '-', and the byte after it is judged on its own.
    EXPECT_EQ(stemOf("a\x81"), "a-");
    EXPECT_EQ(stemOf("\x81/\xFE"), "---");
    EXPECT_EQ(stemOf("\xFE \xFE\x30\x81/"), "---0--") << "a four-byte start without its last byte";
    EXPECT_EQ(stemOf("\x95\x32\x82"), "-2-") << "a four-byte character cut short";
    EXPECT_EQ(stemOf("\x95\x32\x82/"), "-2--");
    EXPECT_EQ(stemOf("\x80/\xFF|"), "\x80-\xFF-") << "bytes that never lead stay as they were";

    // A title longer than the stem is cut inside its 64th character: the half left becomes '-'.
    std::string title;
    for (int i = 0; i < 64; i++)
        title += REN;
    const std::string stem = stemOf(title);
    ASSERT_EQ(stem.size(), static_cast<size_t>(ITEM_TITLE_SIZE - 1));
    EXPECT_EQ(stem, title.substr(0, ITEM_TITLE_SIZE - 2) + "-");
}
