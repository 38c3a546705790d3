// The migration job: downloads every item's images, rewrites the package and reports to its window.
#include "migration/job.h"

#include "core/applog.h"
#include "core/charset.h"
#include "core/containers.h"
#include "core/deployment.h"
#include "core/text.h"
#include "http/connection.h"
#include "http/proxy.h"
#include "http/download.h"
#include "migration/downloadqueue.h"
#include "migration/journal.h"
#include "migration/jobwindow.h"
#include "migration/naming.h"
#include "migration/rewrite.h"
#include "package/item.h"
#include "package/writer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

std::atomic<int> jobRunning{0};
std::atomic<int> stopRequested{0};
std::atomic<int> jobImagesSaved{0};
std::atomic<int> jobImagesFailed{0};
std::atomic<int> jobCurrentRow{-1};
std::atomic<int> jobFinishedRows{0};
JobSummary jobSummary;

static constexpr const char* CREATE_FAILED_TWICE_MESSAGE =
    "图片搬家中断：无法创建新文件。\n\n可以对刚才的数据包(csv)"
    "文件再搬家一次，如果还是出现类似问题请联系我们的客服。";
static constexpr const char* CREATE_FAILED_TEXT = "图片搬家失败：无法创建新文件。";

// The state of one run; the job thread is its only user (the download workers see only the
// records handed to them). Every image is fetched by the workers into a part file, one
// connection or several, and takes its name in package order.
struct MigrationRun {
    JobOptions options;
    HashMap* imageFiles;
    int total;
    int finishedCount;
    int failureCount;
    char errorText[ERROR_TEXT_SIZE];
    // The workers, the records handed out and not yet taken (address -> DownloadRecord), and the
    // place in the package up to which addresses have been handed out.
    DownloadQueue* queue;
    HashMap* handedOut;
    int aheadRow;
    int aheadPart; // 0 the description images of aheadRow, 1 its mobile images
    int aheadIndex;
    // The most addresses handed out at once: one connection fetches only the image the item loop
    // waits for, exactly one after the other.
    int window;
    // After a stop: the workers have ended, and every record still handed out is finished.
    int queueStopped;
    // The item loop ends at the current image: a stop reached an image that was not fetched
    // whole, or an error stopped the run.
    int halted;
    RunJournal journal;
};

// The longest the item loop waits for a download without looking at the stop flag.
static constexpr int STOP_CHECK_SLICE_MILLISECONDS = 250;

int beginRun(const char* packagePath, const char* imageFolder) {
    if (!imageFolderHasRoom(imageFolder)) return IMAGE_FOLDER_TOO_LONG;
    return beginPackageRun(packagePath);
}

int checkRunStart(const JobOptions& options, const char* folder, const char* packagePath) {
    if (!options.migrateImageSpace && !options.migrateThirdParty) return START_NO_SOURCE;
    if (!folder || !folder[0]) return START_NO_FOLDER;
    if (std::strlen(folder) >= PATH_BUFFER_SIZE || !isDirectory(folder)) return START_FOLDER_MISSING;
    char desktop[PATH_BUFFER_SIZE] = {0};
    if (specialFolderPath(CSIDL_DESKTOP_FOLDER, desktop) && std::strcmp(desktop, folder) == 0)
        return START_FOLDER_IS_DESKTOP;
    return beginRun(packagePath, folder);
}

const char* runStartRefusalText(int refusal) {
    switch (refusal) {
    case START_NO_SOURCE:
        return "[搬来自淘宝图片空间里的图片] 与 [搬来自第三方相册里的图片] 至少需选择其中一项";
    case START_NO_FOLDER:
        return "请选择图片搬家后保存到哪一个文件夹中";
    case START_FOLDER_MISSING:
        return "选择的文件夹不存在，请重新选择";
    case START_FOLDER_IS_DESKTOP:
        return "不可以将图片搬家到[桌面]上，因为将图片搬家到桌面上，图片有可能会铺满整个桌面。\n\n"
               "请重新选择一个文件夹。";
    default:
        return packageRunRefusalText(refusal);
    }
}

int isImageSpaceAddress(const char* address) {
    for (int i = 0; i < IMAGE_SPACE_HOST_MARKER_COUNT; i++) {
        if (std::strstr(address, IMAGE_SPACE_HOST_MARKERS[i])) return 1;
    }
    return 0;
}

static int isSelectedDescriptionAddress(const JobOptions& options, const char* address) {
    if (options.migrateImageSpace && options.migrateThirdParty) return 1;
    if (options.migrateImageSpace) return isImageSpaceAddress(address);
    if (options.migrateThirdParty) return !isImageSpaceAddress(address);
    return 0;
}

static void addFailedAddress(ArrayList** failures, const char* address) {
    if (!*failures) *failures = arrayListCreateDefault();
    if (!arrayListContains(*failures, address, stringEquals))
        arrayListAdd(*failures, duplicateString(address));
}

static void recordSaved(MigrationRun* run, const char* address, const char* path) {
    hashMapPut(run->imageFiles, duplicateString(address), duplicateString(path));
    jobImagesSaved++;
}

static void recordFailed(MigrationRun* run, ArrayList** failures, const char* address) {
    // A download cut off by the stop request is no failure of the address: it stays for the next run.
    if (stopRequested) return;
    hashMapPut(run->imageFiles, duplicateString(address), duplicateString(""));
    addFailedAddress(failures, address);
    run->failureCount++;
    jobImagesFailed++;
    writeLogFormat(programText("搬家失败：%s，返回的错误信息：\r\n%s"), address, run->errorText);
}

static void stopWithMessage(MigrationRun* run, const char* text) {
    windowShowMessage(text, programText("错误"), ICON_ERROR);
    run->halted = 1;
    stopRequested = 1;
}

// An address already handled in this run: returns 1 (and records a failure for this item when
// it failed before).
static int servedFromMap(MigrationRun* run, ArrayList** failures, const char* address) {
    const char* saved = static_cast<const char*>(hashMapGet(run->imageFiles, address));
    if (!saved) return 0;
    if (!*saved) addFailedAddress(failures, address);
    return 1;
}

// The next address that the item loop will take, in package order, from the place handed out
// so far; nullptr at the end of the package.
static const char* nextAddressAhead(MigrationRun* run) {
    while (run->aheadRow < run->total) {
        Item* item = static_cast<Item*>(items->items[run->aheadRow]);
        if (run->aheadPart == 0) {
            if (item->descImages && run->aheadIndex < item->descImages->count) {
                const char* address = static_cast<const char*>(item->descImages->items[run->aheadIndex++]);
                if (isSelectedDescriptionAddress(run->options, address)) return address;
                continue;
            }
            run->aheadPart = 1;
            run->aheadIndex = 0;
        }
        if (item->mobileImages && run->options.migrateImageSpace &&
            run->aheadIndex < item->mobileImages->count)
            return static_cast<const char*>(item->mobileImages->items[run->aheadIndex++]);
        run->aheadRow++;
        run->aheadPart = 0;
        run->aheadIndex = 0;
    }
    return nullptr;
}

// Hands out the addresses ahead of the item loop, each once, until the window is full.
static void handOutAhead(MigrationRun* run) {
    while (run->handedOut->count < run->window && !stopRequested) {
        const char* address = nextAddressAhead(run);
        if (!address) return;
        if (hashMapContains(run->imageFiles, address) || hashMapContains(run->handedOut, address)) continue;
        DownloadRecord* record = queueDownload(run->queue, run->options.destFolder, address);
        hashMapPut(run->handedOut, duplicateString(address), record);
    }
}

// Takes the finished record of an address: waits for its end and returns it, no longer handed
// out. The item loop's address is always handed out before anything behind it, so nullptr means
// that a stop came first: nothing new is handed out then. After a stop the workers are ended
// first, so that every record still handed out is finished and no wait is longer than theirs.
static DownloadRecord* takeHandedOut(MigrationRun* run, const char* address) {
    handOutAhead(run);
    DownloadRecord* record = static_cast<DownloadRecord*>(hashMapGet(run->handedOut, address));
    if (!record) return nullptr;
    // One connection: the job thread fetches the image itself, exactly one after the other.
    if (run->window == 1) fetchHere(run->queue, record);
    for (;;) {
        if (stopRequested && !run->queueStopped) {
            stopDownloadQueue(run->queue);
            run->queueStopped = 1;
        }
        if (waitForDownload(run->queue, record, STOP_CHECK_SLICE_MILLISECONDS)) break;
    }
    hashMapRemove(run->handedOut, address);
    return record;
}

// The end of a download, in package order and with the outcome known. A description image
// (stem set) takes the first free numbered name of its item, a mobile image (stem nullptr) a
// stamp name; a failed image takes none, so that the next image of the item has its number.
static void finishDownload(MigrationRun* run, ArrayList** failures, const char* stem, int* imageNumber,
                           DownloadRecord* record) {
    const char* address = record->address;
    const char* ext = chooseImageExtension(address);
    char path[PATH_BUFFER_SIZE] = {0};
    if (record->result == DOWNLOAD_STORED) {
        // Also after a stop: what was fetched whole is kept, up to the first image that was not.
        long long size = lockedFileSize(&record->partLock);
        const char* folder = run->options.destFolder;
        if ((!stem || !placeNumberedImage(folder, stem, imageNumber, ext, record->partPath, path,
                                          &run->journal, address, size)) &&
            !placeStampImage(folder, ext, record->partPath, path, &run->journal, address, size)) {
            stopWithMessage(run, programText(stem ? CREATE_FAILED_TWICE_MESSAGE : CREATE_FAILED_TEXT));
            return;
        }
        releasePartFile(record);
        recordSaved(run, address, path);
        return;
    }
    // A download cut off by the stop request is no failure of the address: it stays for the next
    // run, and the run ends its work here.
    if (stopRequested) {
        run->halted = 1;
        return;
    }
    if (record->result == DOWNLOAD_CREATE_FAILED) {
        stopWithMessage(run, stem ? programText(CREATE_FAILED_TWICE_MESSAGE) : record->errorText);
        return;
    }
    if (record->result == DOWNLOAD_WRITE_FAILED) {
        stopWithMessage(run, record->errorText);
        return;
    }
    // The stamp counter moves on as though the name had been taken, so that the names of the
    // images after it do not depend on which ones failed.
    if (!stem || !formatNumberedImagePath(run->options.destFolder, stem, *imageNumber, ext, path))
        stampImagePath(run->options.destFolder, ext, path);
    copyBounded(run->errorText, sizeof run->errorText, record->errorText);
    recordFailed(run, failures, address);
}

static void moveImage(MigrationRun* run, ArrayList** failures, const char* stem, int* imageNumber,
                      const char* address) {
    if (servedFromMap(run, failures, address)) return;
    DownloadRecord* record = takeHandedOut(run, address);
    if (!record) {
        run->halted = 1;
        return;
    }
    finishDownload(run, failures, stem, imageNumber, record);
    discardDownload(record);
}

static void setProgressText(int total, int finished, const char* suffix) {
    char text[256];
    std::snprintf(text, sizeof text, programText("搬家进度(宝贝数:%d, 已搬家宝贝数:%d)%s"), total, finished,
                  suffix);
    windowSetProgressText(text);
}

static void finishItem(MigrationRun* run, int row, Item* item) {
    char count[16];
    windowSetRowText(row, COLUMN_STATUS, programText("完成"));
    if (item->descFailures) {
        std::snprintf(count, sizeof count, "%d", item->descFailures->count);
        windowSetRowText(row, COLUMN_DESC_FAILURES, count);
    }
    if (item->mobileFailures) {
        std::snprintf(count, sizeof count, "%d", item->mobileFailures->count);
        windowSetRowText(row, COLUMN_MOBILE_FAILURES, count);
    }
    run->finishedCount++;
    windowSetProgressPos(run->finishedCount);
    setProgressText(run->total, run->finishedCount, "");
    // The window reads an item's failure lists only once it is finished.
    item->status = ITEM_STATUS_FINISHED;
    jobFinishedRows = run->finishedCount;
    if (windowIsRowSelected(row) && (item->descFailures || item->mobileFailures))
        windowNotifySelectionChanged();
}

static void moveItem(MigrationRun* run, int row, Item* item) {
    jobCurrentRow = row;
    windowEnsureRowVisible(row);
    windowSetRowText(row, COLUMN_STATUS, programText("搬家中"));
    char stem[ITEM_TITLE_SIZE] = {0};
    titleFileStem(item->title, stem);

    // After a stop the item goes on with what was fetched whole ahead of it, up to the first image
    // that was not (run->halted).
    if (item->descImages && item->descImages->count > 0 && !run->halted) {
        int imageNumber = 1;
        for (int32_t i = 0; i < item->descImages->count && !run->halted; i++) {
            const char* address = static_cast<const char*>(item->descImages->items[i]);
            if (isSelectedDescriptionAddress(run->options, address))
                moveImage(run, &item->descFailures, stem, &imageNumber, address);
        }
    }
    if (item->mobileImages && run->options.migrateImageSpace && !run->halted) {
        for (int32_t i = 0; i < item->mobileImages->count && !run->halted; i++)
            moveImage(run, &item->mobileFailures, nullptr, nullptr,
                      static_cast<const char*>(item->mobileImages->items[i]));
    }
    // A stopped item stays unfinished: its row keeps "搬家中" and it is not counted.
    if (run->halted) return;
    finishItem(run, row, item);
}

// The rewrite's progress; context is the run.
static void reportRewriteProgress(void* context, int percent) {
    const MigrationRun* run = static_cast<const MigrationRun*>(context);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, programText(", 正在更新csv文件...(%d%%)"), percent);
    setProgressText(run->total, run->finishedCount, suffix);
}

int countUncollectedSecureAddresses(const ArrayList* list, const JobOptions& options) {
    HashMap* seen = hashMapCreate(stringHash, stringEquals, 64, 0.75f);
    for (int32_t row = 0; list && row < list->count; row++) {
        const Item* item = static_cast<const Item*>(list->items[row]);
        const ArrayList* desc = item->uncollectedDescImages;
        for (int32_t i = 0; desc && i < desc->count; i++) {
            if (isSelectedDescriptionAddress(options, static_cast<char*>(desc->items[i])))
                hashMapPut(seen, desc->items[i], desc->items[i]);
        }
        const ArrayList* mobile = item->uncollectedMobileImages;
        for (int32_t i = 0; mobile && options.migrateImageSpace && i < mobile->count; i++)
            hashMapPut(seen, mobile->items[i], mobile->items[i]);
    }
    const int count = seen->count;
    hashMapDestroy(seen, 0, 0);
    return count;
}

// The final message, with a last line about the https addresses that were left when there are any.
static void showMessageWithUncollected(const char* text, const char* caption, int icon, int uncollected) {
    if (uncollected <= 0) {
        windowShowMessage(text, caption, icon);
        return;
    }
    char line[256];
    std::snprintf(
        line, sizeof line,
        programText("\n\n数据包中还有%d个https图片地址未搬家，勾选[同时搬家https图片地址]后再次搬家即可。"),
        uncollected);
    const std::string whole = std::string(text) + line;
    windowShowMessage(whole.c_str(), caption, icon);
}

static void showFinalMessage(int packageChanged, int failureCount, int blankFailedImages, int uncollected) {
    if (packageChanged) {
        if (failureCount == 0 || blankFailedImages) {
            showMessageWithUncollected(programText("图片搬家已完成，数据包(CSV文件)已更新。"),
                                       programText("完成"), ICON_INFORMATION, uncollected);
        } else {
            showMessageWithUncollected(
                programText("图片搬家已完成，数据包(CSV文件)"
                            "已更新。\n\n注意：有部分图片搬家失败！\n\n\n解决办法：选中搬家失败的宝贝，"
                            "复制搬家失败的图片地址到浏览器中检查能否正常显示。\n\n1."
                            "如果在浏览器中都不能显示，请再次对csv文件进行搬家，"
                            "注意：开始搬家前在 [将搬家失败的图片替换成空白图片] "
                            "前面打上钩。\n\n2.如果搬家失败的图片地址在浏览器中打开"
                            "能正常显示图片，请再次对csv文件进行1到2次的搬家，如果依然提示搬家失败，请联系我"
                            "们的客服。"),
                programText("完成"), ICON_INFORMATION, uncollected);
        }
    } else if (failureCount > 0) {
        showMessageWithUncollected(programText("图片搬家失败，没有找到搬家成功的图片。"), programText("提示"),
                                   ICON_WARNING, uncollected);
    } else {
        showMessageWithUncollected(programText("没有找到需要搬家的图片。"), programText("完成"),
                                   ICON_INFORMATION, uncollected);
    }
}

int runMigrationJob() {
    jobRunning = 1;
    setTransferStopFlag(&stopRequested);
    jobImagesSaved = 0;
    jobImagesFailed = 0;
    jobCurrentRow = -1;
    jobFinishedRows = 0;
    if (!backupPackage(packagePath)) windowFatalError(lastWriteFailure());
    takeJobStartTime();
    // A cap that a server's connection limit set in an earlier run is learnt anew.
    resetConnectionCaps();
    // The seller's proxy settings are read afresh for each run, and the log names the proxy once.
    chooseProxy(1);

    MigrationRun run;
    std::memset(&run, 0, sizeof run);
    windowReadOptions(&run.options);
    run.options.destFolder[PATH_BUFFER_SIZE - 1] = '\0';
    run.total = items ? items->count : 0;
    int buckets = run.total > (1 << 25) ? (1 << 30) : 32 * (run.total > 0 ? run.total : 1);
    run.imageFiles = hashMapCreate(stringHash, stringEquals, buckets, 0.75f);

    // A run that died before it wrote the package back left its journal: what it saved is taken
    // as it is. The journal is begun again with those files, and so is every leftover of a run
    // that no longer lives removed before anything is downloaded.
    char journalPath[PATH_BUFFER_SIZE] = {0};
    if (journalPathFor(packagePath, journalPath) && fileExists(journalPath))
        adoptJournal(journalPath, packagePath, run.imageFiles);
    openJournal(&run.journal, packagePath);
    KeyListNode* adopted = hashMapKeys(run.imageFiles);
    for (KeyListNode* node = adopted; node; node = node->next) {
        const char* path = static_cast<const char*>(hashMapGet(run.imageFiles, node->key));
        journalImage(&run.journal, static_cast<const char*>(node->key), path, fileSize(path));
    }
    hashMapFreeKeyList(adopted);
    syncJournal(&run.journal);
    removeLeftoverPartFiles(run.options.destFolder);
    removeLeftoverWriteBackFiles(packagePath);

    if (run.total >= 1 && !stopRequested) {
        int connections = run.options.connections;
        run.queue = new DownloadQueue();
        run.handedOut = hashMapCreateDefault(stringHash, stringEquals);
        run.window = connections > 1 ? DOWNLOAD_WINDOW : 1;
        startDownloadQueue(run.queue,
                           connections <= 1                ? 0
                           : connections > MAX_CONNECTIONS ? MAX_CONNECTIONS
                                                           : connections,
                           run.options.secureMode);
        for (int row = 0; row < run.total; row++) {
            moveItem(&run, row, static_cast<Item*>(items->items[row]));
            if (run.finishedCount == run.total || run.halted) break;
        }
        // After a stop the downloads in flight end within their time-outs; what was fetched but
        // not taken is removed, to be fetched again by the next run.
        if (!run.queueStopped) stopDownloadQueue(run.queue);
        KeyListNode* keys = hashMapKeys(run.handedOut);
        for (KeyListNode* node = keys; node; node = node->next)
            discardDownload(static_cast<DownloadRecord*>(hashMapGet(run.handedOut, node->key)));
        hashMapFreeKeyList(keys);
        hashMapDestroy(run.handedOut, 1, 0);
        delete run.queue;
        run.queue = nullptr;
        run.handedOut = nullptr;
    }
    syncJournal(&run.journal);

    setProgressText(run.total, run.finishedCount, programText(", 正在更新csv文件..."));
    int packageChanged = 0;
    if (packageText) {
        packageChanged = rewritePackageText(run.imageFiles, &packageText, run.options.blankFailedImages,
                                            reportRewriteProgress, &run);
        if (packageChanged && !writePackage(packagePath, packageText)) {
            // The run ends here, as after a stop, with what it recorded given back. The journal is
            // closed on disk first and stays for the next run: its flusher must not outlive it.
            closeJournal(&run.journal, 0);
            hashMapDestroy(run.imageFiles, 1, 1);
            windowFatalError(lastWriteFailure());
        }
    }
    // The package holds every saved image now (a failed write-back ends the process before this,
    // and the journal stays for the next run).
    closeJournal(&run.journal, 1);
    std::free(packageText);
    packageText = nullptr;

    jobSummary.total = run.total;
    jobSummary.finishedCount = run.finishedCount;
    jobSummary.failureCount = run.failureCount;
    jobSummary.packageChanged = packageChanged;
    jobSummary.uncollectedSecureCount = countUncollectedSecureAddresses(items, run.options);
    if (stopRequested) {
        hashMapDestroy(run.imageFiles, 1, 1);
        endPackageRun();
        windowEndProcess(0);
    }

    setProgressText(run.total, run.finishedCount, "");
    jobRunning = 0;
    showFinalMessage(packageChanged, run.failureCount, run.options.blankFailedImages,
                     jobSummary.uncollectedSecureCount);
    endPackageRun();
    hashMapDestroy(run.imageFiles, 1, 1);
    resetConnectFailures();
    windowRestoreButtons();
    return 0;
}
