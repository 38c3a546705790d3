// Finding the image addresses of one field: the reader's patterns compiled once, the places where
// each pattern's literal beginning stands, the matches there, and the addresses each list holds.
#include "package/addresses.h"

#include "core/allocate.h"
#include "core/applog.h"
#include "core/deployment.h"
#include "core/scope.h"

#include <pcre2.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

using Buffer = HeapPointer<char>;

struct PcreDeleter {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};

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
//
// An src pattern is "<img [^>]*" and then a tail that begins with "src". PCRE takes the run to the
// tag's end and gives it back byte by byte, trying the tail at each "src" it passes, from the last
// one backwards; the first place where the tail matches gives the match. The reader does the same
// with the tail compiled alone: it finds the tag's "src" places with memchr and tries the tail at
// them, last first, instead of letting PCRE step over every byte of the tag twice.
//
// An src pattern needs, within the tag, an '=' that spaces alone separate from the byte that opens
// its value: the quote of a quoted value, the first byte of an unquoted address. None of those
// bytes is a '>', so they all stand before the tag's end. A tag without such an '=' is passed over
// without asking PCRE, which would run to the tag's end and back over all of it to fail.
struct CompiledPattern {
    const char* source;
    const char* compiled; // what PCRE compiles: the source, or a form that matches the same
    const char* prefix;
    bool failureCoversTag;
    unsigned valueOpeners; // for an src pattern, the VALUE_* bytes that may open its value; else 0
    pcre2_code* tail;      // for an src pattern, its part from "src" on; else null
    bool secure;           // captures only https:// and protocol-relative addresses
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

// The bytes that may open an src pattern's value, as bits: a quote, an apostrophe, the h of http://
// or https:// (either case), the first '/' of a protocol-relative address.
constexpr unsigned VALUE_QUOTE = 1;
constexpr unsigned VALUE_APOSTROPHE = 2;
constexpr unsigned VALUE_LETTER_H = 4;
constexpr unsigned VALUE_SLASH = 8;

// What an src pattern begins with: the tag's name and the run over the rest of the tag.
constexpr const char* SRC_TAG_RUN = "<img [^>]*";

constexpr bool sameText(const char* a, const char* b) {
    return *a == *b && (*a == '\0' || sameText(a + 1, b + 1));
}
static_assert(sameText(DESC_IMAGE_PATTERNS[2], "<img [^>]*[ ]*src[ ]*=[ ]*(http://[^ |>]*)"),
              "the unquoted src pattern is compiled in a form of its own");
static_assert(sameText(SECURE_DESC_IMAGE_PATTERNS[2],
                       "<img [^>]*[ ]*src[ ]*=[ ]*((?:https://|//[a-z0-9])[^ |>]*)"),
              "the secure unquoted src pattern is compiled in a form of its own");

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
        p->valueOpeners = k == 0   ? VALUE_QUOTE
                          : k == 1 ? VALUE_APOSTROPHE
                          : k == 2 ? (p->secure ? VALUE_LETTER_H | VALUE_SLASH : VALUE_LETTER_H)
                                   : 0;
        p->compiled = k == 2 ? (p->secure ? SECURE_UNQUOTED_SRC_PATTERN : UNQUOTED_SRC_PATTERN) : p->source;
        p->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p->compiled), PCRE2_ZERO_TERMINATED,
                                PCRE2_CASELESS | PCRE2_ANCHORED | PCRE2_NO_START_OPTIMIZE, &p->error,
                                &p->errorOffset, nullptr);
        // Without a JIT the pattern is matched by the interpreter, with the same results.
        if (p->code) pcre2_jit_compile(p->code, PCRE2_JIT_COMPLETE);
        p->tail = nullptr;
        if (k < 3 && std::strncmp(p->compiled, SRC_TAG_RUN, std::strlen(SRC_TAG_RUN)) == 0) {
            int error = 0;
            PCRE2_SIZE offset = 0;
            p->tail = pcre2_compile(
                reinterpret_cast<PCRE2_SPTR>(p->compiled + std::strlen(SRC_TAG_RUN)), PCRE2_ZERO_TERMINATED,
                PCRE2_CASELESS | PCRE2_ANCHORED | PCRE2_NO_START_OPTIMIZE, &error, &offset, nullptr);
            // A tail that does not compile leaves the whole pattern to PCRE.
            if (p->tail) pcre2_jit_compile(p->tail, PCRE2_JIT_COMPLETE);
        }
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

// The places in a field where a family's literal beginning stands, in order. For a family of
// tags, each place's tag end and value openers are found once, by the first pattern that asks,
// and shared by the rest.
struct Places {
    int* at = nullptr;
    int* tagEnd = nullptr;       // -1 until found
    unsigned* openers = nullptr; // VALUE_* bits, OPENERS_UNKNOWN until found
    int count = 0;
    int capacity = 0;
    ~Places() {
        std::free(at);
        std::free(tagEnd);
        std::free(openers);
    }
};

constexpr unsigned OPENERS_UNKNOWN = 0x100;

void findPlaces(const char* field, int length, const char* prefix, Places* places) {
    places->count = 0;
    CaselessSearch search;
    startCaselessSearch(&search, field, static_cast<size_t>(length), prefix);
    while (const char* place = nextCaselessPlace(&search)) {
        if (places->count == places->capacity) {
            const int grown = places->capacity ? places->capacity * 2 : 32;
            const size_t n = static_cast<size_t>(grown);
            places->at = static_cast<int*>(reallocateBytes(places->at, sizeof(int) * n));
            places->tagEnd = static_cast<int*>(reallocateBytes(places->tagEnd, sizeof(int) * n));
            places->openers = static_cast<unsigned*>(reallocateBytes(places->openers, sizeof(unsigned) * n));
            places->capacity = grown;
        }
        places->tagEnd[places->count] = -1;
        places->openers[places->count] = OPENERS_UNKNOWN;
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
// The count from which a list is searched through its index.
constexpr int32_t INDEXED_LIST_COUNT = 32;

struct HeldAddresses {
    ArrayList* list = nullptr;
    HashMap* index = nullptr;
    // The lengths of the short list's first `measured` addresses, so that only an address of the
    // same length is compared byte for byte.
    size_t lengths[INDEXED_LIST_COUNT];
    int32_t measured = 0;
    ~HeldAddresses() { hashMapDestroy(index, 0, 0); }
};

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
    held->measured = 0;
}

void indexAddresses(HeldAddresses* held) {
    ArrayList* list = held->list;
    held->index = hashMapCreate(addressHash, addressEquals, 4 * INDEXED_LIST_COUNT, 0.75f);
    for (int32_t i = 0; i < list->count; i++) {
        if (list->items[i]) hashMapPut(held->index, list->items[i], list->items[i]);
    }
}

// 1 when a short list, searched directly, holds the n bytes at found.
int shortListHolds(HeldAddresses* held, const char* found, size_t n) {
    const ArrayList* list = held->list;
    for (int32_t i = 0; i < list->count && i < INDEXED_LIST_COUNT; i++) {
        const char* item = static_cast<const char*>(list->items[i]);
        if (i == held->measured) held->lengths[held->measured++] = item ? std::strlen(item) : SIZE_MAX;
        if (held->lengths[i] == n && std::memcmp(item, found, n) == 0) return 1;
    }
    return 0;
}

// Adds a copy of the n bytes at found unless the list holds it already or (for the description)
// it is an address that is never collected.
void addAddress(HeldAddresses* held, const char* found, size_t n, int description) {
    if (!held->index && held->list->count >= INDEXED_LIST_COUNT) indexAddresses(held);
    if (!held->index && shortListHolds(held, found, n)) return;
    Buffer address(static_cast<char*>(allocateBytes(n + 1)));
    std::memcpy(address.get(), found, n);
    address.get()[n] = '\0';
    if (held->index && hashMapGet(held->index, address.get())) return;
    if (description && isExcludedAddress(address.get())) return;
    if (held->index) hashMapPut(held->index, address.get(), address.get());
    arrayListAdd(held->list, address.release());
}

// The VALUE_* bytes that text[0, n) holds right after an '=' and spaces.
unsigned valueOpeners(const char* text, size_t n) {
    const char* end = text + n;
    unsigned found = 0;
    for (const char* p = text; p < end;) {
        const char* sign = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
        if (!sign) break;
        p = sign + 1;
        while (p < end && *p == ' ')
            p++;
        if (p == end) break;
        found |= *p == '"'                  ? VALUE_QUOTE
                 : *p == '\''               ? VALUE_APOSTROPHE
                 : (*p == 'h' || *p == 'H') ? VALUE_LETTER_H
                 : *p == '/'                ? VALUE_SLASH
                                            : 0;
    }
    return found;
}

// An src pattern at the place at, whose tag ends at tagEnd: its tail tried at each "src" of the
// tag, the last first (srcPlaces is room for them). The match's end and address are those of the
// tail; returns what pcre2_match returns.
int matchFromLastSrc(const CompiledPattern* p, pcre2_match_data* match, Places* srcPlaces, const char* field,
                     int length, int at, int tagEnd) {
    const int from = at + static_cast<int>(std::strlen(p->prefix));
    if (tagEnd <= from) return PCRE2_ERROR_NOMATCH;
    findPlaces(field + from, tagEnd - from, "src", srcPlaces);
    for (int c = srcPlaces->count - 1; c >= 0; c--) {
        const int rc =
            pcre2_match(p->tail, reinterpret_cast<PCRE2_SPTR>(field), static_cast<PCRE2_SIZE>(length),
                        static_cast<PCRE2_SIZE>(from + srcPlaces->at[c]), 0, match, nullptr);
        if (rc != PCRE2_ERROR_NOMATCH) return rc;
    }
    return PCRE2_ERROR_NOMATCH;
}

// Runs one compiled pattern over the field from its start and adds each new address to list:
// the leftmost match, then the next one from the end of the last. With places the pattern (known)
// is anchored and is tried at those places only; when its failure covers the tag, a failure at a
// place passes over every place before the next '>', and an src pattern fails at once at a tag
// that holds no '=' before one of its value openers.
int matchAll(const pcre2_code* code, const CompiledPattern* known, pcre2_match_data* match, Places* places,
             const char* field, int length, HeldAddresses* held, int description) {
    const bool skipTag = known && known->failureCoversTag;
    const unsigned openers = known ? known->valueOpeners : 0;
    Places srcPlaces;
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
        int tagEnd = -1;
        if (skipTag) {
            tagEnd = places->tagEnd[next];
            if (tagEnd < 0) {
                const void* close = std::memchr(field + at, '>', static_cast<size_t>(length - at));
                tagEnd = close ? static_cast<int>(static_cast<const char*>(close) - field) : length;
                places->tagEnd[next] = tagEnd;
            }
        }
        if (openers && places->openers[next] == OPENERS_UNKNOWN)
            places->openers[next] = valueOpeners(field + at, static_cast<size_t>(tagEnd - at));
        int rc;
        if (openers && !(places->openers[next] & openers)) {
            rc = PCRE2_ERROR_NOMATCH;
        } else if (places && known->tail) {
            rc = matchFromLastSrc(known, match, &srcPlaces, field, length, at, tagEnd);
        } else {
            rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(field), static_cast<PCRE2_SIZE>(length),
                             static_cast<PCRE2_SIZE>(at), 0, match, nullptr);
        }
        if (rc == PCRE2_ERROR_NOMATCH) {
            if (!places) return 1;
            start = skipTag ? tagEnd : at + 1;
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
    return matchAll(code.get(), nullptr, match, nullptr, field, length, held, description);
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
        if (!matchAll(p->code, p, match, &places, field, length, held, description)) return 0;
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

} // namespace

void prepareAddressPatterns() {
    ensurePatterns();
}

// The nine description patterns in their order: those of the img family, then the background
// family, each family's places found once. In secure mode their secure counterparts follow in the
// same order, so that a list read in secure mode is the list read with the mode off followed by
// what that read left uncollected; with the mode off the counterparts fill *uncollected instead.
int collectDescriptionAddresses(const char* field, int length, ArrayList* list, bool secure,
                                ArrayList** uncollected) {
    ensurePatterns();
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
int collectMobileAddresses(const char* field, int length, ArrayList* list, bool secure,
                           ArrayList** uncollected) {
    ensurePatterns();
    const int indexes[2] = {MOBILE_PATTERN_INDEX, MOBILE_PATTERN_INDEX + SECURE_OFFSET};
    if (!collectKnown(field, length, list, indexes, secure ? 2 : 1, 0)) return 0;
    if (secure) return 1;
    return collectUncollected(field, length, indexes + 1, 1, 0, uncollected);
}

int collectImageRefs(const char* field, ArrayList* list, const char* pattern, int secureMode) {
    return collectWith(field, list, pattern, 1, secureMode);
}

int collectMobileImageRefs(const char* field, ArrayList* list, int secureMode) {
    return collectWith(field, list, MOBILE_IMAGE_PATTERN, 0, secureMode);
}
