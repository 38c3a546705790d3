// Tests of rewriting image addresses in the package text to the paths of their files.
#include "tools/support/wholeaddress.h"
#include "migration/rewrite.h"

#include "core/containers.h"
#include "core/deployment.h"
#include "package/item.h"
#include "package/reader.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<int> reported;
// The context is the list that receives the percentages.
void recordProgress(void* context, int percent) {
    static_cast<std::vector<int>*>(context)->push_back(percent);
}

// An address-to-file map as the job builds it; an empty path marks a failed download.
struct ImageMap {
    HashMap* map = hashMapCreate(stringHash, stringEquals, 64, 0.75f);
    ~ImageMap() { hashMapDestroy(map, 1, 1); }
    ImageMap& saved(const std::string& address, const std::string& path) {
        hashMapPut(map, duplicateString(address.c_str()), duplicateString(path.c_str()));
        return *this;
    }
    ImageMap& failed(const std::string& address) { return saved(address, ""); }
};

struct Rewrite {
    int changed;
    std::string text;
};

Rewrite rewrite(ImageMap& images, const std::string& text, int blank) {
    char* buffer = duplicateString(text.c_str());
    reported.clear();
    int changed = rewritePackageText(images.map, &buffer, blank, recordProgress, &reported);
    Rewrite result{changed, buffer};
    std::free(buffer);
    return result;
}

// The longest address of images that begins at text[p] and stands whole there, or null.
const std::pair<const std::string, std::string>*
longestWhole(const std::map<std::string, std::string>& images, const std::string& text, size_t p) {
    const std::pair<const std::string, std::string>* best = nullptr;
    for (const auto& entry : images) {
        if (text.compare(p, entry.first.size(), entry.first) == 0 &&
            standsWhole(text, p + entry.first.size(), entry.first) && beginsWhole(text, p, entry.first) &&
            (!best || entry.first.size() > best->first.size())) {
            best = &entry;
        }
    }
    return best;
}

// The rewrite done the slow, obvious way: at every place the longest address that stands whole
// there wins; the quote that closes a field stays.
std::string referenceRewrite(const std::map<std::string, std::string>& images, const std::string& text,
                             int blank) {
    std::string out;
    size_t p = 0;
    while (p < text.size()) {
        if (blank && text.compare(p, 5, "<img>") == 0) {
            const auto* inner = longestWhole(images, text, p + 5);
            if (inner && inner->second.empty() &&
                text.compare(p + 5 + inner->first.size(), 6, "</img>") == 0) {
                p += 5 + inner->first.size() + 6;
                continue;
            }
        }
        const auto* best = longestWhole(images, text, p);
        if (!best) {
            out += text[p++];
            continue;
        }
        if (!best->second.empty()) {
            out += best->second;
        } else if (blank) {
            out += BLANK_IMAGE_URL;
        } else {
            out += best->first.substr(0, best->first.size() - closingQuote(best->first));
        }
        if (closingQuote(best->first)) out += '"';
        p += best->first.size();
    }
    return out;
}

} // namespace

TEST(Rewrite, ReplacesAnAddressEverywhereItIsUsed) {
    ImageMap images;
    images.saved("http://img.alicdn.com/a.jpg", "D:\\pics\\a#01.jpg");
    std::string text =
        "x<img src=\"\"http://img.alicdn.com/a.jpg\"\">\t<img>http://img.alicdn.com/a.jpg</img>\r\n";
    for (int i = 0; i < 5; i++)
        text += text;
    Rewrite result = rewrite(images, text, 0);
    EXPECT_EQ(result.changed, 1);
    EXPECT_EQ(result.text.find("http://"), std::string::npos);
    size_t count = 0;
    for (size_t at = result.text.find("a#01.jpg"); at != std::string::npos;
         at = result.text.find("a#01.jpg", at + 1))
        count++;
    EXPECT_EQ(count, 64u);
}

TEST(Rewrite, AnAddressThatBeginsAnotherCorruptsNeither) {
    const std::string original = "http://img.alicdn.com/bao/T1abc.jpg";
    const std::string thumbnail = original + "_60x60.jpg";
    const std::string text = "<img src=\"" + thumbnail + "\"><img src=\"" + original + "\"><img>" +
                             thumbnail + "</img>" + original;
    for (int order = 0; order < 2; order++) {
        ImageMap images;
        if (order == 0) {
            images.saved(original, "P/1.jpg").saved(thumbnail, "P/2.jpg");
        } else {
            images.saved(thumbnail, "P/2.jpg").saved(original, "P/1.jpg");
        }
        Rewrite result = rewrite(images, text, 0);
        EXPECT_EQ(result.changed, 1);
        EXPECT_EQ(result.text, "<img src=\"P/2.jpg\"><img src=\"P/1.jpg\"><img>P/2.jpg</img>P/1.jpg");
    }

    // A failed thumbnail stays whole: its beginning is not taken for the saved original.
    ImageMap partly;
    partly.saved(original, "P/1.jpg").failed(thumbnail);
    Rewrite kept = rewrite(partly, text, 0);
    EXPECT_EQ(kept.text,
              "<img src=\"" + thumbnail + "\"><img src=\"P/1.jpg\"><img>" + thumbnail + "</img>P/1.jpg");
}

TEST(Rewrite, AnAddressIsReplacedOnlyWhereItStandsWhole) {
    const std::string a = "http://img.alicdn.com/bao/x.jpg";
    const std::string thumbnail = a + "_60x60.jpg";
    const std::string enders = "\"' \t\r\n<>)|;,";
    // Where a longer address continues it, a is left alone; before each byte that ends an address
    // and at the end of the text it is replaced.
    auto textWith = [&](const std::string& longer, const std::string& whole) {
        std::string text =
            "<img src=\"" + longer + "\"><a href=\"" + a + "?x=1\">" + a + "/big.jpg" + a + "_430x430q90.jpg";
        for (char c : enders)
            text += whole + c;
        return text + whole;
    };
    const std::string text = textWith(thumbnail, a);

    ImageMap onlyShorter;
    onlyShorter.saved(a, "P/1.jpg");
    Rewrite shorter = rewrite(onlyShorter, text, 0);
    EXPECT_EQ(shorter.changed, 1);
    EXPECT_EQ(shorter.text, textWith(thumbnail, "P/1.jpg"));

    // The longer one moved too: each takes its own path.
    ImageMap both;
    both.saved(a, "P/1.jpg").saved(thumbnail, "P/2.jpg");
    EXPECT_EQ(rewrite(both, text, 0).text, textWith("P/2.jpg", "P/1.jpg"));

    // A failed longer one, blanked, leaves the shorter one's place to it.
    ImageMap failedLonger;
    failedLonger.saved(a, "P/1.jpg").failed(thumbnail);
    Rewrite blanked = rewrite(failedLonger, "<img src=\"" + thumbnail + "\">" + a + "_b", 1);
    EXPECT_EQ(blanked.text, "<img src=\"" + std::string(BLANK_IMAGE_URL) + "\">" + a + "_b");

    // An address that the reader took up to the quote closing its field stands whole whatever
    // follows the field, and the field keeps its quote; a doubled quote is part of an address.
    ImageMap toFieldEnd;
    toFieldEnd.saved(a + "\"", "P/3.jpg").saved(a + "\"\"", "P/4.jpg");
    EXPECT_EQ(rewrite(toFieldEnd, "\"<img src='" + a + "\"stray\t\"" + a + "\"\"_b'\"", 0).text,
              "\"<img src='P/3.jpg\"stray\t\"P/3.jpg\"\"_b'\"");
}

TEST(Rewrite, BlankModeRemovesMobileElementsAndBlanksOtherUses) {
    const std::string failed = "http://img.alicdn.com/imgextra/i1/gone.jpg";
    const std::string saved = "http://img.alicdn.com/imgextra/i1/kept.jpg";
    ImageMap images;
    images.failed(failed).saved(saved, "D/kept.jpg");
    std::string text = "<p><img src=\"\"" + failed + "\"\"></p>\t\"<wapDesc><img>" + failed + "</img><img>" +
                       saved + "</img><txt>t</txt></wapDesc>\"\r\n";
    Rewrite result = rewrite(images, text, 1);
    EXPECT_EQ(result.changed, 1);
    EXPECT_EQ(result.text, std::string("<p><img src=\"\"") + BLANK_IMAGE_URL +
                               "\"\"></p>\t\"<wapDesc><img>D/kept.jpg</img><txt>t</txt></wapDesc>\"\r\n");

    // Blank mode with a failure marks the package for writing even when the address is gone.
    ImageMap absent;
    absent.failed("http://nowhere.example/x.jpg");
    Rewrite untouched = rewrite(absent, "no addresses here", 1);
    EXPECT_EQ(untouched.changed, 1);
    EXPECT_EQ(untouched.text, "no addresses here");
}

TEST(Rewrite, FailuresWithoutBlankModeChangeNothing) {
    ImageMap images;
    images.failed("http://a.example/1.jpg").failed("http://a.example/2.jpg");
    const std::string text = "<img>http://a.example/1.jpg</img> src=\"http://a.example/2.jpg\"";
    char* buffer = duplicateString(text.c_str());
    char* before = buffer;
    reported.clear();
    EXPECT_EQ(rewritePackageText(images.map, &buffer, 0, recordProgress, &reported), 0);
    EXPECT_EQ(buffer, before) << "the text is left in place";
    EXPECT_EQ(std::string(buffer), text);
    std::free(buffer);

    // A saved address that no longer occurs changes nothing either.
    ImageMap stale;
    stale.saved("http://a.example/3.jpg", "D/3.jpg");
    EXPECT_EQ(rewrite(stale, text, 0).changed, 0);
}

TEST(Rewrite, ProgressRisesInWholePercentagesToOneHundred) {
    ImageMap images;
    images.saved("http://a.example/1.jpg", "D/1.jpg");
    std::string text;
    for (int i = 0; i < 5000; i++)
        text += "<img src=\"http://a.example/1.jpg\">";
    rewrite(images, text, 0);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), 100);
    for (size_t i = 1; i < reported.size(); i++)
        EXPECT_GT(reported[i], reported[i - 1]);
    EXPECT_GT(reported.size(), 50u) << "a long text reports along the way";

    rewrite(images, "", 0);
    EXPECT_EQ(reported, std::vector<int>{100});

    ImageMap empty;
    EXPECT_EQ(rewrite(empty, text, 1).changed, 0);
    EXPECT_TRUE(reported.empty()) << "an empty map reports nothing";
}

// A protocol-relative address is replaced where it begins, never as the tail of an http:// or
// https:// address with the same host and path; each spelling is replaced as it is written.
TEST(Rewrite, ProtocolRelativeAddressesStandWholeOnlyWhereTheyBegin) {
    const std::string r = "//img.alicdn.com/bao/x.jpg";
    const std::string s = "https:" + r;
    auto textWith = [&](const std::string& relative, const std::string& secure) {
        return "<img src=\"http:" + r + "\"><img src=\"" + secure + "\"><img src=\"HTTPS:" + r + "\">" +
               "<img src=\"" + relative + "\"><img src=" + relative + "><p style=\"background:url(" +
               relative + ")\"><img>" + relative + "</img>\t" + relative + "\r\n" + relative;
    };
    const std::string text = textWith(r, s);

    ImageMap onlyRelative;
    onlyRelative.saved(r, "P/1.jpg");
    EXPECT_EQ(rewrite(onlyRelative, text, 0).text, textWith("P/1.jpg", s));

    ImageMap both;
    both.saved(r, "P/1.jpg").saved(s, "P/2.jpg");
    EXPECT_EQ(rewrite(both, text, 0).text, textWith("P/1.jpg", "P/2.jpg"));

    // A failed https address, blanked, leaves its "//" alone.
    ImageMap failedSecure;
    failedSecure.saved(r, "P/1.jpg").failed(s);
    EXPECT_EQ(rewrite(failedSecure, text, 1).text, textWith("P/1.jpg", BLANK_IMAGE_URL));
}

TEST(Rewrite, AgreesWithTheObviousRewriteOnManyOverlappingAddresses) {
    // Addresses over a small alphabet share long beginnings, contain one another, branch after a
    // shared beginning and hold bytes that end an address in their middle and at their end, and
    // some run past the length beyond which the lookup first asks whether a longer address can
    // still match. Paths shorter than, longer than and mixed with their addresses take both ways
    // of writing the result.
    std::mt19937 random(20240607);
    const char alphabet[] = "ab/_\"";
    for (int round = 0; round < 90; round++) {
        std::map<std::string, std::string> reference;
        ImageMap images;
        std::string stem = "http://i.example/";
        int keys = 1 + static_cast<int>(random() % 40);
        int pathStyle = round % 3; // short, long, mixed
        for (int k = 0; k < keys; k++) {
            std::string address = stem;
            size_t extra = random() % (round % 10 == 9 ? 700 : 120);
            for (size_t i = 0; i < extra; i++)
                address += alphabet[random() % 5];
            if (random() % 3 == 0) address = address.substr(0, 1 + random() % address.size());
            if (reference.count(address)) continue;
            std::string path;
            if (random() % 4 != 0) {
                bool longPath = pathStyle == 1 || (pathStyle == 2 && random() % 2 == 0);
                path =
                    (longPath ? std::string(150, 'L') : std::string("F")) + "/" + std::to_string(k) + ".jpg";
            }
            reference[address] = path;
            images.saved(address, path);
        }
        std::string text;
        for (int piece = 0; piece < 200; piece++) {
            auto it = reference.begin();
            std::advance(it, static_cast<long>(random() % reference.size()));
            switch (random() % 5) {
            case 0:
                text += it->first;
                break;
            case 1:
                text += "<img>" + it->first + "</img>";
                break;
            case 2:
                // An address cut short or carried on.
                text += it->first.substr(0, random() % (it->first.size() + 1));
                text += alphabet[random() % 5];
                break;
            case 3:
                text += "ab/_\" '|;,)>\r"[random() % 12];
                break;
            default:
                text += "\t\"<p>";
                break;
            }
        }
        for (int blank = 0; blank < 2; blank++) {
            std::string expected = referenceRewrite(reference, text, blank);
            Rewrite result = rewrite(images, text, blank);
            ASSERT_EQ(result.text, expected) << "round " << round << " blank " << blank;
        }
    }
}

TEST(Rewrite, AgreesPieceByPieceOnAShopSizedMap) {
    // A shop's worth of addresses in a text of several megabytes, the map filled in an order
    // unrelated to the text's. Every fifth image has its thumbnail, every seventh failed; the
    // expected text is put together piece by piece.
    constexpr int IMAGES = 6000;
    std::mt19937 random(7);
    std::vector<std::string> addresses;
    std::vector<std::string> paths;
    for (int i = 0; i < IMAGES; i++) {
        std::string address = "http://img.example.com/imgextra/i" + std::to_string(i % 4) + "/2206" +
                              std::to_string(100000 + i) + "/O1CN01x" + std::to_string(random()) + ".jpg";
        addresses.push_back(address);
        paths.push_back(i % 7 == 3 ? "" : "D:\\shop\\" + std::to_string(i) + ".jpg");
        if (i % 5 == 0) {
            addresses.push_back(address + "_60x60.jpg");
            paths.push_back("D:\\shop\\" + std::to_string(i) + "_60x60.jpg");
        }
    }
    std::vector<size_t> fillOrder(addresses.size());
    for (size_t i = 0; i < fillOrder.size(); i++)
        fillOrder[i] = i;
    std::shuffle(fillOrder.begin(), fillOrder.end(), random);
    ImageMap images;
    for (size_t i : fillOrder)
        images.saved(addresses[i], paths[i]);

    for (int blank = 0; blank < 2; blank++) {
        std::string text;
        std::string expected;
        auto both = [&](const std::string& piece) {
            text += piece;
            expected += piece;
        };
        while (text.size() < 4u * 1000 * 1000) {
            size_t i = random() % addresses.size();
            const std::string& address = addresses[i];
            const std::string& path = paths[i];
            std::string replaced = !path.empty() ? path : blank ? BLANK_IMAGE_URL : address;
            switch (random() % 4) {
            case 0:
                both("<img src=\"\"");
                text += address;
                expected += replaced;
                both("\"\">");
                break;
            case 1:
                text += "<img>" + address + "</img>";
                expected += path.empty() && blank ? "" : "<img>" + replaced + "</img>";
                break;
            case 2:
                // Not in the map: the address carried on, and one the shop never had.
                both(address + "x");
                both(" http://img.example.com/imgextra/i9/none.jpg ");
                break;
            default:
                both("\xC4\xFA\xBA\xC3\xA3\xAC\xCF\xC2\xB5\xA5\xC7\xEB\xD7\xA2\xD2\xE2");
                break;
            }
        }
        Rewrite result = rewrite(images, text, blank);
        ASSERT_EQ(result.text.size(), expected.size()) << "blank " << blank;
        ASSERT_TRUE(result.text == expected) << "blank " << blank;
        EXPECT_EQ(result.changed, 1);
        EXPECT_EQ(reported.back(), 100);
    }
}

namespace {

// Every address that the reader collected from a package's items.
std::set<std::string> collectedAddresses(const std::string& packageUtf8, const std::string& dir,
                                         std::string* packageText) {
    std::string path = joinPath(dir, "shop.csv");
    writeWholeFile(path, utf8ToUtf16leWithBom(packageUtf8));
    ArrayList* items = arrayListCreate(256, 64);
    char* text = nullptr;
    EXPECT_EQ(readPackage(path.c_str(), items, &text, 0), 1);
    std::set<std::string> addresses;
    for (int32_t i = 0; i < items->count; i++) {
        const Item* item = static_cast<const Item*>(items->items[i]);
        for (const ArrayList* list : {item->descImages, item->mobileImages}) {
            for (int32_t k = 0; list && k < list->count; k++)
                addresses.insert(static_cast<const char*>(list->items[k]));
        }
    }
    clearItems(items);
    arrayListDestroy(items, 0);
    if (packageText && text) *packageText = text;
    std::free(text);
    return addresses;
}

} // namespace

TEST(Rewrite, EveryAddressTheReaderCollectsIsRewritten) {
    // Each pattern of the reader, with every byte that it stops at, the end of a field it runs
    // to (followed by the next field, by a line break or by stray text), the mobile details, and an
    // address that begins a longer one collected as well. Moving every address leaves none for a
    // later read; moving all but the longer one leaves exactly that one whole.
    const std::string u = "http://img.alicdn.com/imgextra/i1/";
    const std::string descriptions[] = {
        "<img src=\"" + u + "1.jpg\"><IMG SRC='" + u + "2.jpg'><img src=" + u + "3.jpg alt=x><img src=" + u +
            "4.jpg|x><img src=" + u + "5.jpg><a href=\"" + u + "1.jpg_big.jpg\">",
        "<td background=\"" + u + "6.jpg\"><td background='" + u + "7.jpg'><td background=" + u +
            "8.jpg><p style=\"background : url( \"" + u + "9.jpg\")\"></p><p style=\"background:url('" + u +
            "10.jpg')\"><p style=\"background:url(" + u + "11.jpg)\">",
        "<img src=\"" + u + "12.jpg\"><img src=\"" + u + "12.jpg_60x60.jpg\"><img src='" + u + "13.jpg",
        "<img src=" + u + "14.jpg",
        "<p style=\"background:url(" + u + "15.jpg",
    };
    std::string package = "version 1.00\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n";
    for (int row = 0; row < 5; row++) {
        std::string mobile = row == 1 ? "<img>" + u + "16.jpg</img><img>" + u + "12.jpg</img>" : "";
        package += csvQuoted("宝贝" + std::to_string(row)) + "\t" + csvQuoted(descriptions[row]) +
                   (row == 3 ? "stray" : "") + "\t" + csvQuoted(mobile) + "\t1\r\n";
    }
    std::string dir = makeTempDir("rewrite");
    std::string text;
    std::set<std::string> collected = collectedAddresses(package, dir, &text);
    ASSERT_EQ(collected.size(), 17u) << "1 to 16 and the thumbnail of 12";

    for (int allButThumbnail = 0; allButThumbnail < 2; allButThumbnail++) {
        ImageMap images;
        std::set<std::string> left;
        int number = 0;
        for (const std::string& address : collected) {
            if (allButThumbnail && address.find("_60x60") != std::string::npos) {
                left.insert(address);
            } else {
                images.saved(address, "D:\\images\\" + std::to_string(++number) + ".jpg");
            }
        }
        Rewrite result = rewrite(images, text, 0);
        EXPECT_NE(result.text.find(u + "1.jpg_big.jpg"), std::string::npos) << "a link is no image";
        EXPECT_EQ(collectedAddresses(engineToUtf8(result.text), dir, nullptr), left);
    }
    removeTree(dir);
}
