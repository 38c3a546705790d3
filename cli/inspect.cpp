// vedo-cli inspect PACKAGE.csv [--https] [--json]: reads a package as the window does and prints its
// items with their description and mobile image addresses; --https reads it in secure mode.
#include "cli/commands.h"

#include "cli/cliwindow.h"
#include "cli/json.h"
#include "migration/job.h"
#include "migration/jobwindow.h"
#include "package/item.h"
#include "package/reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct LoadedPackage {
    ArrayList* items = arrayListCreate(256, 64);
    char* text = nullptr;
    ~LoadedPackage() {
        clearItems(items);
        arrayListDestroy(items, 0);
        std::free(text);
    }
};

// The https and protocol-relative addresses that a read in the default mode left, counted as a run
// with both sources ticked would move them.
int httpsImagesLeft(const ArrayList* items) {
    JobOptions everything;
    std::memset(&everything, 0, sizeof everything);
    everything.migrateImageSpace = everything.migrateThirdParty = 1;
    return countUncollectedSecureAddresses(items, everything);
}

void printJson(const ArrayList* items) {
    std::fputs("{\"items\":[", stdout);
    for (int32_t i = 0; i < items->count; i++) {
        const Item* item = static_cast<const Item*>(items->items[i]);
        if (i) std::fputc(',', stdout);
        std::printf("{\"index\":%d,\"title\":", item->index);
        writeJsonString(stdout, item->title);
        std::fputs(",\"descImages\":", stdout);
        // Every item of a package that loads has its description list; an empty one is printed
        // for safety should that ever change.
        if (item->descImages) {
            writeJsonStringList(stdout, item->descImages);
        } else {
            std::fputs("[]", stdout);
        }
        std::fputs(",\"mobileImages\":", stdout);
        writeJsonStringList(stdout, item->mobileImages);
        std::fputc('}', stdout);
    }
    std::fputc(']', stdout);
    // Only a package that holds such addresses, read without --https, has this member.
    const int left = httpsImagesLeft(items);
    if (left > 0) std::printf(",\"httpsImagesLeft\":%d", left);
    std::fputs("}\n", stdout);
}

void printAddressesText(const char* label, const ArrayList* list) {
    if (!list) {
        std::printf("  %s: none (the package has no mobile-details column)\n", label);
        return;
    }
    std::printf("  %s (%d):\n", label, list->count);
    for (int32_t i = 0; i < list->count; i++) {
        std::fputs("    ", stdout);
        writeUtf8Text(stdout, static_cast<const char*>(list->items[i]));
        std::fputc('\n', stdout);
    }
}

void printText(const ArrayList* items) {
    for (int32_t i = 0; i < items->count; i++) {
        const Item* item = static_cast<const Item*>(items->items[i]);
        std::printf("[%d] ", item->index);
        writeUtf8Text(stdout, item->title);
        std::fputc('\n', stdout);
        printAddressesText("description images", item->descImages);
        printAddressesText("mobile images", item->mobileImages);
    }
    std::printf("items: %d\n", items->count);
    const int left = httpsImagesLeft(items);
    if (left > 0) std::printf("https image addresses left (read with --https to collect them): %d\n", left);
}

int usage() {
    std::fputs("usage: vedo-cli inspect PACKAGE.csv [--https] [--json]\n", stderr);
    return EXIT_USAGE;
}

} // namespace

int runInspect(int argc, char** argv) {
    const char* path = nullptr;
    int json = 0;
    int secure = 0;
    for (int i = 0; i < argc; i++) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = 1;
        } else if (std::strcmp(argv[i], "--https") == 0) {
            secure = 1;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return usage();
        } else if (!path) {
            path = argv[i];
        } else {
            return usage();
        }
    }
    if (!path) return usage();

    LoadedPackage package;
    const int read = readPackage(path, package.items, &package.text, secure);
    if (read == PACKAGE_READ_FATAL) windowFatalError(lastReadFailure());
    if (!read) {
        std::fputs("错误: 无法读取数据包 ", stderr);
        writeUtf8Text(stderr, path);
        std::fputs("：", stderr);
        writeUtf8Text(stderr, lastReadFailure());
        std::fputc('\n', stderr);
        return cliExitStatus(1);
    }
    for (int32_t i = 0; i < package.items->count; i++)
        static_cast<Item*>(package.items->items[i])->index = i;
    if (json) {
        printJson(package.items);
    } else {
        printText(package.items);
    }
    std::fflush(stdout);
    return cliExitStatus(std::ferror(stdout) ? 1 : 0);
}
