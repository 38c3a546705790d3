// Reading a data package: the file decoded into one engine string, the header and its known columns
// found, every row walked into an Item with the image addresses of its description and mobile details.
#include "package/reader.h"

#include "core/allocate.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/scope.h"
#include "core/text.h"
#include "package/addresses.h"
#include "package/item.h"
#include "platform/files.h"
#include "platform/gb18030.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Buffer = HeapPointer<char>;
using File = FileHandle;

// The decoded text takes at most twice the file's size (see loadText); larger packages than this
// could not be addressed by the engine's int lengths.
constexpr long long MAX_PACKAGE_SIZE = (INT_MAX - 2) / 2;

thread_local const char* failureText = "";

// Records why the read failed, for app.log and for lastReadFailure.
int fail(const char* reasonUtf8) {
    failureText = programText(reasonUtf8);
    writeLogFormat("%s%s", programText("读取数据包失败："), failureText);
    return 0;
}

// A fault of the reader rather than of the package (a pattern that cannot be matched): the read
// ends with PACKAGE_READ_FATAL and the message for the caller to show.
int fatal(const char* utf8) {
    failureText = programText(utf8);
    return PACKAGE_READ_FATAL;
}

int isHighSurrogate(const unsigned char* unit, bool littleEndian) {
    const unsigned value = littleEndian ? (unit[0] | unit[1] << 8) : (unit[0] << 8 | unit[1]);
    return value >= 0xD800 && value <= 0xDBFF;
}

int encodingFailure() {
    writeLog(programText("csv 文件编码存在问题, 无法正常的解析。"));
    return fail("文件编码存在问题，无法正常解析");
}

// Taobao Assistant's WebP suffix, removed everywhere in the text, also from the text written back.
constexpr const char* WEBP_SUFFIX = "_.webp";

// The first place in [from, end) where the n bytes of needle stand, or null. The needle's first
// byte is looked for with memchr, which passes over text far faster than a general search.
char* findBytes(char* from, const char* end, const char* needle, size_t n) {
    while (static_cast<size_t>(end - from) >= n) {
        char* first =
            static_cast<char*>(std::memchr(from, needle[0], static_cast<size_t>(end - from) - n + 1));
        if (!first) return nullptr;
        if (std::memcmp(first + 1, needle + 1, n - 1) == 0) return first;
        from = first + 1;
    }
    return nullptr;
}

// Removes the WebP suffixes of the text decoded so far (length bytes) in place, as one
// replaceAll with an empty replacement over the whole text would: the suffixes as they stand in
// the decoded text, left to right, never one that a removal joins together. The text is passed
// over piece by piece as it is decoded, while each piece is still in the cache; *resume is where
// the next search begins (0 at first): past the last removal, and no earlier than where a suffix
// could still end in bytes yet to come. Returns the new length.
size_t removeSuffixes(char* text, size_t length, size_t* resume) {
    const size_t n = std::strlen(WEBP_SUFFIX);
    const char* end = text + length;
    char* hit = findBytes(text + *resume, end, WEBP_SUFFIX, n);
    char* out = hit;
    size_t join = *resume;
    while (hit) {
        char* from = hit + n;
        char* next = findBytes(from, end, WEBP_SUFFIX, n);
        const size_t keep = static_cast<size_t>((next ? next : end) - from);
        join = static_cast<size_t>(out - text);
        std::memmove(out, from, keep);
        out += keep;
        hit = next;
    }
    if (out) length = static_cast<size_t>(out - text);
    *resume = std::max(join, length >= n - 1 ? length - (n - 1) : 0);
    return length;
}

// Reads the file and decodes it into one engine string without the WebP suffixes; *length
// receives its byte length.
//
// The text takes at most 2 bytes per byte of UTF-16: a code unit (2 bytes) becomes 1, 2 or 4
// bytes of GB18030 (at most 2 of GBK), a surrogate pair (4 bytes) becomes 4, the mark nothing.
// The text buffer is reserved at that bound but only touched as far as the text goes, in pages of
// the ordinary size: asking for large pages would let a page fault wait for the system to gather
// a large page, which on a busy machine made some loads take twice as long. The file
// is decoded piece by piece as it is read, so it is never held whole beside its text: a package
// needs little more memory than its decoded text, and no time goes to copying and clearing
// memory that the text never uses. The first piece is decoded as "UTF-16", whose mark (or its
// absence: big-endian) decides the byte order; the later pieces are decoded in that order, cut
// between code units and never inside a surrogate pair, so the text is the same as one
// conversion of the whole file would give.
int loadText(const char* path, Buffer* text, size_t* length) {
    if (!fileExists(path)) return fail("文件不存在或无法打开");
    const long long size = fileSize(path);
    if (size < 0) return fail("文件无法打开");
    if (size == 0) return fail("文件是空的");
    if (size > MAX_PACKAGE_SIZE) return fail("文件太大");
    File file(openFile(path, "rb"));
    if (!file) return fail("文件无法打开");

    // A piece, with room for the few bytes that a cut carries over to the next one.
    const size_t pieceSize = static_cast<size_t>(std::min<long long>(size, PACKAGE_DECODE_PIECE_SIZE));
    Buffer piece(static_cast<char*>(allocateBytes(pieceSize + 4)));
    unsigned char* bytes = reinterpret_cast<unsigned char*>(piece.get());
    size_t want = pieceSize;
    size_t have = std::fread(piece.get(), 1, want, file.get());
    if (have != want) return fail("文件读取不完整");
    long long unread = size - static_cast<long long>(have);

    // A package saved again by a spreadsheet program: the title column's name right after the
    // mark, or 8-bit text that begins with "version".
    if (have >= 4 && bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0x9D && bytes[3] == 0x5B) {
        return fail("文件格式不对：数据包被其他软件另存过，请使用淘宝助理重新导出");
    }
    if (have >= 3 && bytes[0] == 'v' && bytes[1] == 'e' && bytes[2] == 'r') {
        return fail("文件格式不对：文件不是 Unicode 文本，请使用淘宝助理重新导出");
    }
    const size_t skip = (have >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) ? 3 : 0;
    const bool littleEndian = have >= skip + 2 && bytes[skip] == 0xFF && bytes[skip + 1] == 0xFE;

    const size_t capacity = 2 * static_cast<size_t>(size - static_cast<long long>(skip)) + 2;
    Buffer out(static_cast<char*>(allocateBytes(capacity)));
    size_t produced = 0;
    size_t resume = 0;
    CodecForm form = FORM_UTF16;
    size_t start = skip;
    for (;;) {
        const bool last = unread == 0;
        const size_t available = have - start;
        size_t cut = available;
        if (!last) {
            cut &= ~static_cast<size_t>(1);
            if (cut >= 2 && isHighSurrogate(bytes + start + cut - 2, littleEndian)) cut -= 2;
        }
        if (cut > 0) {
            // A piece nearly always decodes to no more bytes than it has (ASCII halves, GBK keeps
            // two bytes), so it is first given that much room, and the bound only when needed.
            int converted = 0;
            int n = 0;
            for (size_t factor = 1; factor <= 2 && !converted; factor++) {
                const size_t window = std::min(factor * cut + 2, capacity - produced);
                converted = decodeUtf16ToGb18030(form, piece.get() + start, static_cast<int>(cut),
                                                 out.get() + produced, static_cast<int>(window), &n) >= 0 &&
                            n >= 0 && static_cast<size_t>(n) < window;
            }
            if (!converted) return encodingFailure();
            produced = removeSuffixes(out.get(), produced + static_cast<size_t>(n), &resume);
            form = littleEndian ? FORM_UTF16LE : FORM_UTF16BE;
        }
        if (last) break;
        // The bytes after the cut (half a code unit, or a high surrogate) begin the next piece.
        const size_t tail = available - cut;
        std::memmove(piece.get(), piece.get() + start + cut, tail);
        start = 0;
        want = static_cast<size_t>(std::min<long long>(unread, static_cast<long long>(pieceSize)));
        const size_t got = std::fread(piece.get() + tail, 1, want, file.get());
        if (got != want) return fail("文件读取不完整");
        have = tail + got;
        unread -= static_cast<long long>(got);
    }
    piece.reset();
    file.reset();

    out.get()[produced] = '\0';
    // The engine's strings end at the first NUL: a package holding one would be cut short when it
    // is written back, so it is refused.
    if (std::strlen(out.get()) != produced) return fail("文件中含有空字符，无法正常解析");
    char* fitted = static_cast<char*>(reallocateBytes(out.get(), produced + 1));
    out.release();
    out.reset(fitted);
    *length = produced;
    *text = std::move(out);
    return 1;
}

Buffer copyRange(const char* from, size_t n) {
    Buffer copy(static_cast<char*>(allocateBytes(n + 1)));
    std::memcpy(copy.get(), from, n);
    copy.get()[n] = '\0';
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
    Item* item = static_cast<Item*>(allocateZeroed(sizeof(Item)));
    std::memcpy(item->title, field + 1, n - 2);
    item->title[n - 2] = '\0';
    arrayListAdd(items, item);
    return item;
}

// The field at *cursor, ended by writing NUL over the TAB after it; *cursor moves past that TAB, or
// becomes null when no TAB follows (as nextToken with a TAB alone, found with strchr).
char* nextField(char** cursor) {
    if (!*cursor) return nullptr;
    char* field = *cursor;
    char* tab = std::strchr(field, '\t');
    if (tab) {
        *tab = '\0';
        *cursor = tab + 1;
    } else {
        *cursor = nullptr;
    }
    return field;
}

// nextField ends a field by writing NUL over the TAB after it; the walk puts the TAB back once it
// is done with the field, so the package text is whole again after the walk, whatever its end.
struct TabRestorer {
    char* at;
    ~TabRestorer() {
        if (at) *at = '\t';
    }
};

// Walks the rows of the data part, splitting the package text in place. Fields are separated
// by TAB; the description, mobile-details and selling-point fields are quoted and taken whole, so
// they may hold TAB, CR and LF. The token of a row's last column runs on past the line break into
// the next row's title. The read succeeds only at the end of the text, after a line break: a
// last row without one, or an empty title with more text after it, fails instead of silently
// leaving rows out.
int walkRows(char* data, const Columns& columns, ArrayList* items, bool secure) {
    // A header line with nothing after it (or only line breaks) is an empty package.
    if (onlyLineBreaks(data)) return 1;
    char* cursor = data;
    int col = 0;
    Item* current = nullptr;
    for (;;) {
        char* token = nextField(&cursor);
        if (!token) return fail("数据包最后一行不完整");
        TabRestorer restore{cursor ? cursor - 1 : nullptr};
        if (col == columns.count - 1) {
            char* lineFeed = std::strchr(token, '\n');
            if (!lineFeed) return fail("数据包的行尾缺少换行符");
            char* rest = lineFeed + 1;
            if (!cursor && onlyLineBreaks(rest)) return 1;
            size_t n = std::strlen(rest);
            if (n > static_cast<size_t>(TITLE_FIELD_MAX)) return fail("宝贝名称太长（最多 125 个字节）");
            if (n < 2) return fail("数据包的行尾之后缺少宝贝名称");
            current = appendItem(items, rest, n);
            col = 0;
        } else if (!current && col == columns.title) {
            size_t n = std::strlen(token);
            if (n > static_cast<size_t>(TITLE_FIELD_MAX)) return fail("宝贝名称太长（最多 125 个字节）");
            if (n < 2) return fail("第一行缺少宝贝名称");
            current = appendItem(items, token, n);
        }
        const int next = col + 1;
        if (next == columns.description || next == columns.mobile || next == columns.sellingPoints) {
            if (!cursor || *cursor != '"') return fail("宝贝描述、无线详情或宝贝卖点缺少引号");
            int length = quotedFieldLength(cursor);
            if (length <= 0) return fail("宝贝描述、无线详情或宝贝卖点缺少结尾的引号");
            if (next != columns.sellingPoints) {
                if (!current) return fail("宝贝名称之前出现了宝贝描述或无线详情");
                ArrayList** slot =
                    next == columns.description ? &current->descImages : &current->mobileImages;
                if (*slot) return fail("同一个宝贝有两个宝贝描述或无线详情");
                *slot = next == columns.description ? arrayListCreate(32, 16) : arrayListCreate(16, 8);
                // The field is handed over as its own string by ending it in place for the moment.
                char saved = cursor[length];
                cursor[length] = '\0';
                int ok = next == columns.description
                             ? collectDescriptionAddresses(cursor, length, *slot, secure,
                                                           &current->uncollectedDescImages)
                             : collectMobileAddresses(cursor, length, *slot, secure,
                                                      &current->uncollectedMobileImages);
                cursor[length] = saved;
                if (!ok) {
                    return fatal(next == columns.description
                                     ? "读取宝贝详情时出错，具体原因可查看应用日志文件：app.log"
                                     : "读取宝贝无线详情时出错，具体原因可查看应用日志文件：app.log");
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

const char* lastReadFailure() {
    return failureText;
}

namespace {

void appendAll(ArrayList** list, ArrayList** uncollected) {
    if (!*uncollected) return;
    if (*list) {
        for (int32_t i = 0; i < (*uncollected)->count; i++)
            arrayListAdd(*list, (*uncollected)->items[i]);
        arrayListDestroy(*uncollected, 0);
    } else {
        *list = *uncollected;
    }
    *uncollected = nullptr;
}

} // namespace

void includeUncollectedImages(ArrayList* items) {
    for (int32_t i = 0; items && i < items->count; i++) {
        Item* item = static_cast<Item*>(items->items[i]);
        if (!item) continue;
        appendAll(&item->descImages, &item->uncollectedDescImages);
        appendAll(&item->mobileImages, &item->uncollectedMobileImages);
    }
}

int quotedFieldLength(const char* field) {
    if (!field || field[0] != '"') return 0;
    for (const char* p = std::strchr(field + 1, '"'); p; p = std::strchr(p + 2, '"')) {
        // A doubled quote is an escaped one; both are passed over.
        if (p[1] != '"') return static_cast<int>(p - field + 1);
    }
    return 0;
}

int readPackage(const char* path, ArrayList* items, char** packageText, int secureMode) {
    failureText = "";
    if (!path || !items || !packageText) return fail("参数无效");
    prepareAddressPatterns();

    Buffer text;
    size_t length = 0;
    if (!loadText(path, &text, &length)) return 0;

    // Whatever stands before the title column's name (a version line, an English header line)
    // is passed over.
    const char* headerStart = std::strstr(text.get(), programText("宝贝名称"));
    if (!headerStart) return fail("没有找到表头（宝贝名称）");
    const char* headerEnd = std::strchr(headerStart, '\n');
    if (!headerEnd) return fail("表头之后没有换行符");
    Buffer header = copyRange(headerStart, static_cast<size_t>(headerEnd - headerStart));
    char* data = text.get() + (headerEnd + 1 - text.get());

    Columns columns;
    findColumns(header.get(), &columns);
    header.reset();
    if (columns.title < 0) return fail("没有找到宝贝名称列");
    if (columns.description < 0) return fail("没有找到宝贝描述列");

    AppendedItems appended{items, items->count, false};
    const int walked = walkRows(data, columns, items, secureMode != 0);
    if (walked != 1) return walked;
    appended.kept = true;
    *packageText = text.release();
    return 1;
}
