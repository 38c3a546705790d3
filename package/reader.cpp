#include "package/reader.h"

#include "core/applog.h"
#include "core/charset.h"
#include "core/deployment.h"
#include "core/text.h"
#include "migration/jobwindow.h"
#include "package/item.h"
#include "platform/files.h"

#include <pcre.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct PcreDeleter {
    void operator()(pcre* code) const { pcre_free(code); }
};
struct StudyDeleter {
    void operator()(pcre_extra* extra) const { pcre_free_study(extra); }
};

// The decoded text takes at most 2 bytes per input byte: a UTF-16 code unit (2 bytes) becomes 1,
// 2 or 4 bytes of GB18030 (or at most 2 of GBK), a surrogate pair (4 bytes) becomes 4. The
// output buffer is sized to that bound, so reading a package needs about three times its size
// while it is decoded (the file and the buffer), and the file is released right after. Larger
// packages than this cannot be addressed by the conversion's int lengths.
constexpr long long MAX_PACKAGE_SIZE = (INT_MAX - 2) / 2;

// Which family a pattern belongs to, for the cheap test that proves it cannot match a field.
enum PatternFamily { FAMILY_IMG_SRC, FAMILY_BACKGROUND, FAMILY_MOBILE };

struct CompiledPattern {
    const char* source;
    PatternFamily family;
    pcre* code;
    pcre_extra* extra;
    const char* error;
    int errorOffset;
};

constexpr int KNOWN_PATTERN_COUNT = DESC_IMAGE_PATTERN_COUNT + 1;
CompiledPattern knownPatterns[KNOWN_PATTERN_COUNT];

std::once_flag compileOnce;

thread_local const char* failureText = "";

// Patterns are compiled (and studied, with the JIT where the PCRE build has one) once per process
// and kept for its lifetime.
void compilePatterns() {
    for (int i = 0; i < KNOWN_PATTERN_COUNT; i++) {
        CompiledPattern* p = &knownPatterns[i];
        p->source = i < DESC_IMAGE_PATTERN_COUNT ? DESC_IMAGE_PATTERNS[i] : MOBILE_IMAGE_PATTERN;
        p->family = i < 3 ? FAMILY_IMG_SRC : (i < DESC_IMAGE_PATTERN_COUNT ? FAMILY_BACKGROUND : FAMILY_MOBILE);
        p->code = pcre_compile(p->source, PCRE_CASELESS, &p->error, &p->errorOffset, nullptr);
        if (!p->code) continue;
        const char* studyError = nullptr;
        p->extra = pcre_study(p->code, PCRE_STUDY_JIT_COMPILE, &studyError);
    }
}

void ensurePatterns() { std::call_once(compileOnce, compilePatterns); }

const CompiledPattern* findKnownPattern(const char* source) {
    for (int i = 0; i < KNOWN_PATTERN_COUNT; i++) {
        if (knownPatterns[i].source == source || std::strcmp(knownPatterns[i].source, source) == 0) {
            return &knownPatterns[i];
        }
    }
    return nullptr;
}

unsigned char lowerAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// Whether text holds needle (lower case) with ASCII letters compared as PCRE's caseless mode does.
int containsIgnoreCase(const char* text, size_t length, const char* needle) {
    size_t n = std::strlen(needle);
    if (length < n) return 0;
    const unsigned char first = static_cast<unsigned char>(needle[0]);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i + n <= length; i++) {
        if (lowerAscii(p[i]) != first) continue;
        size_t k = 1;
        while (k < n && lowerAscii(p[i + k]) == static_cast<unsigned char>(needle[k])) k++;
        if (k == n) return 1;
    }
    return 0;
}

// What a field holds of the literal text that every pattern of a family needs.
struct FieldHints {
    int http;
    int imgTag;
    int background;
    int imgClose;
};

FieldHints hintsOf(const char* field, size_t length) {
    FieldHints hints;
    hints.http = containsIgnoreCase(field, length, "http://");
    hints.imgTag = hints.http && containsIgnoreCase(field, length, "<img");
    hints.background = hints.http && containsIgnoreCase(field, length, "background");
    hints.imgClose = hints.imgTag && containsIgnoreCase(field, length, "</img>");
    return hints;
}

int cannotMatch(PatternFamily family, const FieldHints& hints) {
    if (!hints.http) return 1;
    switch (family) {
    case FAMILY_IMG_SRC:
        return !hints.imgTag;
    case FAMILY_BACKGROUND:
        return !hints.background;
    case FAMILY_MOBILE:
        return !hints.imgClose;
    }
    return 0;
}

int isExcludedAddress(const char* address) {
    for (int i = 0; i < EXCLUDED_IMAGE_HOST_COUNT; i++) {
        if (std::strstr(address, EXCLUDED_IMAGE_HOSTS[i])) return 1;
    }
    return std::strcmp(address, BLANK_IMAGE_URL) == 0;
}

void logCompileFailure(const char* error, int offset) {
    writeLogFormat("PCRE compilation failed at offset %d: %s", offset, error ? error : "");
}

// Runs one compiled pattern over the field from its start and adds each new address to list.
int matchAll(const pcre* code, const pcre_extra* extra, const char* field, int length, ArrayList* list,
             int description) {
    int start = 0;
    int ovector[6];
    for (;;) {
        int rc = pcre_exec(code, extra, field, length, start, 0, ovector, 6);
        if (rc == PCRE_ERROR_NOMATCH) return 1;
        if (rc < 0) {
            writeLogFormat("Matching error: %d", rc);
            return 0;
        }
        if ((rc == 0 || rc >= 2) && ovector[2] >= 0 && ovector[3] >= ovector[2]) {
            size_t n = static_cast<size_t>(ovector[3] - ovector[2]);
            Buffer address(static_cast<char*>(std::malloc(n + 1)));
            if (!address) {
                writeLog("Matching error: out of memory");
                return 0;
            }
            std::memcpy(address.get(), field + ovector[2], n);
            address.get()[n] = '\0';
            if (!(description && isExcludedAddress(address.get())) &&
                !arrayListContains(list, address.get(), stringEquals)) {
                arrayListAdd(list, address.release());
            }
        }
        // Every pattern of the reader consumes text; an empty match of another pattern moves on
        // by one byte so that the search always ends.
        if (ovector[1] > start) {
            start = ovector[1];
        } else if (start < length) {
            start++;
        } else {
            return 1;
        }
    }
}

int collectWith(const char* field, ArrayList* list, const char* pattern, int description, const FieldHints* hints) {
    if (!field || !list || !pattern) return 0;
    ensurePatterns();
    size_t length = std::strlen(field);
    if (length > static_cast<size_t>(INT_MAX)) return 0;
    const CompiledPattern* known = findKnownPattern(pattern);
    if (known) {
        if (!known->code) {
            logCompileFailure(known->error, known->errorOffset);
            return 0;
        }
        FieldHints own;
        if (!hints) {
            own = hintsOf(field, length);
            hints = &own;
        }
        if (cannotMatch(known->family, *hints)) return 1;
        return matchAll(known->code, known->extra, field, static_cast<int>(length), list, description);
    }
    // A pattern the reader does not know is compiled for this one call.
    const char* error = nullptr;
    int errorOffset = 0;
    std::unique_ptr<pcre, PcreDeleter> code(pcre_compile(pattern, PCRE_CASELESS, &error, &errorOffset, nullptr));
    if (!code) {
        logCompileFailure(error, errorOffset);
        return 0;
    }
    return matchAll(code.get(), nullptr, field, static_cast<int>(length), list, description);
}

// Records why the read failed, for app.log and for lastReadFailure.
int fail(const char* reasonUtf8) {
    failureText = programText(reasonUtf8);
    writeLogFormat("%s%s", programText("读取数据包失败："), failureText);
    return 0;
}

// Reads the file whole and decodes it into one engine string; *length receives its byte length.
int loadText(const char* path, Buffer* text, size_t* length) {
    if (!fileExists(path)) return fail("文件不存在或无法打开");
    long long size = fileSize(path);
    if (size < 0) return fail("文件无法打开");
    if (size == 0) return fail("文件是空的");
    if (size > MAX_PACKAGE_SIZE) return fail("文件太大");
    File file(openFile(path, "rb"));
    if (!file) return fail("文件无法打开");
    Buffer raw(static_cast<char*>(std::malloc(static_cast<size_t>(size))));
    if (!raw) return fail("内存不足");
    if (std::fread(raw.get(), 1, static_cast<size_t>(size), file.get()) != static_cast<size_t>(size)) {
        return fail("文件读取不完整");
    }
    file.reset();

    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(raw.get());
    // A package saved again by a spreadsheet program: the title column's name right after the
    // mark, or 8-bit text that begins with "version".
    if (size >= 4 && bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0x9D && bytes[3] == 0x5B) {
        return fail("文件格式不对：数据包被其他软件另存过，请使用淘宝助理重新导出");
    }
    if (size >= 3 && bytes[0] == 'v' && bytes[1] == 'e' && bytes[2] == 'r') {
        return fail("文件格式不对：文件不是 Unicode 文本，请使用淘宝助理重新导出");
    }
    long long skip = (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) ? 3 : 0;

    const long long inputLength = size - skip;
    const long long outputSize = 2 * inputLength + 2;
    Buffer out(static_cast<char*>(std::malloc(static_cast<size_t>(outputSize))));
    if (!out) return fail("内存不足");
    int produced = 0;
    int rc = convertCharset("UTF-16", engineCharset(), raw.get() + skip, static_cast<int>(inputLength), out.get(),
                            static_cast<int>(outputSize), &produced);
    raw.reset();
    if (rc < 0) {
        writeLog(programText("csv 文件编码存在问题, 无法正常的解析。"));
        return fail("文件编码存在问题，无法正常解析");
    }
    if (produced < 0 || produced >= outputSize) return fail("文件编码存在问题，无法正常解析");
    out.get()[produced] = '\0';
    // The engine's strings end at the first NUL: a package holding one would be cut short when it
    // is written back, so it is refused.
    if (std::strlen(out.get()) != static_cast<size_t>(produced)) return fail("文件中含有空字符，无法正常解析");
    char* fitted = static_cast<char*>(std::realloc(out.get(), static_cast<size_t>(produced) + 1));
    if (fitted) {
        out.release();
        out.reset(fitted);
    }
    *length = static_cast<size_t>(produced);
    *text = std::move(out);
    return 1;
}

Buffer copyRange(const char* from, size_t n) {
    Buffer copy(static_cast<char*>(std::malloc(n + 1)));
    if (copy) {
        std::memcpy(copy.get(), from, n);
        copy.get()[n] = '\0';
    }
    return copy;
}

struct Columns {
    int count;
    int title;
    int description;
    int mobile;
    int sellingPoints;
};

// Splits the header line at TAB. The last name still carries the CR of a CR LF line end, so a
// column named there is found only when the header line ends with LF alone.
void findColumns(char* header, Columns* columns) {
    const char* titleName = programText("宝贝名称");
    const char* descriptionName = programText("宝贝描述");
    const char* mobileName = programText("无线详情");
    const char* sellingPointsName = programText("宝贝卖点");
    columns->count = 0;
    columns->title = columns->description = columns->mobile = columns->sellingPoints = -1;
    char* cursor = header;
    for (char* name = nextToken(&cursor, "\t"); name; name = nextToken(&cursor, "\t")) {
        int index = columns->count++;
        if (std::strcmp(name, titleName) == 0) columns->title = index;
        if (std::strcmp(name, descriptionName) == 0) columns->description = index;
        if (std::strcmp(name, mobileName) == 0) columns->mobile = index;
        if (std::strcmp(name, sellingPointsName) == 0) columns->sellingPoints = index;
    }
}

int onlyLineBreaks(const char* text) {
    for (; *text; text++) {
        if (*text != '\r' && *text != '\n') return 0;
    }
    return 1;
}

// The items this read appended, released again unless the read succeeds, so that a failed read
// (or a fatal error that unwinds) leaves the caller's list as it was.
struct AppendedItems {
    ArrayList* list;
    int32_t before;
    bool kept;
    ~AppendedItems() {
        if (kept) return;
        for (int32_t i = before; i < list->count; i++) {
            freeItem(static_cast<Item*>(list->items[i]));
            list->items[i] = nullptr;
        }
        list->count = before;
    }
};

// A new item from a quoted title field of n bytes; the quotes are left out, doubled quotes stay.
Item* appendItem(ArrayList* items, const char* field, size_t n) {
    Item* item = static_cast<Item*>(std::calloc(1, sizeof(Item)));
    if (!item) return nullptr;
    std::memcpy(item->title, field + 1, n - 2);
    item->title[n - 2] = '\0';
    arrayListAdd(items, item);
    return item;
}

int collectDescription(const char* field, size_t length, ArrayList* list) {
    FieldHints hints = hintsOf(field, length);
    for (int i = 0; i < DESC_IMAGE_PATTERN_COUNT; i++) {
        if (!collectWith(field, list, DESC_IMAGE_PATTERNS[i], 1, &hints)) return 0;
    }
    return 1;
}

// Walks the rows of the data part (a private copy that is split in place). Fields are separated
// by TAB; the description, mobile-details and selling-point fields are quoted and taken whole, so
// they may hold TAB, CR and LF. The token of a row's last column runs on past the line break into
// the next row's title. The read succeeds only at the end of the text, after a line break: a
// last row without one, or an empty title with more text after it, fails instead of silently
// leaving rows out.
int walkRows(char* data, const Columns& columns, ArrayList* items) {
    // A header line with nothing after it (or only line breaks) is an empty package.
    if (onlyLineBreaks(data)) return 1;
    char* cursor = data;
    int col = 0;
    Item* current = nullptr;
    for (;;) {
        char* token = nextToken(&cursor, "\t");
        if (!token) return fail("数据包最后一行不完整");
        if (col == columns.count - 1) {
            char* lineFeed = std::strchr(token, '\n');
            if (!lineFeed) return fail("数据包的行尾缺少换行符");
            char* rest = lineFeed + 1;
            if (!cursor && onlyLineBreaks(rest)) return 1;
            size_t n = std::strlen(rest);
            if (n > static_cast<size_t>(TITLE_FIELD_MAX)) return fail("宝贝名称太长（最多 125 个字节）");
            if (n < 2) return fail("数据包的行尾之后缺少宝贝名称");
            current = appendItem(items, rest, n);
            if (!current) return fail("内存不足");
            col = 0;
        } else if (!current && col == columns.title) {
            size_t n = std::strlen(token);
            if (n > static_cast<size_t>(TITLE_FIELD_MAX)) return fail("宝贝名称太长（最多 125 个字节）");
            if (n < 2) return fail("第一行缺少宝贝名称");
            current = appendItem(items, token, n);
            if (!current) return fail("内存不足");
        }
        const int next = col + 1;
        if (next == columns.description || next == columns.mobile || next == columns.sellingPoints) {
            if (!cursor || *cursor != '"') return fail("宝贝描述、无线详情或宝贝卖点缺少引号");
            int length = quotedFieldLength(cursor);
            if (length <= 0) return fail("宝贝描述、无线详情或宝贝卖点缺少结尾的引号");
            if (next != columns.sellingPoints) {
                if (!current) return fail("宝贝名称之前出现了宝贝描述或无线详情");
                ArrayList** slot = next == columns.description ? &current->descImages : &current->mobileImages;
                if (*slot) return fail("同一个宝贝有两个宝贝描述或无线详情");
                *slot = next == columns.description ? arrayListCreate(32, 16) : arrayListCreate(16, 8);
                // The field is handed over as its own string by ending it in place for the moment.
                char saved = cursor[length];
                cursor[length] = '\0';
                int ok = next == columns.description
                             ? collectDescription(cursor, static_cast<size_t>(length), *slot)
                             : collectMobileImageRefs(cursor, *slot);
                cursor[length] = saved;
                if (!ok) {
                    windowFatalError(programText(next == columns.description
                                                     ? "读取宝贝详情时出错，具体原因可查看应用日志文件：app.log"
                                                     : "读取宝贝无线详情时出错，具体原因可查看应用日志文件：app.log"));
                }
            }
            // The cursor now stands on the TAB after the field: the next token is empty and
            // stands for the field just passed.
            cursor += length;
        }
        col = next;
    }
}

} // namespace

const char* lastReadFailure() { return failureText; }

int quotedFieldLength(const char* field) {
    if (!field || field[0] != '"') return 0;
    for (const char* p = field + 1; *p; p++) {
        if (*p != '"') continue;
        if (p[1] == '"') {
            p++;
            continue;
        }
        return static_cast<int>(p - field + 1);
    }
    return 0;
}

int collectImageRefs(const char* field, ArrayList* list, const char* pattern) {
    return collectWith(field, list, pattern, 1, nullptr);
}

int collectMobileImageRefs(const char* field, ArrayList* list) {
    return collectWith(field, list, MOBILE_IMAGE_PATTERN, 0, nullptr);
}

int readPackage(const char* path, ArrayList* items, char** packageText) {
    failureText = "";
    if (!path || !items || !packageText) return fail("参数无效");
    ensurePatterns();

    Buffer text;
    size_t length = 0;
    if (!loadText(path, &text, &length)) return 0;

    // Taobao Assistant's WebP suffix is removed everywhere, also from the text written back.
    if (std::strstr(text.get(), "_.webp")) {
        Buffer cleaned(replaceAll(text.get(), "_.webp", ""));
        if (!cleaned) return fail("内存不足");
        text = std::move(cleaned);
        length = std::strlen(text.get());
    }

    // Whatever stands before the title column's name (a version line, an English header line)
    // is passed over.
    const char* headerStart = std::strstr(text.get(), programText("宝贝名称"));
    if (!headerStart) return fail("没有找到表头（宝贝名称）");
    const char* headerEnd = std::strchr(headerStart, '\n');
    if (!headerEnd) return fail("表头之后没有换行符");
    Buffer header = copyRange(headerStart, static_cast<size_t>(headerEnd - headerStart));
    const char* dataStart = headerEnd + 1;
    Buffer data = copyRange(dataStart, length - static_cast<size_t>(dataStart - text.get()));
    if (!header || !data) return fail("内存不足");

    Columns columns;
    findColumns(header.get(), &columns);
    header.reset();
    if (columns.title < 0) return fail("没有找到宝贝名称列");
    if (columns.description < 0) return fail("没有找到宝贝描述列");

    AppendedItems appended{items, items->count, false};
    if (!walkRows(data.get(), columns, items)) return 0;
    appended.kept = true;
    *packageText = text.release();
    return 1;
}
