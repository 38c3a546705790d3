#include "migration/rewrite.h"

#include "core/applog.h"
#include "core/deployment.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

// The rewrite makes one pass over the package text. At every place where an address of the map
// starts, the longest such address is replaced, so that an address which is the beginning of
// another (a thumbnail "..._60x60.jpg" after its original) never corrupts the longer one.
//
// The addresses are held in a hashed trie: a table of prefixes at every multiple of STRIDE bytes
// (the nodes) and of the whole addresses, keyed by length and a hash of the prefix. Each node
// knows which address lengths end within its next STRIDE bytes, so finding the longest address
// at a place costs one probe per STRIDE bytes of the deepest shared prefix and a few exact
// probes, whatever the number of addresses.

namespace {

constexpr size_t STRIDE = 16;
constexpr const char* ELEMENT_OPEN = "<img>";
constexpr const char* ELEMENT_CLOSE = "</img>";
constexpr size_t ELEMENT_OPEN_LENGTH = 5;
constexpr size_t ELEMENT_CLOSE_LENGTH = 6;

struct RewriteKey {
    const unsigned char* bytes;
    size_t length;
    const char* value; // the file's path; null for a failed download
    size_t valueLength;
    int32_t nextSameEntry; // further keys whose length and hash are the same, -1 at the end
};

struct PrefixEntry {
    uint64_t hash;
    uint32_t length;      // 0 marks a free slot
    int32_t key;          // the first key equal to this prefix, -1 when none
    uint32_t endMask;     // bit j: a key of length length + j continues this prefix
    uint8_t isNode;       // the prefix of some key at a multiple of STRIDE
    uint8_t shorterKeys;  // some key shorter than this prefix is a beginning of it
};

inline uint64_t load64(const unsigned char* p) {
    uint64_t value;
    std::memcpy(&value, p, 8);
    return value;
}

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

inline uint64_t hashFinish(uint64_t state, size_t length) {
    uint64_t h = state ^ (static_cast<uint64_t>(length) * 0xC2B2AE3D27D4EB4FULL);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}

constexpr uint64_t HASH_SEED = 0x243F6A8885A308D3ULL;

// The state after the node prefix [0, base), extended by the stride's two words.
inline uint64_t nodeStep(uint64_t state, const unsigned char* at) {
    return hashStep(hashStep(state, load64(at)), load64(at + 8));
}

// The hash of the prefix of length base + extra (extra below STRIDE), from the state at base.
inline uint64_t prefixHash(uint64_t state, const unsigned char* at, size_t base, size_t extra) {
    size_t rest = extra;
    if (rest >= 8) {
        state = hashStep(state, load64(at));
        at += 8;
        rest -= 8;
    }
    if (rest > 0) state = hashStep(state, loadPartial(at, rest));
    return hashFinish(state, base + extra);
}

struct KeyIndex {
    std::vector<RewriteKey> keys;
    std::vector<PrefixEntry> table;
    size_t mask = 0;
    size_t used = 0;
    uint32_t rootMask = 0; // keys shorter than STRIDE
    size_t maxLength = 0;
    unsigned char keyStart[256] = {0};
    // Quick refusal of places whose first four bytes begin no key.
    std::vector<uint64_t> quadFilter;
    bool useQuadFilter = true;
    std::vector<uint64_t> levelState;
    std::vector<const PrefixEntry*> levelEntry;
};

inline size_t quadSlot(const unsigned char* p) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    return static_cast<size_t>((static_cast<uint64_t>(word) * 0x9E3779B97F4A7C15ULL) >> 48);
}

const PrefixEntry* findEntry(const KeyIndex& index, uint64_t hash, size_t length) {
    size_t slot = static_cast<size_t>(hash) & index.mask;
    for (;;) {
        const PrefixEntry& entry = index.table[slot];
        if (entry.length == 0) return nullptr;
        if (entry.hash == hash && entry.length == length) return &entry;
        slot = (slot + 1) & index.mask;
    }
}

void growTable(KeyIndex& index) {
    std::vector<PrefixEntry> old;
    old.swap(index.table);
    size_t capacity = old.empty() ? 1024 : old.size() * 2;
    index.table.assign(capacity, PrefixEntry{0, 0, -1, 0, 0, 0});
    index.mask = capacity - 1;
    for (const PrefixEntry& entry : old) {
        if (entry.length == 0) continue;
        size_t slot = static_cast<size_t>(entry.hash) & index.mask;
        while (index.table[slot].length != 0) slot = (slot + 1) & index.mask;
        index.table[slot] = entry;
    }
}

// The entry of a prefix, made when missing. The table never grows here (insertKey makes room
// first), so entries found earlier stay where they are.
PrefixEntry* entryFor(KeyIndex& index, uint64_t hash, size_t length) {
    size_t slot = static_cast<size_t>(hash) & index.mask;
    for (;;) {
        PrefixEntry& entry = index.table[slot];
        if (entry.length == 0) {
            entry.hash = hash;
            entry.length = static_cast<uint32_t>(length);
            index.used++;
            return &entry;
        }
        if (entry.hash == hash && entry.length == length) return &entry;
        slot = (slot + 1) & index.mask;
    }
}

// The key equal to text[0, length) among those filed under the entry, or -1.
int32_t verifiedKey(const KeyIndex& index, const PrefixEntry* entry, const unsigned char* text, size_t length) {
    if (!entry) return -1;
    for (int32_t k = entry->key; k >= 0; k = index.keys[static_cast<size_t>(k)].nextSameEntry) {
        const RewriteKey& key = index.keys[static_cast<size_t>(k)];
        if (key.length == length && std::memcmp(key.bytes, text, length) == 0) return k;
    }
    return -1;
}

// Whether a key ends within [base, base + STRIDE) below the bound and begins text; the lengths
// are those in endMask, tried from base + 1 on (base itself is the caller's to test).
bool keyEndsWithin(const KeyIndex& index, uint64_t state, const unsigned char* text, size_t base, uint32_t endMask,
                   size_t bound) {
    for (size_t j = 1; j < STRIDE && base + j < bound; j++) {
        if (!(endMask & (1u << j))) continue;
        const PrefixEntry* entry = findEntry(index, prefixHash(state, text + base, base, j), base + j);
        if (verifiedKey(index, entry, text, base + j) >= 0) return true;
    }
    return false;
}

void insertKey(KeyIndex& index, int32_t k) {
    RewriteKey& key = index.keys[static_cast<size_t>(k)];
    const unsigned char* bytes = key.bytes;
    size_t length = key.length;
    // Room for every entry this key may add, at most half the table in use.
    while ((index.used + length / STRIDE + 2) * 2 > index.table.size()) growTable(index);
    uint64_t state = HASH_SEED;
    PrefixEntry* parent = nullptr;
    size_t base = 0;
    while (base + STRIDE <= length) {
        uint64_t parentState = state;
        state = nodeStep(state, bytes + base);
        PrefixEntry* node = entryFor(index, hashFinish(state, base + STRIDE), base + STRIDE);
        if (!node->isNode) {
            // Keys go in by increasing length, so every key shorter than this prefix is in place.
            bool shorter = parent && (parent->shorterKeys || verifiedKey(index, parent, bytes, base) >= 0);
            uint32_t parentMask = parent ? parent->endMask : index.rootMask;
            if (!shorter) shorter = keyEndsWithin(index, parentState, bytes, base, parentMask, base + STRIDE);
            node->isNode = 1;
            node->shorterKeys = shorter ? 1 : 0;
        }
        parent = node;
        base += STRIDE;
    }
    size_t extra = length - base;
    PrefixEntry* own = nullptr;
    if (extra == 0) {
        own = parent;
    } else {
        own = entryFor(index, prefixHash(state, bytes + base, base, extra), length);
    }
    if (parent) {
        parent->endMask |= 1u << extra;
    } else {
        index.rootMask |= 1u << extra;
    }
    key.nextSameEntry = own->key;
    own->key = k;
}

// Files every key of the map; failedCount counts the failed downloads among them.
bool buildIndex(KeyIndex& index, const HashMap* map, size_t* failedCount) {
    *failedCount = 0;
    index.keys.reserve(static_cast<size_t>(map->count));
    for (int32_t b = 0; b < map->capacity; b++) {
        for (const HashMapEntry* e = map->buckets[b]; e; e = e->next) {
            const char* value = static_cast<const char*>(e->value);
            const char* address = static_cast<const char*>(e->key);
            if (!address) continue;
            bool failed = !value || !value[0];
            if (failed) (*failedCount)++;
            size_t length = std::strlen(address);
            if (length == 0) continue;
            RewriteKey key;
            key.bytes = reinterpret_cast<const unsigned char*>(address);
            key.length = length;
            key.value = failed ? nullptr : value;
            key.valueLength = failed ? 0 : std::strlen(value);
            key.nextSameEntry = -1;
            index.keys.push_back(key);
        }
    }
    if (index.keys.empty()) return false;

    // Shorter keys first (a counting sort by length).
    for (const RewriteKey& key : index.keys) {
        if (key.length > index.maxLength) index.maxLength = key.length;
    }
    std::vector<int32_t> byLength(index.maxLength + 2, 0);
    for (const RewriteKey& key : index.keys) byLength[key.length + 1]++;
    for (size_t i = 1; i < byLength.size(); i++) byLength[i] += byLength[i - 1];
    std::vector<int32_t> order(index.keys.size());
    for (size_t k = 0; k < index.keys.size(); k++) {
        order[static_cast<size_t>(byLength[index.keys[k].length]++)] = static_cast<int32_t>(k);
    }

    growTable(index);
    index.quadFilter.assign(65536 / 64, 0);
    for (int32_t k : order) {
        const RewriteKey& key = index.keys[static_cast<size_t>(k)];
        index.keyStart[key.bytes[0]] = 1;
        if (key.length < 4) {
            index.useQuadFilter = false;
        } else {
            size_t slot = quadSlot(key.bytes);
            index.quadFilter[slot / 64] |= 1ULL << (slot % 64);
        }
        insertKey(index, k);
    }
    index.levelState.assign(index.maxLength / STRIDE + 2, 0);
    index.levelEntry.assign(index.maxLength / STRIDE + 2, nullptr);
    return true;
}

// The longest key that begins text (of which available bytes remain), or -1.
int32_t longestKeyAt(KeyIndex& index, const unsigned char* text, size_t available) {
    size_t bound = available < index.maxLength ? available : index.maxLength;
    if (index.useQuadFilter) {
        if (bound < 4) return -1;
        size_t slot = quadSlot(text);
        if (!(index.quadFilter[slot / 64] & (1ULL << (slot % 64)))) return -1;
    }
    uint64_t state = HASH_SEED;
    size_t level = 0;
    index.levelState[0] = state;
    index.levelEntry[0] = nullptr;
    while ((level + 1) * STRIDE <= bound) {
        uint64_t next = nodeStep(state, text + level * STRIDE);
        const PrefixEntry* node = findEntry(index, hashFinish(next, (level + 1) * STRIDE), (level + 1) * STRIDE);
        if (!node || !node->isNode) break;
        state = next;
        level++;
        index.levelState[level] = state;
        index.levelEntry[level] = node;
    }
    // From the deepest node back towards the root, the longest ending first.
    for (size_t l = level + 1; l-- > 0;) {
        const PrefixEntry* node = index.levelEntry[l];
        uint32_t endMask = node ? node->endMask : index.rootMask;
        size_t base = l * STRIDE;
        for (size_t j = STRIDE; j-- > 1;) {
            if (!(endMask & (1u << j)) || base + j > bound) continue;
            const PrefixEntry* entry =
                findEntry(index, prefixHash(index.levelState[l], text + base, base, j), base + j);
            int32_t k = verifiedKey(index, entry, text, base + j);
            if (k >= 0) return k;
        }
        if (node) {
            int32_t k = verifiedKey(index, node, text, base);
            if (k >= 0) return k;
            if (!node->shorterKeys) return -1;
        }
    }
    return -1;
}

// The rewritten text, started at the first change.
struct Output {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;

    ~Output() { std::free(data); }

    void append(const void* bytes, size_t n) {
        if (failed || n == 0) return;
        if (length + n + 1 > capacity) {
            size_t wanted = capacity + capacity / 2;
            if (wanted < length + n + 1) wanted = length + n + 1;
            char* grown = static_cast<char*>(std::realloc(data, wanted));
            if (!grown) {
                failed = true;
                return;
            }
            data = grown;
            capacity = wanted;
        }
        std::memcpy(data + length, bytes, n);
        length += n;
    }

    void reserve(size_t n) {
        data = static_cast<char*>(std::malloc(n));
        if (!data) failed = true;
        capacity = data ? n : 0;
    }
};

} // namespace

int rewritePackageText(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress) {
    if (!imageFiles || imageFiles->count == 0 || !text || !*text) return 0;

    KeyIndex index;
    size_t failedCount = 0;
    bool anyKey = buildIndex(index, imageFiles, &failedCount);
    int packageChanged = blankFailedImages && failedCount > 0 ? 1 : 0;

    const unsigned char* source = reinterpret_cast<const unsigned char*>(*text);
    size_t n = std::strlen(*text);
    bool removeElements = blankFailedImages && failedCount > 0;
    unsigned char stop[256];
    std::memcpy(stop, index.keyStart, sizeof stop);
    if (removeElements) stop[static_cast<unsigned char>('<')] = 1;
    size_t blankLength = std::strlen(BLANK_IMAGE_URL);

    Output out;
    bool replaced = false;
    size_t copied = 0; // text[copied, p) is still to be copied
    auto replaceSpan = [&](size_t from, size_t to, const char* with, size_t withLength) {
        if (!replaced) {
            out.reserve(n + n / 4 + withLength + 4096);
            replaced = true;
        }
        out.append(source + copied, from - copied);
        out.append(with, withLength);
        copied = to;
    };

    int lastPercent = 0;
    size_t p = 0;
    while (anyKey && p < n) {
        size_t nextReport = (n * static_cast<size_t>(lastPercent + 1) + 99) / 100;
        size_t limit = nextReport < n ? nextReport : n;
        while (p < limit && !stop[source[p]]) p++;
        if (p >= limit) {
            int percent = static_cast<int>((p * 100) / n);
            if (percent > lastPercent && percent < 100) {
                lastPercent = percent;
                if (progress) progress(percent);
            }
            continue;
        }
        if (removeElements && source[p] == '<' && n - p > ELEMENT_OPEN_LENGTH + ELEMENT_CLOSE_LENGTH &&
            std::memcmp(source + p, ELEMENT_OPEN, ELEMENT_OPEN_LENGTH) == 0) {
            size_t at = p + ELEMENT_OPEN_LENGTH;
            int32_t k = index.keyStart[source[at]] ? longestKeyAt(index, source + at, n - at) : -1;
            if (k >= 0) {
                const RewriteKey& key = index.keys[static_cast<size_t>(k)];
                size_t end = at + key.length;
                if (!key.value && n - end >= ELEMENT_CLOSE_LENGTH &&
                    std::memcmp(source + end, ELEMENT_CLOSE, ELEMENT_CLOSE_LENGTH) == 0) {
                    // A failed image leaves the mobile details altogether.
                    replaceSpan(p, end + ELEMENT_CLOSE_LENGTH, "", 0);
                    p = end + ELEMENT_CLOSE_LENGTH;
                    continue;
                }
            }
        }
        int32_t k = index.keyStart[source[p]] ? longestKeyAt(index, source + p, n - p) : -1;
        if (k < 0) {
            p++;
            continue;
        }
        const RewriteKey& key = index.keys[static_cast<size_t>(k)];
        if (key.value) {
            replaceSpan(p, p + key.length, key.value, key.valueLength);
            packageChanged = 1;
        } else if (blankFailedImages) {
            replaceSpan(p, p + key.length, BLANK_IMAGE_URL, blankLength);
        }
        // A failed address stays whole for a later run; nothing inside it is replaced.
        p += key.length;
    }

    if (replaced) {
        out.append(source + copied, n - copied);
        out.append("", 1);
        if (out.failed) {
            writeLog("更新csv文件失败：内存不足，无法替换图片地址。");
            if (progress && lastPercent < 100) progress(100);
            return 0;
        }
        std::free(*text);
        *text = out.data;
        out.data = nullptr;
    }
    if (progress && lastPercent < 100) progress(100);
    return packageChanged;
}
