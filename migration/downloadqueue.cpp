// The download workers of the migration job.
#include "migration/downloadqueue.h"

#include "core/allocate.h"
#include "core/charset.h"
#include "core/containers.h"
#include "http/connection.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Part files of every run of the process are numbered from one counter; a name another run holds
// is passed over.
static std::atomic<unsigned> partCounter{1};
static constexpr const char* PART_PREFIX = ".vedo-";
static constexpr const char* PART_SUFFIX = ".part";

// Base 36, at most 7 digits for 32 bits.
static void formatBase36(unsigned long value, char* out, size_t size) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36];
        value /= 36;
    } while (value && n < 15);
    size_t i = 0;
    for (; n > 0 && i + 1 < size; i++)
        out[i] = digits[--n];
    out[i] = '\0';
}

int reservePartPath(const char* folder, char* path, FileLock* lock) {
    lock->handle = -1;
    char process[16], start[16];
    formatBase36(static_cast<unsigned long>(currentProcessId()), process, sizeof process);
    formatBase36(static_cast<unsigned long>(processStartStamp()), start, sizeof start);
    for (int attempt = 0; attempt < 1000; attempt++) {
        char number[16];
        formatBase36(partCounter.fetch_add(1), number, sizeof number);
        std::memset(path, 0, PATH_BUFFER_SIZE);
        int written = std::snprintf(path, PATH_BUFFER_SIZE, "%s%c%s%s-%s-%s%s", folder, PATH_SEPARATOR,
                                    PART_PREFIX, process, start, number, PART_SUFFIX);
        if (written < 0 || written >= PATH_BUFFER_SIZE) break;
        int created = createLockedFile(path, lock);
        if (created == NEW_FILE_CREATED) return 1;
        if (created == NEW_FILE_FAILED) break;
    }
    std::memset(path, 0, PATH_BUFFER_SIZE);
    return 0;
}

// Base-36 digits from *p on; 0 when there are none or too many.
static int skipBase36(const char** p, unsigned long* value) {
    const char* start = *p;
    unsigned long v = 0;
    while ((**p >= '0' && **p <= '9') || (**p >= 'a' && **p <= 'z')) {
        v = v * 36 + static_cast<unsigned long>(**p <= '9' ? **p - '0' : **p - 'a' + 10);
        (*p)++;
    }
    *value = v;
    return *p > start && *p - start <= 7;
}

int partFileProcess(const char* name, unsigned long* process) {
    size_t prefix = std::strlen(PART_PREFIX);
    if (std::strncmp(name, PART_PREFIX, prefix) != 0) return 0;
    const char* p = name + prefix;
    unsigned long start = 0, number = 0;
    if (!skipBase36(&p, process) || *p++ != '-' || !skipBase36(&p, &start) || *p++ != '-' ||
        !skipBase36(&p, &number))
        return 0;
    return std::strcmp(p, PART_SUFFIX) == 0;
}

void removeLeftoverPartFiles(const char* folder) {
    std::vector<std::string> names;
    listFolder(folder, &names);
    for (const std::string& entry : names) {
        const char* name = entry.c_str();
        // The process named in the part file's name still runs: its files are never touched (a
        // download's retry makes its part file anew, unlocked for a moment). Names of another
        // form are never touched either.
        unsigned long process = 0;
        if (!partFileProcess(name, &process) || processIsAlive(process)) continue;
        char path[PATH_BUFFER_SIZE] = {0};
        int written = std::snprintf(path, sizeof path, "%s%c%s", folder, PATH_SEPARATOR, name);
        if (written < 0 || written >= PATH_BUFFER_SIZE) continue;
        // A live run holds its part files locked; a lock that can be taken means nobody does.
        FileLock lock{-1};
        if (lockFile(path, &lock) != LOCK_TAKEN) continue;
        removeFile(path);
        unlockFile(&lock);
    }
}

static std::atomic<int> busyBackoffOverride{0};

void setServerBusyBackoff(int milliseconds) {
    busyBackoffOverride.store(milliseconds > 0 ? milliseconds : 0);
}

int serverBusyRetryDelay(int* tries) {
    ServerBusyAnswer answer = lastServerBusyAnswer();
    int named = answer.retryAfterSeconds >= 0 ? answer.retryAfterSeconds * 1000 : -1;
    // The cap of the server was lowered: the image waits for room, not for a backoff, and a try
    // is not used up, since each such answer lowers the cap until no other connection is left.
    if (answer.connectionLimit) return named >= 0 ? named : 0;
    if (*tries >= SERVER_BUSY_TRIES) return -1;
    int base = busyBackoffOverride.load();
    if (base <= 0) base = SERVER_BUSY_BACKOFF_MILLISECONDS;
    int step = (*tries)++;
    return named >= 0 ? named : base << step;
}

int waitBeforeRetry(int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (transferStopRequested()) return 0;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 1;
        std::this_thread::sleep_for(left.count() < STOP_CHECK_MILLISECONDS
                                        ? left
                                        : std::chrono::milliseconds(STOP_CHECK_MILLISECONDS));
    }
}

static void finishRecord(DownloadQueue* queue, DownloadRecord* record, int result) {
    std::lock_guard<std::mutex> lock(queue->mutex);
    record->result = result;
    record->done = 1;
    queue->resultReady.notify_all();
}

// An outcome of downloadOnce that is not a result: the busy server's wait is over, ask again.
static constexpr int DOWNLOAD_ASK_AGAIN = 100;

static void setStoppedText(DownloadRecord* record) {
    std::snprintf(record->errorText, ERROR_TEXT_SIZE, "%s", programText("图片下载已中止：收到停止请求。"));
}

// One download of the record: its result, or DOWNLOAD_ASK_AGAIN once a busy server's wait is over.
static int downloadOnce(DownloadQueue* queue, DownloadRecord* record) {
    int result = downloadImage(record->address, queue->secureMode, record->partPath, record->errorText, 1, 0);
    if (result != DOWNLOAD_SERVER_BUSY) return result;
    int delay = serverBusyRetryDelay(&record->busyTries);
    if (delay >= 0 && waitBeforeRetry(delay)) {
        std::memset(record->errorText, 0, ERROR_TEXT_SIZE);
        return DOWNLOAD_ASK_AGAIN;
    }
    if (delay >= 0) setStoppedText(record);
    return DOWNLOAD_FAILED;
}

void fetchHere(DownloadQueue* queue, DownloadRecord* record) {
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        DownloadRecord** link = &queue->first;
        while (*link && *link != record)
            link = &(*link)->next;
        if (!*link) return;
        *link = record->next;
        if (queue->last == record) {
            queue->last = nullptr;
            for (DownloadRecord* r = queue->first; r; r = r->next)
                queue->last = r;
        }
        record->next = nullptr;
    }
    for (;;) {
        if (transferStopRequested()) {
            setStoppedText(record);
            finishRecord(queue, record, DOWNLOAD_FAILED);
            return;
        }
        // A busy server's image is asked for again in its place.
        int result = downloadOnce(queue, record);
        if (result == DOWNLOAD_ASK_AGAIN) continue;
        finishRecord(queue, record, result);
        return;
    }
}

static void runWorker(DownloadQueue* queue) {
    for (;;) {
        DownloadRecord* record;
        int closing;
        {
            std::unique_lock<std::mutex> lock(queue->mutex);
            queue->workReady.wait(lock, [queue] { return queue->first || queue->closing; });
            record = queue->first;
            if (!record) return;
            queue->first = record->next;
            if (!queue->first) queue->last = nullptr;
            record->next = nullptr;
            closing = queue->closing;
        }
        if (transferStopRequested() || closing) {
            // Nothing new starts once the job is told to stop.
            setStoppedText(record);
            finishRecord(queue, record, DOWNLOAD_FAILED);
            continue;
        }
        int result = downloadOnce(queue, record);
        if (result == DOWNLOAD_ASK_AGAIN) {
            // Handed out again first: the item loop waits for it, so it keeps its place.
            std::lock_guard<std::mutex> lock(queue->mutex);
            record->next = queue->first;
            queue->first = record;
            if (!queue->last) queue->last = record;
            queue->workReady.notify_one();
            continue;
        }
        finishRecord(queue, record, result);
    }
}

void startDownloadQueue(DownloadQueue* queue, int workers, int secureMode) {
    if (workers < 0) workers = 0;
    if (workers > MAX_CONNECTIONS) workers = MAX_CONNECTIONS;
    queue->first = nullptr;
    queue->last = nullptr;
    queue->closing = 0;
    queue->workerCount = workers;
    queue->secureMode = secureMode;
    for (int i = 0; i < workers; i++)
        queue->workers[i] = std::thread(runWorker, queue);
}

DownloadRecord* queueDownload(DownloadQueue* queue, const char* folder, const char* address) {
    DownloadRecord* record = static_cast<DownloadRecord*>(allocateZeroed(sizeof(DownloadRecord)));
    record->address = duplicateString(address);
    if (!reservePartPath(folder, record->partPath, &record->partLock)) {
        std::snprintf(record->errorText, ERROR_TEXT_SIZE, "%s",
                      programText("图片搬家失败：无法创建新文件。"));
        record->result = DOWNLOAD_CREATE_FAILED;
        record->done = 1;
        return record;
    }
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (queue->last) {
        queue->last->next = record;
    } else {
        queue->first = record;
    }
    queue->last = record;
    queue->workReady.notify_one();
    return record;
}

int waitForDownload(DownloadQueue* queue, DownloadRecord* record, int milliseconds) {
    std::unique_lock<std::mutex> lock(queue->mutex);
    return queue->resultReady.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                       [record] { return record->done != 0; })
               ? 1
               : 0;
}

void releasePartFile(DownloadRecord* record) {
    record->partPath[0] = '\0';
    unlockFile(&record->partLock);
}

void discardDownload(DownloadRecord* record) {
    if (!record) return;
    if (record->partPath[0]) removeFile(record->partPath);
    unlockFile(&record->partLock);
    std::free(record->address);
    std::free(record);
}

void stopDownloadQueue(DownloadQueue* queue) {
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        queue->closing = 1;
        queue->workReady.notify_all();
    }
    for (int i = 0; i < queue->workerCount; i++) {
        if (queue->workers[i].joinable()) queue->workers[i].join();
    }
    queue->workerCount = 0;
    // Workers that ended before the queue emptied leave their records to be finished here.
    std::lock_guard<std::mutex> lock(queue->mutex);
    while (queue->first) {
        DownloadRecord* record = queue->first;
        queue->first = record->next;
        record->next = nullptr;
        record->result = DOWNLOAD_FAILED;
        record->done = 1;
    }
    queue->last = nullptr;
}
