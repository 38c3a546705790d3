// The run journal: whole records appended to a file of the package in the program's folder.
#include "migration/journal.h"

#include "core/allocate.h"
#include "core/appdir.h"
#include "core/containers.h"
#include "core/text.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static constexpr char RECORD_MARK_0 = 'V';
static constexpr char RECORD_MARK_1 = 'J';
static constexpr char RECORD_PACKAGE = 'P';
static constexpr char RECORD_IMAGE = 'S';
// No record is longer: an address of a few kilobytes and a path.
static constexpr uint32_t RECORD_MAX_PAYLOAD = 1u << 20;

static uint32_t checksum(char type, const char* bytes, size_t length) {
    uint32_t h = 2166136261u;
    h = (h ^ static_cast<unsigned char>(type)) * 16777619u;
    for (size_t i = 0; i < length; i++)
        h = (h ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
    return h;
}

struct JournalFlusher {
    std::mutex mutex;
    std::condition_variable wake;
    int closing = 0;
    std::thread thread;
};

static void putU32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; i++)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

static uint32_t getU32(const char* p) {
    uint32_t value = 0;
    for (int i = 0; i < 4; i++)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return value;
}

int journalPathFor(const char* packagePath, char* path) {
    uint64_t h = 14695981039346656037ull;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(packagePath); *p; p++)
        h = (h ^ *p) * 1099511628211ull;
    std::memset(path, 0, PATH_BUFFER_SIZE);
    int written = std::snprintf(path, PATH_BUFFER_SIZE, "%s%cvedo-%016llx.journal", appDir, PATH_SEPARATOR,
                                static_cast<unsigned long long>(h));
    if (written < 0 || written >= PATH_BUFFER_SIZE) {
        std::memset(path, 0, PATH_BUFFER_SIZE);
        return 0;
    }
    return 1;
}

static void putField(std::string& out, const char* text) {
    size_t length = std::strlen(text);
    putU32(out, static_cast<uint32_t>(length));
    out.append(text, length);
}

// Takes a length-prefixed field at *at from the payload; 0 when it runs past the end.
static int takeField(const char* payload, uint32_t length, uint32_t* at, std::string* out) {
    if (length - *at < 4) return 0;
    uint32_t n = getU32(payload + *at);
    *at += 4;
    if (n > length - *at) return 0;
    out->assign(payload + *at, n);
    *at += n;
    return 1;
}

static void adoptImage(const char* payload, uint32_t length, HashMap* imageFiles, int* adopted) {
    uint32_t at = 0;
    std::string address, path;
    if (!takeField(payload, length, &at, &address) || !takeField(payload, length, &at, &path)) return;
    if (length - at != 8 || address.empty() || path.empty()) return;
    unsigned long long size =
        getU32(payload + at) | (static_cast<unsigned long long>(getU32(payload + at + 4)) << 32);
    if (path.size() >= PATH_BUFFER_SIZE || isDirectory(path.c_str())) return;
    if (fileSize(path.c_str()) != static_cast<long long>(size)) return;
    char* value = duplicateString(path.c_str());
    if (hashMapContains(imageFiles, address.c_str())) {
        std::free(hashMapPut(imageFiles, const_cast<char*>(address.c_str()), value));
    } else {
        hashMapPut(imageFiles, duplicateString(address.c_str()), value);
        (*adopted)++;
    }
}

int adoptJournal(const char* path, const char* packagePath, HashMap* imageFiles) {
    FILE* file = openFile(path, "rb");
    if (!file) return 0;
    std::string bytes;
    char block[8192];
    for (;;) {
        size_t got = std::fread(block, 1, sizeof block, file);
        if (got == 0) break;
        bytes.append(block, got);
    }
    std::fclose(file);
    int adopted = 0;
    size_t at = 0;
    int first = 1;
    // Whole records only: a record cut short, or garbage after the last one, ends the reading.
    while (bytes.size() - at >= static_cast<size_t>(JOURNAL_RECORD_HEAD)) {
        const char* head = bytes.data() + at;
        if (head[0] != RECORD_MARK_0 || head[1] != RECORD_MARK_1 || head[3] != 0) break;
        uint32_t length = getU32(head + 4);
        if (length > RECORD_MAX_PAYLOAD || length > bytes.size() - at - JOURNAL_RECORD_HEAD) break;
        const char* payload = head + JOURNAL_RECORD_HEAD;
        if (checksum(head[2], payload, length) != getU32(head + 8)) break;
        at += JOURNAL_RECORD_HEAD + length;
        if (first) {
            // The journal of another package that happens to have the same name adopts nothing.
            if (head[2] != RECORD_PACKAGE || std::string(payload, length) != packagePath) return 0;
            first = 0;
        } else if (head[2] == RECORD_IMAGE) {
            adoptImage(payload, length, imageFiles, &adopted);
        }
    }
    return adopted;
}

// Under the flusher's mutex when there is one.
static void writeRecord(RunJournal* journal, char type, const std::string& payload) {
    if (!journal->file) return;
    std::string record;
    record += RECORD_MARK_0;
    record += RECORD_MARK_1;
    record += type;
    record += '\0';
    putU32(record, static_cast<uint32_t>(payload.size()));
    putU32(record, checksum(type, payload.data(), payload.size()));
    record += payload;
    // Handed to the system at once: a killed process loses nothing written here.
    if (std::fwrite(record.data(), 1, record.size(), journal->file) != record.size() ||
        std::fflush(journal->file) != 0) {
        // A journal that cannot be written is given up; the run itself goes on.
        std::fclose(journal->file);
        journal->file = nullptr;
        return;
    }
    journal->unsynced++;
}

static void pushToDisk(RunJournal* journal) {
    if (!journal->file || journal->unsynced == 0) return;
    flushFileToDisk(journal->file);
    journal->unsynced = 0;
}

static void runFlusher(RunJournal* journal) {
    JournalFlusher* flusher = journal->flusher;
    std::unique_lock<std::mutex> lock(flusher->mutex);
    while (!flusher->closing) {
        flusher->wake.wait_for(lock, std::chrono::seconds(1));
        pushToDisk(journal);
    }
}

void openJournal(RunJournal* journal, const char* packagePath) {
    std::memset(journal->path, 0, sizeof journal->path);
    journal->file = nullptr;
    journal->unsynced = 0;
    journal->flusher = nullptr;
    if (!journalPathFor(packagePath, journal->path)) return;
    // An earlier journal of the package was adopted: it is begun again, and what was adopted is
    // recorded anew by the caller.
    journal->file = openFile(journal->path, "wb");
    if (!journal->file) return;
    writeRecord(journal, RECORD_PACKAGE, std::string(packagePath));
    journal->flusher = new JournalFlusher();
    journal->flusher->thread = std::thread(runFlusher, journal);
}

void journalImage(RunJournal* journal, const char* address, const char* path, long long size) {
    if (!journal->file) return;
    std::string payload;
    putField(payload, address);
    putField(payload, path);
    putU32(payload, static_cast<uint32_t>(static_cast<unsigned long long>(size) & 0xFFFFFFFFu));
    putU32(payload, static_cast<uint32_t>(static_cast<unsigned long long>(size) >> 32));
    if (!journal->flusher) return writeRecord(journal, RECORD_IMAGE, payload);
    std::lock_guard<std::mutex> lock(journal->flusher->mutex);
    writeRecord(journal, RECORD_IMAGE, payload);
}

void syncJournal(RunJournal* journal) {
    if (!journal->flusher) return pushToDisk(journal);
    std::lock_guard<std::mutex> lock(journal->flusher->mutex);
    pushToDisk(journal);
}

void closeJournal(RunJournal* journal, int remove) {
    if (JournalFlusher* flusher = journal->flusher) {
        {
            std::lock_guard<std::mutex> lock(flusher->mutex);
            flusher->closing = 1;
            flusher->wake.notify_all();
        }
        flusher->thread.join();
        delete flusher;
        journal->flusher = nullptr;
    }
    if (journal->file) {
        pushToDisk(journal);
        std::fclose(journal->file);
        journal->file = nullptr;
    }
    if (remove && journal->path[0]) removeFile(journal->path);
}
