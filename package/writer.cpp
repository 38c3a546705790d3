// Writing the package back through a temporary file that replaces it in one step, the numbered
// backup beside the program, and the lock a run holds on its package.
#include "package/writer.h"

#include "core/allocate.h"
#include "core/appdir.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/containers.h"
#include "core/scope.h"
#include "core/text.h"
#include "platform/files.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

int writerFailAtStep = WRITER_STEP_NONE;

static const char* const CONVERT_FAILED_TEXT = "更新CSV文件失败：iconv()转码出错了。";
static const char* const OPEN_FAILED_TEXT = "更新CSV文件失败：文件句柄无法打开。";
static const char* const WRITE_FAILED_TEXT = "更新CSV文件失败：写入文件出错。";
static const char* const FOLDER_FAILED_TEXT = "创建 [csv文件备份] 文件夹失败";
static const char* const SOURCE_OPEN_FAILED_TEXT = "备份csv文件时出错：无法打开源csv文件句柄";
static const char* const BACKUP_WRITE_FAILED_TEXT = "备份csv文件时出错：写入文件失败";
static const char* const READ_INCOMPLETE_TEXT = "备份csv文件时出错：文件读取不完整";

constexpr size_t COPY_BLOCK_SIZE = 8192;
// Long enough to be unique among the runs of a folder, short enough for any package name.
constexpr size_t TEMP_NAME_MAX_LENGTH = 12;
constexpr int TEMP_NAME_ATTEMPTS = 1000;

namespace {

// The package of the current run: its lock and the file the write-back replaces.
struct PackageRun {
    std::mutex mutex;
    FileLock lock{-1};
    char path[PATH_BUFFER_SIZE];
    char target[PATH_BUFFER_SIZE];
};

PackageRun packageRun;
std::atomic<uint64_t> tempNameCounter{0};

// The mark that begins the temporary file's name when the package's name leaves room for it; a
// starting run removes files of such names that no live run holds.
constexpr const char* TEMP_NAME_MARK = "~vedo";

// Creates a file of a name of its own in the folder of `target`, no longer than target's name,
// and locks it for the run; 0 when no such file can be made there. The name carries the process
// (in base 36) after the mark, as far as the length allows.
int createTempBeside(const char* target, char* tempPath, FileLock* lock) {
    lock->handle = -1;
    const char* name = fileNameOf(target);
    size_t nameLength = std::strlen(name);
    size_t folderLength = static_cast<size_t>(name - target);
    size_t length = nameLength < TEMP_NAME_MAX_LENGTH ? nameLength : TEMP_NAME_MAX_LENGTH;
    if (length == 0 || folderLength + length >= PATH_BUFFER_SIZE) return 0;
    static const char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    size_t markLength = std::strlen(TEMP_NAME_MARK);
    char process[16] = {0};
    size_t processLength = 0;
    for (unsigned long id = currentProcessId(); id && processLength < sizeof process - 1; id /= 36)
        process[processLength++] = DIGITS[id % 36];
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&seed)) << 16);
    for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; attempt++) {
        uint64_t value = (seed + tempNameCounter++) * 0x9E3779B97F4A7C15ull;
        std::memset(tempPath, 0, PATH_BUFFER_SIZE);
        std::memcpy(tempPath, target, folderLength);
        char* out = tempPath + folderLength;
        size_t i = 0;
        if (length > markLength) {
            std::memcpy(out, TEMP_NAME_MARK, markLength);
            i = markLength;
            for (size_t p = 0; p < processLength && i + 1 < length; p++)
                out[i++] = process[p];
        } else if (length >= 2) {
            out[i++] = WRITER_TEMP_MARK;
        }
        for (; i < length; i++) {
            out[i] = DIGITS[value % 36];
            value = (value / 36) ^ (value << 29);
        }
        int created = createNewFile(tempPath);
        if (created == NEW_FILE_FAILED) break;
        // A starting run may take the new file for a leftover before it is locked.
        if (created == NEW_FILE_CREATED && lockFile(tempPath, lock) == LOCK_TAKEN) return 1;
    }
    std::memset(tempPath, 0, PATH_BUFFER_SIZE);
    return 0;
}

// Closes the stream; 0 when buffered data could not be written out.
int closeFile(FileHandle& file) {
    FILE* raw = file.release();
    return raw && std::fclose(raw) == 0 ? 1 : 0;
}

int injected(int step) {
    return writerFailAtStep == step ? 1 : 0;
}

thread_local const char* failureText = "";

// Ends a failed step: the reason goes to app.log and is kept for lastWriteFailure. Returns 0.
int fatal(const char* utf8) {
    failureText = programText(utf8);
    writeLog(failureText);
    return 0;
}

// The lock on the write-back's temporary file, held from its creation to the replacement.
FileLock tempLock{-1};

// Ends a failed write-back: the temporary file goes, the package stays as it was.
int failWriteBack(FileHandle& temp, const char* tempPath, const char* text) {
    if (temp) std::fclose(temp.release());
    if (tempPath && tempPath[0]) removeFile(tempPath);
    unlockFile(&tempLock);
    return fatal(text);
}

} // namespace

const char* lastWriteFailure() {
    return failureText;
}

int writePackage(const char* path, const char* text) {
    failureText = "";
    FileHandle temp;
    if (!text) text = "";
    size_t length = std::strlen(text);

    // Every engine character takes at most two bytes of UTF-16 per byte it has; the first two
    // bytes hold the byte-order mark.
    if (length > static_cast<size_t>(INT_MAX - 16) / 2)
        return failWriteBack(temp, nullptr, CONVERT_FAILED_TEXT);
    size_t capacity = 2 * length + 16;
    HeapPointer<char> output(static_cast<char*>(allocateBytes(capacity)));
    int produced = 0;
    int converted = convertCharset(engineCharset(), "UTF-16LE", text, static_cast<int>(length),
                                   output.get() + 2, static_cast<int>(capacity - 2), &produced);
    if (converted < 0 || injected(WRITER_STEP_CONVERT))
        return failWriteBack(temp, nullptr, CONVERT_FAILED_TEXT);
    output.get()[0] = '\xFF';
    output.get()[1] = '\xFE';
    size_t total = static_cast<size_t>(produced) + 2;

    // A package that is a link is replaced where the link leads, never the link itself.
    std::unique_lock<std::mutex> held(packageRun.mutex);
    int running = packageRun.lock.handle != -1 && std::strcmp(packageRun.path, path) == 0;
    char target[PATH_BUFFER_SIZE] = {0};
    if (running) {
        copyBounded(target, sizeof target, packageRun.target);
    } else if (!linkTargetPath(path, target, sizeof target)) {
        return failWriteBack(temp, nullptr, OPEN_FAILED_TEXT);
    }
    char tempPath[PATH_BUFFER_SIZE] = {0};
    if (!createTempBeside(target, tempPath, &tempLock)) return failWriteBack(temp, nullptr, OPEN_FAILED_TEXT);
    // The file was made by this run a moment ago; a link put in its place is not followed.
    temp.reset(openFileForWritingNoFollow(tempPath));
    if (!temp || injected(WRITER_STEP_OPEN)) return failWriteBack(temp, tempPath, OPEN_FAILED_TEXT);

    size_t toWrite = injected(WRITER_STEP_WRITE) ? total / 2 : total;
    size_t done = std::fwrite(output.get(), 1, toWrite, temp.get());
    if (done != total) return failWriteBack(temp, tempPath, WRITE_FAILED_TEXT);
    output.reset();

    if (!flushFileToDisk(temp.get()) || injected(WRITER_STEP_FLUSH)) {
        return failWriteBack(temp, tempPath, WRITE_FAILED_TEXT);
    }
    if (!closeFile(temp)) return failWriteBack(temp, tempPath, WRITE_FAILED_TEXT);
    // The new file keeps the old one's permissions (and owner, where that can be given).
    if (!copyPermissions(target, tempPath)) return failWriteBack(temp, tempPath, WRITE_FAILED_TEXT);

    // The package is replaced in one step; until here it has not been touched. A run's lock moves
    // to the new file before it takes the package's place, so that the package is never without it.
    if (injected(WRITER_STEP_REPLACE)) return failWriteBack(temp, tempPath, OPEN_FAILED_TEXT);
    // The temporary file's own lock becomes the package's.
    if (running) {
        if (!replaceLockedFile(tempPath, target, &packageRun.lock))
            return failWriteBack(temp, tempPath, OPEN_FAILED_TEXT);
        packageRun.lock = tempLock;
        tempLock.handle = -1;
    } else {
        unlockFile(&tempLock);
        if (!replaceFile(tempPath, target)) return failWriteBack(temp, tempPath, OPEN_FAILED_TEXT);
    }
    return 1;
}

int beginPackageRun(const char* path) {
    std::lock_guard<std::mutex> held(packageRun.mutex);
    if (packageRun.lock.handle != -1) return PACKAGE_BUSY;
    char target[PATH_BUFFER_SIZE] = {0};
    if (isDirectory(path)) return PACKAGE_MISSING;
    // The lock is tried first, on the file the path leads to (opening follows a link), and before
    // the link is resolved: a package that another run holds or is replacing, or whose open is
    // refused for a moment (a sharing violation), is in use. Only a package that neither the lock
    // nor a read can open is missing.
    FileLock lock{-1};
    int locked = lockFile(path, &lock);
    if (locked == LOCK_BUSY) return PACKAGE_BUSY;
    if (locked != LOCK_TAKEN) return fileExists(path) ? PACKAGE_BUSY : PACKAGE_MISSING;
    if (!linkTargetPath(path, target, sizeof target)) {
        unlockFile(&lock);
        return PACKAGE_PATH_TOO_LONG;
    }
    int check = PACKAGE_READY;
    char tempPath[PATH_BUFFER_SIZE] = {0};
    char folder[PATH_BUFFER_SIZE] = {0};
    copyBounded(folder, sizeof folder, target);
    char* name = folder + (fileNameOf(folder) - folder);
    if (name == folder) {
        copyBounded(folder, sizeof folder, ".");
    } else if (name - folder > 1 && name[-2] != ':') {
        name[-1] = '\0';
    } else {
        // A root ("/", "C:\\") keeps its separator.
        name[0] = '\0';
    }
    if (!isWritableFile(target)) {
        check = PACKAGE_READ_ONLY;
    } else if (!isWritableFile(folder) || !createTempBeside(target, tempPath, &tempLock)) {
        // The write-back's temporary file cannot be made: the folder is read-only, or full.
        check = PACKAGE_FOLDER_READ_ONLY;
    } else {
        removeFile(tempPath);
        unlockFile(&tempLock);
    }
    if (check != PACKAGE_READY || !copyBounded(packageRun.path, sizeof packageRun.path, path)) {
        unlockFile(&lock);
        return check != PACKAGE_READY ? check : PACKAGE_PATH_TOO_LONG;
    }
    copyBounded(packageRun.target, sizeof packageRun.target, target);
    packageRun.lock = lock;
    return PACKAGE_READY;
}

const char* packageRunRefusalText(int check) {
    switch (check) {
    case PACKAGE_BUSY:
        return "数据包正在被另一个搬家任务使用，请等它结束后再试。";
    case PACKAGE_READ_ONLY:
        return "数据包(csv文件)"
               "是只读的，搬家后无法更新它。请去掉它的只读属性，或把它复制到可以写入的文件夹后再试。";
    case PACKAGE_FOLDER_READ_ONLY:
        return "数据包(csv文件)"
               "所在的文件夹不能写入，搬家后无法更新数据包。请把它复制到可以写入的文件夹后再试。";
    case PACKAGE_PATH_TOO_LONG:
        return "数据包(csv文件)的路径太长，搬家后无法更新它。请把它移到路径较短的文件夹后再试。";
    case IMAGE_FOLDER_TOO_LONG:
        return "选择的文件夹路径太长，放不下图片的文件名，请选择路径较短的文件夹。";
    case PACKAGE_MISSING:
        return "选择的csv文件不存在，请重新选择";
    default:
        return "";
    }
}

void removeLeftoverWriteBackFiles(const char* packagePath) {
    char target[PATH_BUFFER_SIZE] = {0};
    if (!linkTargetPath(packagePath, target, sizeof target)) return;
    const char* name = fileNameOf(target);
    char folder[PATH_BUFFER_SIZE] = {0};
    std::memcpy(folder, target, static_cast<size_t>(name - target));
    size_t folderLength = std::strlen(folder);
    if (folderLength == 0) {
        copyBounded(folder, sizeof folder, ".");
    } else if (folderLength > 1 && folder[folderLength - 2] != ':') {
        folder[folderLength - 1] = '\0';
    }
    std::vector<std::string> names;
    listFolder(folder, &names);
    size_t markLength = std::strlen(TEMP_NAME_MARK);
    for (const std::string& listed : names) {
        const char* entry = listed.c_str();
        if (std::strncmp(entry, TEMP_NAME_MARK, markLength) != 0 || std::strlen(entry) > TEMP_NAME_MAX_LENGTH)
            continue;
        // The folder part of the target keeps its separator.
        char path[PATH_BUFFER_SIZE] = {0};
        size_t at = static_cast<size_t>(name - target);
        std::memcpy(path, target, at);
        if (!copyBounded(path + at, sizeof path - at, entry)) continue;
        // A live run holds its temporary file locked until it has replaced the package.
        FileLock lock{-1};
        if (lockFile(path, &lock) != LOCK_TAKEN) continue;
        removeFile(path);
        unlockFile(&lock);
    }
}

void endPackageRun() {
    std::lock_guard<std::mutex> held(packageRun.mutex);
    unlockFile(&packageRun.lock);
    std::memset(packageRun.path, 0, sizeof packageRun.path);
    std::memset(packageRun.target, 0, sizeof packageRun.target);
}

// A backup name is taken when anything, file or folder, stands under it.
static int pathTaken(const char* path) {
    return fileExists(path) || isDirectory(path);
}

// Forms "folder\\base(n)ext" for the lowest n that names nothing yet; 0 when it does not fit.
static int freeBackupPath(const char* folder, const char* fileName, char* out) {
    char base[PATH_BUFFER_SIZE] = {0};
    if (!copyBounded(base, sizeof base, fileName)) return 0;
    const char* ext = "";
    char* dot = std::strrchr(base, '.');
    char extension[PATH_BUFFER_SIZE] = {0};
    if (dot) {
        copyBounded(extension, sizeof extension, dot);
        *dot = '\0';
        ext = extension;
    }
    for (int counter = 1; counter < INT_MAX; counter++) {
        std::memset(out, 0, PATH_BUFFER_SIZE);
        int written =
            std::snprintf(out, PATH_BUFFER_SIZE, "%s%c%s(%d)%s", folder, PATH_SEPARATOR, base, counter, ext);
        if (written < 0 || written >= PATH_BUFFER_SIZE) return 0;
        if (!pathTaken(out)) return 1;
    }
    return 0;
}

int backupPackage(const char* path) {
    failureText = "";
    const char* fileName = fileNameOf(path);

    char folder[PATH_BUFFER_SIZE] = {0};
    int written = std::snprintf(folder, sizeof folder, "%s%c%s", appDir, PATH_SEPARATOR,
                                programText(BACKUP_FOLDER_NAME));
    if (written < 0 || written >= static_cast<int>(sizeof folder)) return fatal(FOLDER_FAILED_TEXT);
    // Another program may have made the folder between the test and the creation.
    if (!isDirectory(folder) && !makeDirectory(folder) && !isDirectory(folder))
        return fatal(FOLDER_FAILED_TEXT);

    char backupPath[PATH_BUFFER_SIZE] = {0};
    int named = freeBackupPath(folder, fileName, backupPath);

    FileHandle source(openFile(path, "rb"));
    if (!source) return fatal(SOURCE_OPEN_FAILED_TEXT);
    if (!named) return fatal(BACKUP_WRITE_FAILED_TEXT);
    FileHandle backup(openFile(backupPath, "wb"));
    if (!backup) return fatal(BACKUP_WRITE_FAILED_TEXT);

    // A failed copy removes its partial backup, so that no numbered copy is ever incomplete.
    auto fail = [&](const char* text) {
        closeFile(source);
        closeFile(backup);
        removeFile(backupPath);
        return fatal(text);
    };

    HeapPointer<char> block(static_cast<char*>(allocateBytes(COPY_BLOCK_SIZE)));
    for (;;) {
        size_t got = std::fread(block.get(), 1, COPY_BLOCK_SIZE, source.get());
        if (got > 0) {
            if (std::fwrite(block.get(), 1, got, backup.get()) != got) return fail(BACKUP_WRITE_FAILED_TEXT);
            continue;
        }
        if (!std::feof(source.get())) return fail(READ_INCOMPLETE_TEXT);
        break;
    }
    closeFile(source);
    if (!closeFile(backup)) return fail(BACKUP_WRITE_FAILED_TEXT);
    return 1;
}

int snapshotPackage(const char* path, PackageSnapshot* snapshot) {
    std::memset(snapshot, 0, sizeof *snapshot);
    FileHandle file(openFile(path, "rb"));
    if (!file) return 0;
    HeapPointer<char> block(static_cast<char*>(allocateBytes(COPY_BLOCK_SIZE)));
    unsigned long long hash = 14695981039346656037ull;
    long long size = 0;
    for (;;) {
        size_t got = std::fread(block.get(), 1, COPY_BLOCK_SIZE, file.get());
        if (got == 0) break;
        for (size_t i = 0; i < got; i++)
            hash = (hash ^ static_cast<unsigned char>(block.get()[i])) * 1099511628211ull;
        size += static_cast<long long>(got);
    }
    if (!std::feof(file.get())) return 0;
    snapshot->size = size;
    snapshot->hash = hash;
    snapshot->modified = fileModifiedTime(path);
    return 1;
}

int packageUnchanged(const char* path, const PackageSnapshot& snapshot) {
    PackageSnapshot now;
    if (!snapshotPackage(path, &now)) return 0;
    return now.size == snapshot.size && now.modified == snapshot.modified && now.hash == snapshot.hash;
}
