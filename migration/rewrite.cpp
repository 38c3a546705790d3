// Replacing every moved image address in the package text by the path of its file, in one pass over
// the text with a hashed index of the addresses.
#include "migration/rewrite.h"

#include "core/allocate.h"
#include "core/deployment.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

// The rewrite makes one pass over the package text. At each place it replaces the longest address
// of the map that stands whole there: one that the end of the text or a byte that cannot continue
// an address follows. An address that is the beginning of another ("x.jpg" of its thumbnail
// "x.jpg_60x60.jpg", of "x.jpg?x=1" or of "x.jpg/...") thus never changes the longer one, whether
// the longer one is in the map too or not, so a later run still finds it whole.
//
// The addresses are held in one hashed table keyed by their bytes. At a place the scan takes the
// lengths that addresses of the map have, keeps those at which the text lets an address end,
// hashes the text up to each and looks them up, longest first. The places are found a few ahead
// of their lookups, so that the memory of the table arrives meanwhile.

namespace {

constexpr const char* ELEMENT_OPEN = "<img>";
constexpr const char* ELEMENT_CLOSE = "</img>";
constexpr size_t ELEMENT_OPEN_LENGTH = 5;
constexpr size_t ELEMENT_CLOSE_LENGTH = 6;

// The bytes that cannot continue an address. Every pattern of the reader stops at one of them: the
// quotes around an attribute's value, a space, "|", ">", ")", the "<" of "</img>"; a field that an
// address runs to the end of is followed by a TAB or a line break.
constexpr bool endsAddress(unsigned char c) {
    return c == '"' || c == '\'' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' ||
           c == '\v' || c == '<' || c == '>' || c == ')' || c == '|' || c == ';' || c == ',';
}

// 1 when the address text[at, end) ends in the quote that closes its field, else 0. The reader
// takes an address that runs to the end of its field together with that quote (inside a field
// every quote is doubled, so the closing one ends an odd run of quotes). Such an address stands
// whole whatever follows the field, and its replacement leaves the quote to the field.
inline size_t closingQuote(const unsigned char* text, size_t at, size_t end) {
    size_t run = 0;
    while (end > at + run && text[end - 1 - run] == '"')
        run++;
    return run % 2;
}

// Whether a protocol-relative address ("//host/...") may begin at text[at]: at the start of the text,
// after a byte that cannot continue an address, or after the "=" or "(" that opens an attribute's
// or a url()'s value; never inside an http:// or https:// address, whose "//" is not an address of
// its own even when a "//" address of the map has the same host and path.
inline bool beginsWhole(const unsigned char* text, size_t at) {
    return at == 0 || endsAddress(text[at - 1]) || text[at - 1] == '=' || text[at - 1] == '(';
}

// Whether the address text[at, end) stands whole.
inline bool standsWhole(const unsigned char* text, size_t n, size_t at, size_t end) {
    return end == n || endsAddress(text[end]) || closingQuote(text, at, end);
}

// One address of the map in the table. Its bytes and path stay where the map holds them. Every
// entry that a lookup accepts is checked against the text byte for byte, so hash collisions cost
// time, never a wrong result.
struct KeyEntry {
    uint64_t hash;
    const unsigned char* bytes; // null: a free slot
    const char* value;          // the file's path; null for a failed download
    uint32_t length;
    uint32_t valueLength;
};

// The hash of a text's first bytes folds in eight bytes at a time; a last, shorter piece and the
// length are folded in at the end.
constexpr size_t WORD = 8;
constexpr uint64_t HASH_SEED = 0x243F6A8885A308D3ULL;

inline uint64_t loadPartial(const unsigned char* p, size_t n) {
    uint64_t value = 0;
    std::memcpy(&value, p, n);
    return value;
}

inline uint64_t hashStep(uint64_t state, uint64_t word) {
    state ^= word;
    state *= 0x9E3779B97F4A7C15ULL;
    return state ^ (state >> 29);
}

// The hash of the first length bytes, from the state after the first hashed (a multiple of WORD).
inline uint64_t hashFinish(uint64_t state, const unsigned char* bytes, size_t hashed, size_t length) {
    if (hashed < length) state = hashStep(state, loadPartial(bytes + hashed, length - hashed));
    uint64_t h = state ^ (static_cast<uint64_t>(length) * 0xC2B2AE3D27D4EB4FULL);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}

// Addresses longer than this leave the hashes of their beginnings at every multiple of it, so
// that a lookup stops once the text has left every long address behind.
constexpr size_t PREFIX_STRIDE = 256;

struct KeyIndex {
    std::vector<KeyEntry> table;
    size_t mask = 0;
    std::vector<size_t> lengths;        // of the addresses, each once, shortest first
    std::vector<uint64_t> longPrefixes; // sorted
    unsigned char firstByte[256] = {0};
    size_t failedCount = 0;
    bool mayGrow = false; // some replacement is longer than its address
    RewriteOptions options;
};

// Asks for memory that is needed shortly, so that the waits for it overlap.
inline void prefetch(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// Files the addresses of the map; false when it holds none.
bool buildIndex(KeyIndex& index, const HashMap* map, bool blankFailedImages) {
    const size_t blankLength = std::strlen(BLANK_IMAGE_URL);
    std::vector<KeyEntry> keys;
    keys.reserve(static_cast<size_t>(map->count));
    for (int32_t b = 0; b < map->capacity; b++) {
        for (const HashMapEntry* e = map->buckets[b]; e; e = e->next) {
            const char* address = static_cast<const char*>(e->key);
            const char* value = static_cast<const char*>(e->value);
            if (!address) continue;
            bool failed = !value || !value[0];
            if (failed) index.failedCount++;
            size_t length = std::strlen(address);
            size_t valueLength = failed ? 0 : std::strlen(value);
            if (length == 0) continue;
            // Four gigabytes of text cannot be held; such an address is never found.
            if (length > UINT32_MAX || valueLength > UINT32_MAX) continue;
            KeyEntry key{0, reinterpret_cast<const unsigned char*>(address), failed ? nullptr : value,
                         static_cast<uint32_t>(length), static_cast<uint32_t>(valueLength)};
            size_t quote = closingQuote(key.bytes, 0, length);
            if (valueLength + quote > length || (failed && blankFailedImages && blankLength + quote > length))
                index.mayGrow = true;
            keys.push_back(key);
        }
    }
    if (keys.empty()) return false;

    size_t capacity = 16;
    while (capacity < 2 * keys.size())
        capacity *= 2;
    index.table.assign(capacity, KeyEntry{0, nullptr, nullptr, 0, 0});
    index.mask = capacity - 1;

    for (KeyEntry& key : keys) {
        uint64_t state = HASH_SEED;
        size_t hashed = 0;
        for (; hashed + WORD <= key.length; hashed += WORD) {
            if (hashed > 0 && hashed % PREFIX_STRIDE == 0)
                index.longPrefixes.push_back(hashFinish(state, key.bytes, hashed, hashed));
            state = hashStep(state, loadPartial(key.bytes + hashed, WORD));
        }
        key.hash = hashFinish(state, key.bytes, hashed, key.length);
        size_t slot = static_cast<size_t>(key.hash) & index.mask;
        while (index.table[slot].bytes)
            slot = (slot + 1) & index.mask;
        index.table[slot] = key;

        index.lengths.push_back(key.length);
        index.firstByte[key.bytes[0]] = 1;
    }
    std::sort(index.lengths.begin(), index.lengths.end());
    index.lengths.erase(std::unique(index.lengths.begin(), index.lengths.end()), index.lengths.end());
    std::sort(index.longPrefixes.begin(), index.longPrefixes.end());
    return true;
}

// The address equal to text[0, length) whose hash is given, or null.
const KeyEntry* findKey(const KeyIndex& index, uint64_t hash, const unsigned char* text, size_t length) {
    for (size_t slot = static_cast<size_t>(hash) & index.mask;; slot = (slot + 1) & index.mask) {
        const KeyEntry& entry = index.table[slot];
        if (!entry.bytes) return nullptr;
        if (entry.hash == hash && entry.length == length && std::memcmp(entry.bytes, text, length) == 0)
            return &entry;
    }
}

// A length at which an address may end at the place being looked at, with the hash of the text
// up to there.
struct EndCandidate {
    size_t length;
    uint64_t hash;
};

// Finds the lengths at which an address of the map may begin at text[at] and stand whole there,
// shortest first, with the hash of the text up to each, into ends (room for as many as the index
// has lengths); returns their number. The memory that looking them up needs is asked for at once.
size_t findEnds(const KeyIndex& index, const unsigned char* text, size_t n, size_t at, EndCandidate* ends) {
    const size_t available = n - at;
    if (available < index.lengths.front()) return 0;
    if (index.options.firstByteFilter && !index.firstByte[text[at]]) return 0;
    const unsigned char* p = text + at;
    size_t count = 0;
    uint64_t state = HASH_SEED;
    size_t hashed = 0; // the bytes folded into state
    for (size_t length : index.lengths) {
        if (length > available) break;
        if (!standsWhole(text, n, at, at + length)) continue;
        for (; hashed + WORD <= length; hashed += WORD) {
            // No longer address begins with the text up to here: the lookup is done.
            if (hashed > 0 && hashed % PREFIX_STRIDE == 0 &&
                !std::binary_search(index.longPrefixes.begin(), index.longPrefixes.end(),
                                    hashFinish(state, p, hashed, hashed)))
                return count;
            state = hashStep(state, loadPartial(p + hashed, WORD));
        }
        uint64_t hash = hashFinish(state, p, hashed, length);
        if (index.options.lookahead) {
            prefetch(&index.table[static_cast<size_t>(hash) & index.mask]);
        }
        ends[count++] = EndCandidate{length, hash};
    }
    return count;
}

// The longest address of the map among the count ends found at p, or null.
const KeyEntry* longestKey(const KeyIndex& index, const unsigned char* p, const EndCandidate* ends,
                           size_t count) {
    while (count > 0) {
        count--;
        if (const KeyEntry* key = findKey(index, ends[count].hash, p, ends[count].length)) return key;
    }
    return nullptr;
}

// Finds the next place where an address (or a mobile image element) may begin. Where few bytes
// can begin one, each is looked for with memchr and its next place remembered.
constexpr int MAX_SEARCHED_BYTES = 4;

struct PlaceFinder {
    const unsigned char* text;
    size_t n;
    unsigned char table[256];
    int count; // above MAX_SEARCHED_BYTES: only the table is used
    unsigned char bytes[MAX_SEARCHED_BYTES];
    size_t next[MAX_SEARCHED_BYTES];
};

size_t findByte(const PlaceFinder& finder, unsigned char byte, size_t from) {
    const void* hit = std::memchr(finder.text + from, byte, finder.n - from);
    return hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - finder.text) : finder.n;
}

void startFinder(PlaceFinder& finder, const unsigned char* text, size_t n, const unsigned char* table) {
    finder.text = text;
    finder.n = n;
    std::memcpy(finder.table, table, sizeof finder.table);
    finder.count = 0;
    for (int b = 0; b < 256; b++) {
        if (!finder.table[b]) continue;
        if (finder.count < MAX_SEARCHED_BYTES) {
            finder.bytes[finder.count] = static_cast<unsigned char>(b);
            finder.next[finder.count] = findByte(finder, static_cast<unsigned char>(b), 0);
        }
        finder.count++;
    }
}

// The first place at or after from, or n.
size_t nextPlace(PlaceFinder& finder, size_t from) {
    if (from >= finder.n) return finder.n;
    if (finder.count > MAX_SEARCHED_BYTES) {
        while (from < finder.n && !finder.table[finder.text[from]])
            from++;
        return from;
    }
    size_t place = finder.n;
    for (int i = 0; i < finder.count; i++) {
        if (finder.next[i] < from) finder.next[i] = findByte(finder, finder.bytes[i], from);
        place = std::min(place, finder.next[i]);
    }
    return place;
}

// A place of the text whose lookup is under way.
constexpr size_t LOOKAHEAD = 8;

struct Pending {
    size_t at;
    bool element; // a mobile image element begins here
    EndCandidate* ends;
    size_t count;
};

// One place of the text to change: [at, end) becomes with.
struct Change {
    size_t at;
    size_t end;
    const char* with;
    size_t withLength;
};

// Where the changes go. When no replacement is longer than its address they are made in the text
// itself as the scan finds them (the bytes written never pass the bytes still to be read), so that
// a package of a hundred megabytes is never held twice; otherwise they are collected and the text
// is copied with them once the scan is done.
struct Rewriter {
    char* text;
    bool inPlace;
    size_t in = 0;  // the text before in is settled
    size_t out = 0; // and its rewritten form ends at out
    std::vector<Change> changes;
};

void change(Rewriter& rewriter, size_t at, size_t end, const char* with, size_t withLength) {
    if (!rewriter.inPlace) {
        rewriter.changes.push_back(Change{at, end, with, withLength});
        return;
    }
    if (rewriter.out != rewriter.in)
        std::memmove(rewriter.text + rewriter.out, rewriter.text + rewriter.in, at - rewriter.in);
    rewriter.out += at - rewriter.in;
    std::memcpy(rewriter.text + rewriter.out, with, withLength);
    rewriter.out += withLength;
    rewriter.in = end;
}

// The heap text of length n with the collected changes (in text order, not overlapping) made, in
// a new buffer.
char* applyChanges(const char* text, size_t n, const std::vector<Change>& changes) {
    size_t total = n;
    for (const Change& c : changes)
        total = total - (c.end - c.at) + c.withLength;
    char* copy = static_cast<char*>(allocateBytes(total + 1));
    size_t out = 0;
    size_t in = 0;
    for (const Change& c : changes) {
        std::memcpy(copy + out, text + in, c.at - in);
        out += c.at - in;
        std::memcpy(copy + out, c.with, c.withLength);
        out += c.withLength;
        in = c.end;
    }
    std::memcpy(copy + out, text + in, n - in);
    copy[total] = '\0';
    return copy;
}

int rewriteText(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress,
                void* progressContext, int* lastPercent, const RewriteOptions& options) {
    KeyIndex index;
    index.options = options;
    bool anyKey = buildIndex(index, imageFiles, blankFailedImages != 0);
    int packageChanged = blankFailedImages && index.failedCount > 0 ? 1 : 0;
    if (!anyKey) return packageChanged;

    const unsigned char* source = reinterpret_cast<const unsigned char*>(*text);
    const size_t n = std::strlen(*text);
    const bool removeElements = blankFailedImages && index.failedCount > 0;
    const size_t blankLength = std::strlen(BLANK_IMAGE_URL);

    unsigned char startBytes[256];
    std::memcpy(startBytes, index.firstByte, sizeof startBytes);
    if (removeElements) startBytes[static_cast<unsigned char>('<')] = 1;
    if (!options.firstByteFilter) std::memset(startBytes, 1, sizeof startBytes);
    PlaceFinder finder;
    startFinder(finder, source, n, startBytes);

    Rewriter rewriter;
    rewriter.text = *text;
    rewriter.inPlace = !index.mayGrow;
    size_t nextReport = (n + 99) / 100;
    bool changed = false;

    // The places are found a few ahead of their lookups, so that the memory of the lookups arrives
    // meanwhile. A place inside an address that was replaced is passed over.
    const size_t lookahead = options.lookahead ? LOOKAHEAD : 1;
    std::vector<Pending> pending(lookahead);
    std::vector<EndCandidate> ends(lookahead * index.lengths.size());
    std::vector<EndCandidate> elementEnds(index.lengths.size());
    size_t head = 0;
    size_t tail = 0;
    size_t scan = 0;    // where the search for further places goes on
    size_t settled = 0; // no address starts before settled
    for (;;) {
        while (tail - head < lookahead && scan < n) {
            size_t at = nextPlace(finder, scan);
            if (at >= n) break;
            scan = at + 1;
            if (source[at] == '/' && !beginsWhole(source, at)) continue;
            Pending& next = pending[tail % lookahead];
            next.at = at;
            next.element = removeElements && source[at] == '<' &&
                           n - at > ELEMENT_OPEN_LENGTH + ELEMENT_CLOSE_LENGTH &&
                           std::memcmp(source + at, ELEMENT_OPEN, ELEMENT_OPEN_LENGTH) == 0;
            next.ends = &ends[(tail % lookahead) * index.lengths.size()];
            next.count = findEnds(index, source, n, at, next.ends);
            if (next.count > 0 || next.element) tail++;
        }
        if (head == tail) break;
        const Pending place = pending[head % lookahead];
        head++;
        const size_t at = place.at;
        if (at >= nextReport) {
            int percent = static_cast<int>((at * 100) / n);
            if (percent > *lastPercent && percent < 100) {
                *lastPercent = percent;
                if (progress) progress(progressContext, percent);
            }
            nextReport = (n * static_cast<size_t>(*lastPercent + 1) + 99) / 100;
        }
        if (at < settled) continue;

        if (place.element) {
            size_t lookAt = at + ELEMENT_OPEN_LENGTH;
            const KeyEntry* inner = longestKey(index, source + lookAt, elementEnds.data(),
                                               findEnds(index, source, n, lookAt, elementEnds.data()));
            if (inner && !inner->value) {
                size_t end = lookAt + inner->length;
                if (n - end >= ELEMENT_CLOSE_LENGTH &&
                    std::memcmp(source + end, ELEMENT_CLOSE, ELEMENT_CLOSE_LENGTH) == 0) {
                    // A failed image leaves the mobile details altogether.
                    change(rewriter, at, end + ELEMENT_CLOSE_LENGTH, "", 0);
                    changed = true;
                    settled = end + ELEMENT_CLOSE_LENGTH;
                    continue;
                }
            }
        }

        const KeyEntry* key = longestKey(index, source + at, place.ends, place.count);
        if (!key) continue;
        const size_t replaced = key->length - closingQuote(source, at, at + key->length);
        if (key->value) {
            change(rewriter, at, at + replaced, key->value, key->valueLength);
            changed = true;
            packageChanged = 1;
        } else if (blankFailedImages) {
            change(rewriter, at, at + replaced, BLANK_IMAGE_URL, blankLength);
            changed = true;
        }
        // A failed address stays whole for a later run; nothing inside it is replaced.
        settled = at + key->length;
    }

    if (!changed) return packageChanged;
    if (rewriter.inPlace) {
        if (rewriter.out != rewriter.in)
            std::memmove(*text + rewriter.out, *text + rewriter.in, n - rewriter.in);
        (*text)[rewriter.out + (n - rewriter.in)] = '\0';
        return packageChanged;
    }
    char* rewritten = applyChanges(*text, n, rewriter.changes);
    std::free(*text);
    *text = rewritten;
    return packageChanged;
}

} // namespace

int rewritePackageText(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress,
                       void* progressContext) {
    return rewritePackageTextWith(imageFiles, text, blankFailedImages, progress, progressContext,
                                  RewriteOptions());
}

int rewritePackageTextWith(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress,
                           void* progressContext, const RewriteOptions& options) {
    if (!imageFiles || imageFiles->count == 0 || !text || !*text) return 0;
    int lastPercent = 0;
    int packageChanged =
        rewriteText(imageFiles, text, blankFailedImages, progress, progressContext, &lastPercent, options);
    if (progress && lastPercent < 100) progress(progressContext, 100);
    return packageChanged;
}
