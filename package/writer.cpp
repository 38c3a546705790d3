#include "package/writer.h"

#include "core/appdir.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/text.h"
#include "migration/jobwindow.h"
#include "platform/files.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

int writerFailAtStep = WRITER_STEP_NONE;

static const char* const CONVERT_FAILED_TEXT = "更新CSV文件失败：iconv()转码出错了。";
static const char* const OPEN_FAILED_TEXT = "更新CSV文件失败：文件句柄无法打开。";
static const char* const WRITE_FAILED_TEXT = "更新CSV文件失败：写入文件出错。";
static const char* const FOLDER_FAILED_TEXT = "创建 [csv文件备份] 文件夹失败";
static const char* const SOURCE_OPEN_FAILED_TEXT = "备份csv文件时出错：无法打开源csv文件句柄";
static const char* const BACKUP_WRITE_FAILED_TEXT = "备份csv文件时出错：写入文件失败";
static const char* const READ_INCOMPLETE_TEXT = "备份csv文件时出错：文件读取不完整";

constexpr size_t COPY_BLOCK_SIZE = 8192;

namespace {

struct FileCloser {
    void operator()(FILE* file) const {
        if (file) std::fclose(file);
    }
};
typedef std::unique_ptr<FILE, FileCloser> FileHandle;

struct BufferRelease {
    void operator()(char* buffer) const { std::free(buffer); }
};
typedef std::unique_ptr<char, BufferRelease> HeapBuffer;

// Closes the stream; 0 when buffered data could not be written out.
int closeFile(FileHandle& file) {
    FILE* raw = file.release();
    return raw && std::fclose(raw) == 0 ? 1 : 0;
}

int injected(int step) {
    return writerFailAtStep == step ? 1 : 0;
}

[[noreturn]] void fatal(const char* utf8) {
    const char* text = programText(utf8);
    writeLog(text);
    windowFatalError(text);
}

// Ends a failed write-back: the temporary file goes, the package stays as it was.
[[noreturn]] void failWriteBack(FileHandle& temp, const char* tempPath, const char* text) {
    if (temp) std::fclose(temp.release());
    if (tempPath && tempPath[0]) removeFile(tempPath);
    fatal(text);
}

} // namespace

int writePackage(const char* path, const char* text) {
    FileHandle temp;
    if (!text) text = "";
    size_t length = std::strlen(text);

    // Every engine character takes at most two bytes of UTF-16 per byte it has; the first two
    // bytes hold the byte-order mark.
    if (length > static_cast<size_t>(INT_MAX - 16) / 2) failWriteBack(temp, nullptr, CONVERT_FAILED_TEXT);
    size_t capacity = 2 * length + 16;
    HeapBuffer output(static_cast<char*>(std::malloc(capacity)));
    if (!output) failWriteBack(temp, nullptr, CONVERT_FAILED_TEXT);
    int produced = 0;
    int converted = convertCharset(engineCharset(), "UTF-16LE", text, static_cast<int>(length),
                                   output.get() + 2, static_cast<int>(capacity - 2), &produced);
    if (converted < 0 || injected(WRITER_STEP_CONVERT)) failWriteBack(temp, nullptr, CONVERT_FAILED_TEXT);
    output.get()[0] = '\xFF';
    output.get()[1] = '\xFE';
    size_t total = static_cast<size_t>(produced) + 2;

    char tempPath[PATH_BUFFER_SIZE] = {0};
    int written = std::snprintf(tempPath, sizeof tempPath, "%s%s", path, WRITER_TEMP_SUFFIX);
    if (written < 0 || written >= static_cast<int>(sizeof tempPath)) {
        // No room for the temporary file's name: nothing was created.
        failWriteBack(temp, nullptr, OPEN_FAILED_TEXT);
    }
    temp.reset(openFile(tempPath, "wb"));
    if (!temp || injected(WRITER_STEP_OPEN)) failWriteBack(temp, tempPath, OPEN_FAILED_TEXT);

    size_t toWrite = injected(WRITER_STEP_WRITE) ? total / 2 : total;
    size_t done = std::fwrite(output.get(), 1, toWrite, temp.get());
    if (done != total) failWriteBack(temp, tempPath, WRITE_FAILED_TEXT);
    output.reset();

    if (!flushFileToDisk(temp.get()) || injected(WRITER_STEP_FLUSH)) {
        failWriteBack(temp, tempPath, WRITE_FAILED_TEXT);
    }
    if (!closeFile(temp)) failWriteBack(temp, tempPath, WRITE_FAILED_TEXT);

    // The package is replaced in one step; until here it has not been touched.
    if (injected(WRITER_STEP_REPLACE) || !replaceFile(tempPath, path)) {
        failWriteBack(temp, tempPath, OPEN_FAILED_TEXT);
    }
    return 1;
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
    const char* fileName = fileNameOf(path);

    char folder[PATH_BUFFER_SIZE] = {0};
    int written = std::snprintf(folder, sizeof folder, "%s%c%s", appDir, PATH_SEPARATOR,
                                programText(BACKUP_FOLDER_NAME));
    if (written < 0 || written >= static_cast<int>(sizeof folder)) fatal(FOLDER_FAILED_TEXT);
    // Another program may have made the folder between the test and the creation.
    if (!isDirectory(folder) && !makeDirectory(folder) && !isDirectory(folder)) fatal(FOLDER_FAILED_TEXT);

    char backupPath[PATH_BUFFER_SIZE] = {0};
    int named = freeBackupPath(folder, fileName, backupPath);

    FileHandle source(openFile(path, "rb"));
    if (!source) fatal(SOURCE_OPEN_FAILED_TEXT);
    if (!named) fatal(BACKUP_WRITE_FAILED_TEXT);
    FileHandle backup(openFile(backupPath, "wb"));
    if (!backup) fatal(BACKUP_WRITE_FAILED_TEXT);

    // A failed copy removes its partial backup, so that no numbered copy is ever incomplete.
    auto fail = [&](const char* text) {
        closeFile(source);
        closeFile(backup);
        removeFile(backupPath);
        fatal(text);
    };

    std::unique_ptr<char[]> block(new char[COPY_BLOCK_SIZE]);
    for (;;) {
        size_t got = std::fread(block.get(), 1, COPY_BLOCK_SIZE, source.get());
        if (got > 0) {
            if (std::fwrite(block.get(), 1, got, backup.get()) != got) fail(BACKUP_WRITE_FAILED_TEXT);
            continue;
        }
        if (!std::feof(source.get())) fail(READ_INCOMPLETE_TEXT);
        break;
    }
    closeFile(source);
    if (!closeFile(backup)) fail(BACKUP_WRITE_FAILED_TEXT);
    return 1;
}
