// Reading a data package: the file decoded into one engine string, the header and its known columns
// found, every row walked into an Item with the image addresses of its description and mobile details.
#include "package/reader.h"

#include "core/allocate.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/deployment.h"
#include "core/scope.h"
#include "core/text.h"
#include "migration/jobwindow.h"
#include "package/item.h"
#include "platform/files.h"
#include "platform/memory.h"

#include <pcre2.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

using Buffer = HeapPointer<char>;
using File = FileHandle;

struct PcreDeleter {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};

// The decoded text takes at most twice the file's size (see loadText); larger packages than this
// could not be addressed by the engine's int lengths.
constexpr long long MAX_PACKAGE_SIZE = (INT_MAX - 2) / 2;

// Each of the reader's patterns begins with a literal text (caseless), so a match can only start
// where that text stands. The reader finds those places itself and matches there only, with the
// pattern compiled anchored: the matches are the same as an unanchored search finds, without
// PCRE trying every '<' or 'b' of a description.
//
// The patterns that begin with an img tag ("<img [^>]*src...", "<img[^>]*>...") first run over
// the rest of the tag, up to its closing '>' (or the end of the field), and then either look for
// their attribute within what they ran over or need that '>' and what follows it. Whether a match
// starts at a place therefore depends only on where the tag ends and on the text between: a later
// place before that '>' offers a part of the same text and cannot match where the earlier one
// failed. The reader passes over those places after a failure; trying each of them would scan the
// same tag again and again, in time that grows with the square of a tag without '>' ("<img <img
// <img ..."). The background patterns need no such care: a failed attempt stops at the first byte
// that does not fit, and none of the spaces, signs and quotes they pass can begin another place.
struct CompiledPattern {
    const char* source;
    const char* compiled; // what PCRE compiles: the source, or a form that matches the same
    const char* prefix;
    bool failureCoversTag;
    bool secure; // captures only https:// and protocol-relative addresses
    pcre2_code* code;
    int error;
    PCRE2_SIZE errorOffset;
};

// The nine description patterns and the mobile one, then their secure counterparts in the same
// order: the secure form of knownPatterns[i] is knownPatterns[i + SECURE_OFFSET].
constexpr int SECURE_OFFSET = DESC_IMAGE_PATTERN_COUNT + 1;
constexpr int KNOWN_PATTERN_COUNT = 2 * SECURE_OFFSET;
constexpr int MOBILE_PATTERN_INDEX = DESC_IMAGE_PATTERN_COUNT;
CompiledPattern knownPatterns[KNOWN_PATTERN_COUNT];

std::once_flag compileOnce;

// The unquoted src pattern lets "[ ]*" follow "[^>]*". Every space is a "[^>]" already, so the
// places where "src" may stand are the same without it, and PCRE tries them in the same order,
// from the tag's end backwards: the first one where the rest matches gives the same match. With
// it, PCRE tries each place again for every space of a run before it, in time that grows with the
// square of the run's length ("<img " and a megabyte of spaces took minutes).
constexpr const char* UNQUOTED_SRC_PATTERN = "<img [^>]*src[ ]*=[ ]*(http://[^ |>]*)";
constexpr const char* SECURE_UNQUOTED_SRC_PATTERN = "<img [^>]*src[ ]*=[ ]*((?:https://|//[a-z0-9])[^ |>]*)";

constexpr bool sameText(const char* a, const char* b) {
    return *a == *b && (*a == '\0' || sameText(a + 1, b + 1));
}
static_assert(sameText(DESC_IMAGE_PATTERNS[2], "<img [^>]*[ ]*src[ ]*=[ ]*(http://[^ |>]*)"),
              "the unquoted src pattern is compiled in a form of its own");
static_assert(sameText(SECURE_DESC_IMAGE_PATTERNS[2],
                       "<img [^>]*[ ]*src[ ]*=[ ]*((?:https://|//[a-z0-9])[^ |>]*)"),
              "the secure unquoted src pattern is compiled in a form of its own");

thread_local const char* failureText = "";

// Patterns are compiled (and given to the JIT where the PCRE build has one) once per process and
// kept for its lifetime. Before each attempt PCRE would look ahead, up to thousands of bytes, for
// a byte the match needs (the '/' of "http://"); tried at one place after another of a long tag
// that lacks it, that look-ahead costs far more than the attempts. The look-ahead only rules out
// attempts that would fail anyway, so without it the matches are the same.
void compilePatterns() {
    for (int i = 0; i < KNOWN_PATTERN_COUNT; i++) {
        CompiledPattern* p = &knownPatterns[i];
        const int k = i % SECURE_OFFSET;
        p->secure = i >= SECURE_OFFSET;
        if (p->secure) {
            p->source =
                k < DESC_IMAGE_PATTERN_COUNT ? SECURE_DESC_IMAGE_PATTERNS[k] : SECURE_MOBILE_IMAGE_PATTERN;
        } else {
            p->source = k < DESC_IMAGE_PATTERN_COUNT ? DESC_IMAGE_PATTERNS[k] : MOBILE_IMAGE_PATTERN;
        }
        p->prefix = k < 3 ? "<img " : (k < DESC_IMAGE_PATTERN_COUNT ? "background" : "<img");
        p->failureCoversTag = k < 3 || k == MOBILE_PATTERN_INDEX;
        p->compiled = k == 2 ? (p->secure ? SECURE_UNQUOTED_SRC_PATTERN : UNQUOTED_SRC_PATTERN) : p->source;
        p->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p->compiled), PCRE2_ZERO_TERMINATED,
                                PCRE2_CASELESS | PCRE2_ANCHORED | PCRE2_NO_START_OPTIMIZE, &p->error,
                                &p->errorOffset, nullptr);
        // Without a JIT the pattern is matched by the interpreter, with the same results.
        if (p->code) pcre2_jit_compile(p->code, PCRE2_JIT_COMPLETE);
    }
}

void ensurePatterns() {
    std::call_once(compileOnce, compilePatterns);
}

// The index of a pattern the reader knows, or -1.
int findKnownPattern(const char* source) {
    for (int i = 0; i < KNOWN_PATTERN_COUNT; i++) {
        if (knownPatterns[i].source == source || std::strcmp(knownPatterns[i].source, source) == 0) return i;
    }
    return -1;
}

unsigned char lowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// A search for needle (lower case) in text, with ASCII letters compared as PCRE's caseless mode
// does, that goes on from where it stopped. Candidates are found with memchr, for each case of the
// needle's first byte, and each of the two searches resumes after its own last candidate: the
// places of a whole field are found in one pass, however many there are.
struct CaselessSearch {
    const char* needle;
    size_t n;
    const char* end; // the last place a match can start, plus one
    unsigned char first;
    unsigned char other;
    const char* lower;
    const char* upper;
};

void startCaselessSearch(CaselessSearch* search, const char* text, size_t length, const char* needle) {
    search->needle = needle;
    search->n = std::strlen(needle);
    search->first = static_cast<unsigned char>(needle[0]);
    search->other = (search->first >= 'a' && search->first <= 'z')
                        ? static_cast<unsigned char>(search->first - 32)
                        : search->first;
    search->lower = search->upper = nullptr;
    search->end = text;
    if (search->n == 0 || length < search->n) return;
    search->end = text + length - search->n + 1;
    const size_t span = static_cast<size_t>(search->end - text);
    search->lower = static_cast<const char*>(std::memchr(text, search->first, span));
    if (search->other != search->first) {
        search->upper = static_cast<const char*>(std::memchr(text, search->other, span));
    }
}

// The next place where the needle stands, or null.
const char* nextCaselessPlace(CaselessSearch* search) {
    while (search->lower || search->upper) {
        const bool fromLower = !search->upper || (search->lower && search->lower < search->upper);
        const char* candidate = fromLower ? search->lower : search->upper;
        size_t k = 1;
        while (k < search->n && lowerAscii(static_cast<unsigned char>(candidate[k])) ==
                                    static_cast<unsigned char>(search->needle[k]))
            k++;
        const char* from = candidate + 1;
        const size_t span = static_cast<size_t>(search->end - from);
        if (fromLower) {
            search->lower = static_cast<const char*>(std::memchr(from, search->first, span));
        } else {
            search->upper = static_cast<const char*>(std::memchr(from, search->other, span));
        }
        if (k == search->n) return candidate;
    }
    return nullptr;
}

int containsIgnoreCase(const char* text, size_t length, const char* needle) {
    CaselessSearch search;
    startCaselessSearch(&search, text, length, needle);
    return nextCaselessPlace(&search) != nullptr;
}

// 1 when the text holds a "//" that does not belong to an "http://" (any case): every https:// or
// protocol-relative address has one, so a text without is passed over by the secure patterns. One
// pass; a text of http:// addresses alone costs a look at each of their "//".
int holdsSecureCandidate(const char* text, size_t length) {
    const char* end = text + length;
    const char* p = text;
    while (p + 1 < end) {
        const char* slash = static_cast<const char*>(std::memchr(p, '/', static_cast<size_t>(end - p - 1)));
        if (!slash) return 0;
        if (slash[1] != '/') {
            p = slash + 1;
            continue;
        }
        static constexpr char HTTP_SCHEME[] = "http:";
        bool http = slash - text >= 5;
        for (int k = 0; http && k < 5; k++)
            http = lowerAscii(static_cast<unsigned char>(slash[k - 5])) ==
                   static_cast<unsigned char>(HTTP_SCHEME[k]);
        if (!http) return 1;
        p = slash + 2;
    }
    return 0;
}

// The places in a field where a family's literal beginning stands, in order.
struct Places {
    int* at = nullptr;
    int count = 0;
    int capacity = 0;
    ~Places() { std::free(at); }
};

void findPlaces(const char* field, int length, const char* prefix, Places* places) {
    places->count = 0;
    CaselessSearch search;
    startCaselessSearch(&search, field, static_cast<size_t>(length), prefix);
    while (const char* place = nextCaselessPlace(&search)) {
        if (places->count == places->capacity) {
            const int grown = places->capacity ? places->capacity * 2 : 32;
            int* at =
                static_cast<int*>(reallocateBytes(places->at, sizeof(int) * static_cast<size_t>(grown)));
            places->at = at;
            places->capacity = grown;
        }
        places->at[places->count++] = static_cast<int>(place - field);
    }
}

// The blank placeholder counts in each of its three spellings, each byte for byte: http://,
// https:// and protocol-relative.
int isBlankAddress(const char* address) {
    if (std::strcmp(address, BLANK_IMAGE_URL) == 0) return 1;
    const char* afterScheme = std::strstr(BLANK_IMAGE_URL, "//");
    if (std::strncmp(address, "https:", 6) == 0) address += 6;
    return std::strcmp(address, afterScheme) == 0;
}

int isExcludedAddress(const char* address) {
    for (int i = 0; i < EXCLUDED_IMAGE_HOST_COUNT; i++) {
        if (std::strstr(address, EXCLUDED_IMAGE_HOSTS[i])) return 1;
    }
    return isBlankAddress(address);
}

void logCompileFailure(int error, PCRE2_SIZE offset) {
    PCRE2_UCHAR message[256];
    if (pcre2_get_error_message(error, message, sizeof message) < 0) message[0] = 0;
    writeLogFormat("PCRE compilation failed at offset %d: %s", static_cast<int>(offset),
                   reinterpret_cast<const char*>(message));
}

// Room for the whole match and the one capturing group that holds the address. One match data
// serves every pattern of a field (the interpreter keeps the memory it backtracks in there); the
// caller frees it. It is never kept per thread: the Windows runtime frees a thread's storage before
// the destructors of its thread_local objects run.
pcre2_match_data* newMatchData() {
    pcre2_match_data* match = pcre2_match_data_create(2, nullptr);
    if (!match) outOfMemory();
    return match;
}

// The addresses a list holds, with an index over them once the list is long enough, so that telling
// whether an address is new takes the same time however many the list holds; a short list is
// searched directly, which costs less than hashing. The index's keys are the list's own strings;
// its equality is not stringEquals, so that destroying the index leaves them to the list.
struct HeldAddresses {
    ArrayList* list = nullptr;
    HashMap* index = nullptr;
    ~HeldAddresses() { hashMapDestroy(index, 0, 0); }
};

// The count from which a list is searched through its index.
constexpr int32_t INDEXED_LIST_COUNT = 32;

// FNV-1a: unlike a multiply-by-31 hash, many addresses that share one value cannot be made up by
// pasting together two-letter pieces.
uint32_t addressHash(const void* key) {
    uint32_t h = 2166136261u;
    for (const unsigned char* p = static_cast<const unsigned char*>(key); *p; p++) {
        h = (h ^ *p) * 16777619u;
    }
    return h;
}

int addressEquals(const void* stored, const void* probe) {
    return std::strcmp(static_cast<const char*>(stored), static_cast<const char*>(probe)) == 0;
}

void holdAddresses(HeldAddresses* held, ArrayList* list) {
    held->list = list;
    held->index = nullptr;
}

void indexAddresses(HeldAddresses* held) {
    ArrayList* list = held->list;
    held->index = hashMapCreate(addressHash, addressEquals, 4 * INDEXED_LIST_COUNT, 0.75f);
    for (int32_t i = 0; i < list->count; i++) {
        if (list->items[i]) hashMapPut(held->index, list->items[i], list->items[i]);
    }
}

// 1 when a short list, searched directly, holds the n bytes at found.
int shortListHolds(const ArrayList* list, const char* found, size_t n) {
    for (int32_t i = 0; i < list->count; i++) {
        const char* item = static_cast<const char*>(list->items[i]);
        if (item && std::strncmp(item, found, n) == 0 && item[n] == '\0') return 1;
    }
    return 0;
}

// Adds a copy of the n bytes at found unless the list holds it already or (for the description)
// it is an address that is never collected.
void addAddress(HeldAddresses* held, const char* found, size_t n, int description) {
    if (!held->index && held->list->count >= INDEXED_LIST_COUNT) indexAddresses(held);
    if (!held->index && shortListHolds(held->list, found, n)) return;
    Buffer address(static_cast<char*>(allocateBytes(n + 1)));
    std::memcpy(address.get(), found, n);
    address.get()[n] = '\0';
    if (held->index && hashMapGet(held->index, address.get())) return;
    if (description && isExcludedAddress(address.get())) return;
    if (held->index) hashMapPut(held->index, address.get(), address.get());
    arrayListAdd(held->list, address.release());
}

// Runs one compiled pattern over the field from its start and adds each new address to list:
// the leftmost match, then the next one from the end of the last. With places the pattern is
// anchored and is tried at those places only; with skipTag, a failure at a place passes over
// every place before the next '>'.
int matchAll(const pcre2_code* code, pcre2_match_data* match, const Places* places, bool skipTag,
             const char* field, int length, HeldAddresses* held, int description) {
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match);
    int start = 0;
    int next = 0;
    for (;;) {
        int at = start;
        if (places) {
            while (next < places->count && places->at[next] < start)
                next++;
            if (next == places->count) return 1;
            at = places->at[next];
        }
        int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(field), static_cast<PCRE2_SIZE>(length),
                             static_cast<PCRE2_SIZE>(at), 0, match, nullptr);
        if (rc == PCRE2_ERROR_NOMATCH) {
            if (!places) return 1;
            start = at + 1;
            if (skipTag) {
                const void* tagEnd = std::memchr(field + at, '>', static_cast<size_t>(length - at));
                start = tagEnd ? static_cast<int>(static_cast<const char*>(tagEnd) - field) : length;
            }
            continue;
        }
        if (rc < 0) {
            writeLogFormat("Matching error: %d", rc);
            return 0;
        }
        if ((rc == 0 || rc >= 2) && ovector[2] != PCRE2_UNSET && ovector[3] >= ovector[2]) {
            addAddress(held, field + ovector[2], ovector[3] - ovector[2], description);
        }
        // Every pattern of the reader consumes text; an empty match of another pattern moves on
        // by one byte so that the search always ends.
        const int matchEnd = static_cast<int>(ovector[1]);
        if (matchEnd > at) {
            start = matchEnd;
        } else if (at < length) {
            start = at + 1;
        } else {
            return 1;
        }
    }
}

// A pattern the reader does not know is compiled for the one call and searched unanchored.
int collectUnknown(const char* field, int length, HeldAddresses* held, const char* pattern, int description) {
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    std::unique_ptr<pcre2_code, PcreDeleter> code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern),
                                                                PCRE2_ZERO_TERMINATED, PCRE2_CASELESS, &error,
                                                                &errorOffset, nullptr));
    if (!code) {
        logCompileFailure(error, errorOffset);
        return 0;
    }
    pcre2_match_data* match = newMatchData();
    auto freeMatch = onScopeExit([match] { pcre2_match_data_free(match); });
    return matchAll(code.get(), match, nullptr, false, field, length, held, description);
}

// The known patterns of one family (they begin with the same text) over a field, in the order
// given. A pattern is passed over at once when the field lacks what each of its addresses begins
// with: "http://", or for the secure patterns a "//" outside an "http://".
int collectFamily(const char* field, int length, HeldAddresses* held, const CompiledPattern* const* patterns,
                  int count, int description) {
    int holdsHttp = -1;
    int holdsSecure = -1;
    Places places;
    bool placesFound = false;
    pcre2_match_data* match = nullptr;
    auto freeMatch = onScopeExit([&match] {
        if (match) pcre2_match_data_free(match);
    });
    for (int i = 0; i < count; i++) {
        const CompiledPattern* p = patterns[i];
        int& holds = p->secure ? holdsSecure : holdsHttp;
        if (holds < 0) {
            holds = p->secure ? holdsSecureCandidate(field, static_cast<size_t>(length))
                              : containsIgnoreCase(field, static_cast<size_t>(length), "http://");
        }
        if (!holds) continue;
        if (!placesFound) {
            findPlaces(field, length, p->prefix, &places);
            placesFound = true;
        }
        if (places.count == 0) return 1;
        if (!p->code) {
            logCompileFailure(p->error, p->errorOffset);
            return 0;
        }
        if (!match) match = newMatchData();
        if (!matchAll(p->code, match, &places, p->failureCoversTag, field, length, held, description))
            return 0;
    }
    return 1;
}

// Runs the known patterns of the given indexes, in that order, into list; consecutive patterns that
// begin with the same text share the places found for them.
int collectKnown(const char* field, int length, ArrayList* list, const int* indexes, int count,
                 int description) {
    HeldAddresses held;
    holdAddresses(&held, list);
    const CompiledPattern* family[KNOWN_PATTERN_COUNT];
    int n = 0;
    for (int i = 0; i <= count; i++) {
        const CompiledPattern* p = i < count ? &knownPatterns[indexes[i]] : nullptr;
        if (n > 0 && (!p || std::strcmp(p->prefix, family[0]->prefix) != 0)) {
            if (!collectFamily(field, length, &held, family, n, description)) return 0;
            n = 0;
        }
        if (p && n < KNOWN_PATTERN_COUNT) family[n++] = p;
    }
    return 1;
}

int fieldLength(const char* field, int* length) {
    const size_t n = std::strlen(field);
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    *length = static_cast<int>(n);
    return 1;
}

int collectWith(const char* field, ArrayList* list, const char* pattern, int description, int secure) {
    if (!field || !list || !pattern) return 0;
    ensurePatterns();
    int length = 0;
    if (!fieldLength(field, &length)) return 0;
    const int known = findKnownPattern(pattern);
    if (known < 0) {
        HeldAddresses held;
        holdAddresses(&held, list);
        return collectUnknown(field, length, &held, pattern, description);
    }
    int indexes[2] = {known, known + SECURE_OFFSET};
    const int count = known < SECURE_OFFSET && secure ? 2 : 1;
    return collectKnown(field, length, list, indexes, count, description);
}

// With secure mode off: the addresses that the secure counterparts of the patterns would add, in a
// list of their own that *uncollected receives when they find any. A field without a "//" outside
// an "http://" costs one look.
int collectUncollected(const char* field, int length, const int* indexes, int count, int description,
                       ArrayList** uncollected) {
    if (!holdsSecureCandidate(field, static_cast<size_t>(length))) return 1;
    ArrayList* list = arrayListCreate(8, 8);
    const int ok = collectKnown(field, length, list, indexes, count, description);
    if (list->count > 0) {
        *uncollected = list;
    } else {
        arrayListDestroy(list, 1);
    }
    return ok;
}

// The nine description patterns in their order: those of the img family, then the background
// family, each family's places found once. In secure mode their secure counterparts follow in the
// same order, so that a list read in secure mode is the list read with the mode off followed by
// what that read left uncollected; with the mode off the counterparts fill *uncollected instead.
int collectDescription(const char* field, int length, ArrayList* list, bool secure, ArrayList** uncollected) {
    int indexes[2 * DESC_IMAGE_PATTERN_COUNT];
    for (int k = 0; k < DESC_IMAGE_PATTERN_COUNT; k++) {
        indexes[k] = k;
        indexes[k + DESC_IMAGE_PATTERN_COUNT] = k + SECURE_OFFSET;
    }
    if (!collectKnown(field, length, list, indexes,
                      secure ? 2 * DESC_IMAGE_PATTERN_COUNT : DESC_IMAGE_PATTERN_COUNT, 1))
        return 0;
    if (secure) return 1;
    return collectUncollected(field, length, indexes + DESC_IMAGE_PATTERN_COUNT, DESC_IMAGE_PATTERN_COUNT, 1,
                              uncollected);
}

// The mobile pattern, the same way.
int collectMobile(const char* field, int length, ArrayList* list, bool secure, ArrayList** uncollected) {
    const int indexes[2] = {MOBILE_PATTERN_INDEX, MOBILE_PATTERN_INDEX + SECURE_OFFSET};
    if (!collectKnown(field, length, list, indexes, secure ? 2 : 1, 0)) return 0;
    if (secure) return 1;
    return collectUncollected(field, length, indexes + 1, 1, 0, uncollected);
}

// Records why the read failed, for app.log and for lastReadFailure.
int fail(const char* reasonUtf8) {
    failureText = programText(reasonUtf8);
    writeLogFormat("%s%s", programText("读取数据包失败："), failureText);
    return 0;
}

int isHighSurrogate(const unsigned char* unit, bool littleEndian) {
    const unsigned value = littleEndian ? (unit[0] | unit[1] << 8) : (unit[0] << 8 | unit[1]);
    return value >= 0xD800 && value <= 0xDBFF;
}

int encodingFailure() {
    writeLog(programText("csv 文件编码存在问题, 无法正常的解析。"));
    return fail("文件编码存在问题，无法正常解析");
}

// Reads the file and decodes it into one engine string; *length receives its byte length.
//
// The text takes at most 2 bytes per byte of UTF-16: a code unit (2 bytes) becomes 1, 2 or 4
// bytes of GB18030 (at most 2 of GBK), a surrogate pair (4 bytes) becomes 4, the mark nothing.
// The text buffer is reserved at that bound but only touched as far as the text goes. The file
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
    adviseLargeBuffer(out.get(), capacity);
    size_t produced = 0;
    const char* charset = "UTF-16";
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
                converted =
                    convertCharset(charset, engineCharset(), piece.get() + start, static_cast<int>(cut),
                                   out.get() + produced, static_cast<int>(window), &n) >= 0 &&
                    n >= 0 && static_cast<size_t>(n) < window;
            }
            if (!converted) return encodingFailure();
            produced += static_cast<size_t>(n);
            charset = littleEndian ? "UTF-16LE" : "UTF-16BE";
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
    char* fitted = static_cast<char*>(std::realloc(out.get(), produced + 1));
    if (fitted) {
        out.release();
        out.reset(fitted);
    }
    *length = produced;
    *text = std::move(out);
    return 1;
}

constexpr const char* WEBP_SUFFIX = "_.webp";

// Removes every occurrence of pattern from the text in place, as replaceAll with an empty
// replacement would, without a second copy of the package. Returns the new length.
size_t removeAll(char* text, size_t length, const char* pattern) {
    const size_t n = std::strlen(pattern);
    char* hit = std::strstr(text, pattern);
    if (!hit) return length;
    char* out = hit;
    while (hit) {
        char* from = hit + n;
        char* next = std::strstr(from, pattern);
        const size_t keep = static_cast<size_t>((next ? next : text + length) - from);
        std::memmove(out, from, keep);
        out += keep;
        hit = next;
    }
    *out = '\0';
    return static_cast<size_t>(out - text);
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

// nextToken ends a token by writing NUL over the TAB after it; the walk puts the TAB back once it
// is done with the token, so the package text is whole again after the walk, whatever its end.
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
        char* token = nextToken(&cursor, "\t");
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
                int ok =
                    next == columns.description
                        ? collectDescription(cursor, length, *slot, secure, &current->uncollectedDescImages)
                        : collectMobile(cursor, length, *slot, secure, &current->uncollectedMobileImages);
                cursor[length] = saved;
                if (!ok) {
                    windowFatalError(
                        programText(next == columns.description
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

int collectImageRefs(const char* field, ArrayList* list, const char* pattern, int secureMode) {
    return collectWith(field, list, pattern, 1, secureMode);
}

int collectMobileImageRefs(const char* field, ArrayList* list, int secureMode) {
    return collectWith(field, list, MOBILE_IMAGE_PATTERN, 0, secureMode);
}

int readPackage(const char* path, ArrayList* items, char** packageText, int secureMode) {
    failureText = "";
    if (!path || !items || !packageText) return fail("参数无效");
    ensurePatterns();

    Buffer text;
    size_t length = 0;
    if (!loadText(path, &text, &length)) return 0;

    // Taobao Assistant's WebP suffix is removed everywhere, also from the text written back.
    length = removeAll(text.get(), length, WEBP_SUFFIX);

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
    if (!walkRows(data, columns, items, secureMode != 0)) return 0;
    appended.kept = true;
    *packageText = text.release();
    return 1;
}
