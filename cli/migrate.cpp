// vedo-cli migrate PACKAGE.csv FOLDER [--only-image-space | --only-third-party] [--blank-failed]
//                  [--https] [--cacert FILE.pem] [--connect-to HOST:PORT:HOST2:PORT2]...
//                  [--connections N] [--proxy URL] [--noproxy LIST] [--json]
// Runs the migration job as the wizard's start button does, after the same checks, on a thread of
// its own; the main thread shows the progress. Ctrl+C is the window's close confirmation: the job
// stops after the current image, writes the package back and the process ends with status 130.
#include "cli/commands.h"

#include "cli/cliwindow.h"
#include "cli/json.h"
#include "http/proxy.h"
#include "core/charset.h"
#include "core/text.h"
#include "http/connection.h"
#include "http/download.h"
#include "migration/downloadqueue.h"
#include "migration/job.h"
#include "package/item.h"
#include "package/reader.h"
#include "package/writer.h"
#include "platform/files.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isTerminal(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define isTerminal(f) isatty(fileno(f))
#endif

constexpr int EXIT_FINISHED_WITH_FAILURES = 3;
constexpr int EXIT_INTERRUPTED = 130;

namespace {

struct MigrateOutput {
    std::mutex mutex;
    int active;
    int json;
    int terminal;
    FILE* progress;    // where progress and per-item lines go
    int printedRows;   // rows whose finished line has been printed, in order
    int progressShown; // a progress line stands on the terminal and must be cleared first
    std::atomic<int> interrupted{0};
};

MigrateOutput output;

int usage() {
    std::fputs("usage: vedo-cli migrate PACKAGE.csv FOLDER [--only-image-space | --only-third-party]\n"
               "                        [--blank-failed] [--https] [--cacert FILE.pem]\n"
               "                        [--connect-to HOST:PORT:HOST2:PORT2]... [--connections N]\n"
               "                        [--proxy URL] [--noproxy LIST] [--json]\n",
               stderr);
    return EXIT_USAGE;
}

void failStart(const char* utf8Message) {
    std::fputs("vedo-cli: ", stderr);
    std::fputs(utf8Message, stderr);
    std::fputc('\n', stderr);
}

Item* itemAt(int row) {
    return static_cast<Item*>(arrayListGet(items, row));
}

void printFailureList(FILE* out, const char* headingUtf8, const ArrayList* list) {
    std::fputs(headingUtf8, out);
    std::fputc('\n', out);
    for (int32_t i = 0; i < list->count; i++) {
        std::fputs("  ", out);
        writeUtf8Text(out, static_cast<const char*>(list->items[i]));
        std::fputc('\n', out);
    }
}

// The failed addresses of a finished item under the headings of the window's failed-address box.
void printFailures(FILE* out, const Item* item) {
    if (item->descFailures) {
        printFailureList(out,
                         "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：",
                         item->descFailures);
    }
    if (item->mobileFailures) {
        printFailureList(out,
                         "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：",
                         item->mobileFailures);
    }
}

void clearProgressLine() {
    if (output.progressShown) {
        std::fputs("\r\x1b[K", output.progress);
        output.progressShown = 0;
    }
}

// Prints every newly finished row, in row order. Rows finish in order: the job's count of finished
// rows tells which ones, and that the job has done with them.
void printFinishedRows() {
    int total = items ? items->count : 0;
    int finished = jobFinishedRows.load();
    while (output.printedRows < total && output.printedRows < finished) {
        const Item* item = itemAt(output.printedRows);
        if (!item || item->status != ITEM_STATUS_FINISHED) break;
        clearProgressLine();
        int descFailures = item->descFailures ? item->descFailures->count : 0;
        int mobileFailures = item->mobileFailures ? item->mobileFailures->count : 0;
        std::fprintf(output.progress, "[%d/%d] ", output.printedRows + 1, total);
        writeUtf8Text(output.progress, cliRowText(output.printedRows, COLUMN_STATUS));
        std::fprintf(output.progress, "  电脑端失败数:%d  手机端失败数:%d  ", descFailures, mobileFailures);
        writeUtf8Text(output.progress, item->title);
        std::fputc('\n', output.progress);
        printFailures(output.progress, item);
        output.printedRows++;
    }
}

void drawProgressLine() {
    if (!output.terminal) return;
    int total = items ? items->count : 0;
    int row = jobCurrentRow.load();
    const Item* current = row >= 0 ? itemAt(row) : nullptr;
    char line[512];
    std::snprintf(line, sizeof line, "\r\x1b[K%d/%d items, %d images saved, %d failed  ", output.printedRows,
                  total, jobImagesSaved.load(), jobImagesFailed.load());
    std::fputs(line, output.progress);
    if (current) writeUtf8Text(output.progress, current->title);
    output.progressShown = 1;
    std::fflush(output.progress);
}

void printJsonDocument() {
    std::printf("{\"total\":%d,\"finished\":%d,\"failureCount\":%d,\"packageChanged\":%s,"
                "\"httpsImagesLeft\":%d,\"message\":",
                jobSummary.total, jobSummary.finishedCount, jobSummary.failureCount,
                jobSummary.packageChanged ? "true" : "false", jobSummary.uncollectedSecureCount);
    writeJsonString(stdout, cliWindow.lastMessage);
    // The proxy's host and port only: its credentials never reach a report.
    char httpProxy[PROXY_TEXT_SIZE], httpsProxy[PROXY_TEXT_SIZE];
    describeProxyChoice(httpProxy, httpsProxy, PROXY_TEXT_SIZE);
    std::printf(",\"proxy\":{\"source\":\"%s\",\"http\":", proxySourceName());
    writeJsonString(stdout, httpProxy);
    std::fputs(",\"https\":", stdout);
    writeJsonString(stdout, httpsProxy);
    std::fputs("},\"items\":[", stdout);
    int total = items ? items->count : 0;
    for (int row = 0; row < total; row++) {
        const Item* item = itemAt(row);
        if (row) std::fputc(',', stdout);
        std::printf("{\"index\":%d,\"title\":", item->index);
        writeJsonString(stdout, item->title);
        std::printf(",\"status\":%d,\"descFailures\":", item->status);
        writeJsonStringList(stdout, item->descFailures);
        std::fputs(",\"mobileFailures\":", stdout);
        writeJsonStringList(stdout, item->mobileFailures);
        std::fputc('}', stdout);
    }
    std::fputs("]}\n", stdout);
}

// The end of the output, for a finished run and for one that ends the process.
void finishOutput() {
    printFinishedRows();
    clearProgressLine();
    if (output.json) {
        printJsonDocument();
    } else if (cliWindow.lastMessage[0]) {
        writeUtf8Text(stdout, cliWindow.lastMessage);
        std::fputc('\n', stdout);
    }
    std::fflush(nullptr);
}

void requestStop() {
    // The window's close confirmation: a run that has ended already just ends the process.
    output.interrupted = 1;
    stopRequested = 1;
}

#ifdef _WIN32
BOOL WINAPI onConsoleControl(DWORD kind) {
    if (kind == CTRL_C_EVENT || kind == CTRL_BREAK_EVENT) {
        requestStop();
        return TRUE;
    }
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this handler returns: give the job its time to write back.
        requestStop();
        cliWaitForJobEnd(CLI_CLOSE_WAIT_MILLISECONDS);
        return TRUE;
    }
    return FALSE;
}
#else
void onInterrupt(int) {
    requestStop();
}
#endif

void installInterruptHandler() {
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
#else
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
#endif
}

// "--connections N": N from 1 to MAX_CONNECTIONS, digits only; leading zeros, however many, change
// nothing ("08" and "008" are 8). Returns 1 with the count in *connections, 0 when text is no such
// number.
int parseConnections(const char* text, int* connections) {
    if (!text || !*text) return 0;
    int n = 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + (*p - '0');
        if (n > MAX_CONNECTIONS) return 0;
    }
    if (n < 1) return 0;
    *connections = n;
    return 1;
}

} // namespace

// Called by windowEndProcess: a stopped or failed run still prints what it did before the
// process ends. Returns the exit status to use.
int migrateExitStatus(int status) {
    std::lock_guard<std::mutex> lock(output.mutex);
    if (!output.active) return status;
    output.active = 0;
    finishOutput();
    if (cliWindow.errorShown.load()) return 1;
    if (output.interrupted.load()) return EXIT_INTERRUPTED;
    return status;
}

int runMigrate(int argc, char** argv) {
    const char* packageArg = nullptr;
    const char* folderArg = nullptr;
    int onlyImageSpace = 0, onlyThirdParty = 0, blankFailed = 0, secure = 0;
    int connections = DEFAULT_CONNECTIONS;
    const char* proxyArg = nullptr;
    const char* noProxyArg = nullptr;
    for (int i = 0; i < argc; i++) {
        const char* a = argv[i];
        if (std::strcmp(a, "--only-image-space") == 0) {
            onlyImageSpace = 1;
        } else if (std::strcmp(a, "--only-third-party") == 0) {
            onlyThirdParty = 1;
        } else if (std::strcmp(a, "--blank-failed") == 0) {
            blankFailed = 1;
        } else if (std::strcmp(a, "--json") == 0) {
            output.json = 1;
        } else if (std::strcmp(a, "--https") == 0) {
            secure = 1;
        } else if (std::strcmp(a, "--cacert") == 0) {
            if (i + 1 >= argc) {
                std::fputs("vedo-cli: --cacert takes a PEM file\n", stderr);
                return EXIT_USAGE;
            }
            char caError[ERROR_TEXT_SIZE] = {0};
            if (!setExtraCaFile(argv[i + 1], caError)) {
                std::fputs("vedo-cli: --cacert ", stderr);
                writeUtf8Text(stderr, argv[i + 1]);
                std::fputs(": ", stderr);
                writeUtf8Text(stderr, caError);
                std::fputc('\n', stderr);
                return 1;
            }
            i++;
        } else if (std::strcmp(a, "--connect-to") == 0) {
            if (i + 1 >= argc || !addConnectOverride(argv[i + 1])) {
                std::fputs("vedo-cli: --connect-to takes HOST:PORT:HOST2:PORT2\n", stderr);
                return EXIT_USAGE;
            }
            i++;
        } else if (std::strcmp(a, "--proxy") == 0 || std::strcmp(a, "--noproxy") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vedo-cli: %s takes %s\n", a, a[2] == 'p' ? "a URL" : "a list of hosts");
                return EXIT_USAGE;
            }
            (a[2] == 'p' ? proxyArg : noProxyArg) = argv[++i];
        } else if (std::strcmp(a, "--connections") == 0) {
            if (!parseConnections(i + 1 < argc ? argv[i + 1] : nullptr, &connections)) {
                std::fprintf(stderr, "vedo-cli: --connections takes a number from 1 to %d\n",
                             MAX_CONNECTIONS);
                return EXIT_USAGE;
            }
            i++;
        } else if (a[0] == '-' && a[1] != '\0') {
            return usage();
        } else if (!packageArg) {
            packageArg = a;
        } else if (!folderArg) {
            folderArg = a;
        } else {
            return usage();
        }
    }
    if (!packageArg || !folderArg) return usage();
    char proxyError[PROXY_TEXT_SIZE] = {0};
    if (!setProxyOption(proxyArg, noProxyArg, proxyError)) {
        // The address may hold a password: only the reason is shown.
        std::fputs("vedo-cli: --proxy: ", stderr);
        writeUtf8Text(stderr, proxyError);
        std::fputc('\n', stderr);
        return EXIT_USAGE;
    }
    if (onlyImageSpace && onlyThirdParty) {
        std::fputs("vedo-cli: --only-image-space and --only-third-party exclude each other\n", stderr);
        return EXIT_USAGE;
    }

    JobOptions& options = cliWindow.options;
    std::memset(&options, 0, sizeof options);
    options.migrateImageSpace = !onlyThirdParty;
    options.migrateThirdParty = !onlyImageSpace;
    options.blankFailedImages = blankFailed;
    options.connections = connections;
    options.secureMode = secure;
    // Paths as typed (relative, with "/" on Windows) become what the window's boxes hold: absolute,
    // with the platform's separators, so that the package names its images from anywhere and the
    // backup finds the package's own name.
    if (!absolutePath(folderArg, options.destFolder, sizeof options.destFolder)) {
        failStart("文件夹路径太长");
        return 1;
    }
    if (!absolutePath(packageArg, packagePath, sizeof packagePath)) {
        failStart("数据包路径太长");
        return 1;
    }
    // A missing package is found when it is taken: a package that another run is replacing at this
    // moment may not open for a read, and is reported as in use, not as missing. The package is
    // taken before it is read, so that another run cannot change it under this one.
    int taken = checkRunStart(options, options.destFolder, packagePath);
    if (taken != PACKAGE_READY) {
        failStart(runStartRefusalText(taken));
        return 1;
    }

    items = arrayListCreate(256, 64);
    const int read = readPackage(packagePath, items, &packageText, options.secureMode);
    if (read == PACKAGE_READ_FATAL) windowFatalError(lastReadFailure());
    if (!read) {
        endPackageRun();
        arrayListDestroy(items, 0);
        items = nullptr;
        std::fputs("vedo-cli: ", stderr);
        writeUtf8Text(stderr, lastReadFailure());
        std::fputs("\n", stderr);
        return cliExitStatus(1);
    }
    for (int32_t i = 0; i < items->count; i++) {
        Item* item = itemAt(i);
        item->index = i;
        windowSetRowText(i, COLUMN_TITLE, item->title);
        windowSetRowText(i, COLUMN_STATUS, programText("等待"));
    }

    initConnectionPool();
    output.progress = output.json ? stderr : stdout;
    output.terminal = isTerminal(output.progress);
    cliWindow.quietMessages = 1;
    output.active = 1;
    installInterruptHandler();

    std::thread job(runMigrationJob);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(output.mutex);
            if (!output.active) break;
            printFinishedRows();
            drawProgressLine();
            std::lock_guard<std::mutex> windowLock(cliWindow.mutex);
            if (cliWindow.buttonsRestored) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    job.join();
    std::lock_guard<std::mutex> lock(output.mutex);
    output.active = 0;
    finishOutput();
    clearItems(items);
    arrayListDestroy(items, 0);
    items = nullptr;
    if (cliWindow.errorShown.load()) return 1;
    return jobSummary.failureCount > 0 ? EXIT_FINISHED_WITH_FAILURES : 0;
}
