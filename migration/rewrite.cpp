#include "migration/rewrite.h"

#include "core/applog.h"
#include "core/charset.h"
#include "core/deployment.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

// The rewrite makes one pass over the package text. At every place where an address of the map
// starts, the longest such address is replaced, so that an address which is the beginning of
// another (a thumbnail "..._60x60.jpg" after its original) never corrupts the longer one.
//
// The addresses are held in a hashed trie: one table of the prefixes at every multiple of STRIDE
// bytes (the nodes), keyed by length and a hash of the prefix. Under most nodes the addresses
// form a chain, each the beginning of the next (an original and its thumbnail, or just one
// address); such a node names the longest, every address knows the longest address that begins
// it, and the longest match is read off that chain. Where the addresses under a node branch, the
// node knows which lengths end within its next STRIDE bytes and those addresses are in the table
// as well. Finding the longest address at a place thus costs a probe or two, whatever the number
// of addresses. With many addresses those probes leave the caches, so the scan finds the places
// a little ahead of the lookups and has their memory fetched meanwhile.
//
// A large map costs little more for two further reasons. The records are kept in the order in
// which the map's strings lie in memory, which is mostly the order of the downloads and so the
// order in which the scan meets the addresses. And while the addresses are filed, a second
// thread already finds the first places of the text, which need no table.

namespace {

constexpr size_t STRIDE = 32;
constexpr const char* ELEMENT_OPEN = "<img>";
constexpr const char* ELEMENT_CLOSE = "</img>";
constexpr size_t ELEMENT_OPEN_LENGTH = 5;
constexpr size_t ELEMENT_CLOSE_LENGTH = 6;

// Places in flight between the scan and the lookups, and how far ahead of its lookup each piece
// of a place's memory is asked for: the table slot, then the address that the slot names, then
// that address's bytes and the next shorter address of its chain.
constexpr size_t QUEUE_SIZE = 128;
constexpr size_t RECORD_STAGE = 48;
constexpr size_t BYTES_STAGE = 96;
constexpr size_t BUILD_DISTANCE = 16;
constexpr int32_t COLLECT_DISTANCE = 24;

inline void prefetch(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// One address of the map. Its bytes and path stay where the map holds them.
struct KeyRecord {
    const unsigned char* bytes;
    const char* value; // the file's path; null for a failed download
    uint32_t length;
    int32_t shorter; // the longest address that is the beginning of this one, -1 when none
};

// One prefix in the table, in 16 bytes so that many fit in the caches. Every entry that a lookup
// accepts is checked against the bytes of an address, so hash collisions cost time, never a
// wrong result.
constexpr uint32_t LENGTH_BITS = 0x1FFFu;
constexpr uint32_t IS_NODE = 0x2000u;      // the prefix of some address at a multiple of STRIDE
constexpr uint32_t SHORTER_KEYS = 0x4000u; // some address shorter than this prefix begins it
constexpr uint32_t CHAIN = 0x8000u;        // every address that begins with it begins firstKey
constexpr uint32_t IDENTITY_BITS = 0xFFFF0000u | LENGTH_BITS;
// Addresses longer than this (no web server takes one) are compared one by one instead.
constexpr size_t TRIE_KEY_LIMIT = LENGTH_BITS;

struct PrefixEntry {
    uint32_t head;    // the hash's top 16 bits, the flags and the length; 0 marks a free slot
    int32_t key;      // the address equal to this prefix, -1 when none
    uint32_t endMask; // node: bit j, an address of length + j bytes begins with this prefix
    int32_t firstKey; // node: the longest address filed under it, whose bytes verify the node
};

inline uint32_t identity(uint64_t hash, size_t length) {
    return (static_cast<uint32_t>(hash >> 48) << 16) | static_cast<uint32_t>(length);
}

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

// The state after a node prefix, extended by the STRIDE bytes at at.
inline uint64_t nodeStep(uint64_t state, const unsigned char* at) {
    for (size_t i = 0; i < STRIDE; i += 8)
        state = hashStep(state, load64(at + i));
    return state;
}

// The hash of the prefix of length base + extra (extra below STRIDE), from the state at base.
inline uint64_t prefixHash(uint64_t state, const unsigned char* at, size_t base, size_t extra) {
    size_t rest = extra;
    while (rest >= 8) {
        state = hashStep(state, load64(at));
        at += 8;
        rest -= 8;
    }
    if (rest > 0) state = hashStep(state, loadPartial(at, rest));
    return hashFinish(state, base + extra);
}

// The hash of bytes[0, length) from the start.
uint64_t wholeHash(const unsigned char* bytes, size_t length) {
    uint64_t state = HASH_SEED;
    size_t base = 0;
    for (; base + STRIDE <= length; base += STRIDE)
        state = nodeStep(state, bytes + base);
    return base == length ? hashFinish(state, length) : prefixHash(state, bytes + base, base, length - base);
}

struct BrokenChain {
    int32_t longest;
    size_t nodeLength;
};

struct KeyIndex {
    std::vector<KeyRecord> records;
    std::vector<BrokenChain> brokenChains;
    std::vector<int32_t> longKeys; // beyond TRIE_KEY_LIMIT, longest first
    std::vector<PrefixEntry> table;
    size_t mask = 0;
    size_t used = 0;
    uint32_t rootMask = 0; // addresses shorter than STRIDE
    size_t maxLength = 0;  // of the addresses in the table
    size_t failedCount = 0;
    bool pathMayGrow = false;  // some path is longer than its address
    bool blankMayGrow = false; // some failed address is shorter than the blank image's
    unsigned char keyStart[256] = {0};
    // Quick refusal of places whose first four bytes begin no address.
    std::vector<uint64_t> quadFilter;
    bool useQuadFilter = true;
    std::vector<uint64_t> levelState;
    std::vector<const PrefixEntry*> levelEntry;
};

inline const KeyRecord& recordAt(const KeyIndex& index, int32_t key) {
    return index.records[static_cast<size_t>(key)];
}

inline size_t quadSlot(const unsigned char* p) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    return static_cast<size_t>((static_cast<uint64_t>(word) * 0x9E3779B97F4A7C15ULL) >> 48);
}

inline bool passesQuadFilter(const KeyIndex& index, const unsigned char* text, size_t available) {
    if (!index.useQuadFilter) return true;
    if (available < 4) return false;
    size_t slot = quadSlot(text);
    return (index.quadFilter[slot / 64] & (1ULL << (slot % 64))) != 0;
}

// The node for text[0, base + STRIDE), whose first base bytes are known to be a node already.
const PrefixEntry* findNode(const KeyIndex& index, uint64_t hash, size_t base, const unsigned char* text) {
    uint32_t id = identity(hash, base + STRIDE);
    for (size_t slot = static_cast<size_t>(hash) & index.mask;; slot = (slot + 1) & index.mask) {
        const PrefixEntry& entry = index.table[slot];
        if (entry.head == 0) return nullptr;
        if ((entry.head & IDENTITY_BITS) != id || !(entry.head & IS_NODE)) continue;
        if (std::memcmp(recordAt(index, entry.firstKey).bytes + base, text + base, STRIDE) == 0)
            return &entry;
    }
}

// The address equal to text[0, base + extra), whose first base bytes are known to be a node
// already; -1 when none.
int32_t findKey(const KeyIndex& index, uint64_t hash, size_t base, size_t extra, const unsigned char* text) {
    uint32_t id = identity(hash, base + extra);
    for (size_t slot = static_cast<size_t>(hash) & index.mask;; slot = (slot + 1) & index.mask) {
        const PrefixEntry& entry = index.table[slot];
        if (entry.head == 0) return -1;
        if ((entry.head & IDENTITY_BITS) != id || entry.key < 0) continue;
        if (std::memcmp(recordAt(index, entry.key).bytes + base, text + base, extra) == 0) return entry.key;
    }
}

// The longest address that ends within (base, base + STRIDE), at most bound bytes into text,
// among the lengths that endMask names, and begins text; -1 when none.
int32_t keyEndingWithin(const KeyIndex& index, uint64_t state, const unsigned char* text, size_t base,
                        uint32_t endMask, size_t bound) {
    for (size_t j = STRIDE; j-- > 1;) {
        if (!(endMask & (1u << j)) || base + j > bound) continue;
        int32_t k = findKey(index, prefixHash(state, text + base, base, j), base, j, text);
        if (k >= 0) return k;
    }
    return -1;
}

// How many of the first limit bytes of a and b agree, the first known of them being equal.
inline size_t commonLength(const unsigned char* a, const unsigned char* b, size_t known, size_t limit) {
    size_t i = known;
    while (i + 8 <= limit && load64(a + i) == load64(b + i))
        i += 8;
    while (i < limit && a[i] == b[i])
        i++;
    return i;
}

// The longest address that begins text (of which available bytes remain), or -1.
int32_t longestKeyAt(KeyIndex& index, const unsigned char* text, size_t available) {
    if (!passesQuadFilter(index, text, available)) return -1;
    for (int32_t k : index.longKeys) {
        const KeyRecord& record = recordAt(index, k);
        if (record.length <= available && std::memcmp(record.bytes, text, record.length) == 0) return k;
    }
    size_t bound = available < index.maxLength ? available : index.maxLength;
    uint64_t state = HASH_SEED;
    size_t level = 0;
    index.levelState[0] = state;
    index.levelEntry[0] = nullptr;
    while ((level + 1) * STRIDE <= bound) {
        uint64_t next = nodeStep(state, text + level * STRIDE);
        const PrefixEntry* node =
            findNode(index, hashFinish(next, (level + 1) * STRIDE), level * STRIDE, text);
        if (!node) break;
        state = next;
        level++;
        index.levelState[level] = state;
        index.levelEntry[level] = node;
        if (node->head & CHAIN) {
            // Every address that can match here begins the longest one under the node: the
            // answer is the longest of them within the part of it that the text repeats.
            const KeyRecord& longest = recordAt(index, node->firstKey);
            size_t agreed = commonLength(longest.bytes, text, level * STRIDE,
                                         longest.length < available ? longest.length : available);
            int32_t k = node->firstKey;
            while (k >= 0 && recordAt(index, k).length > agreed)
                k = recordAt(index, k).shorter;
            return k;
        }
    }
    // From the deepest node back towards the root, the longest ending first.
    for (size_t l = level + 1; l-- > 0;) {
        const PrefixEntry* node = index.levelEntry[l];
        size_t base = l * STRIDE;
        int32_t k = keyEndingWithin(index, index.levelState[l], text, base,
                                    node ? node->endMask : index.rootMask, bound);
        if (k >= 0) return k;
        if (!node) break;
        if (node->key >= 0) return node->key;
        if (!(node->head & SHORTER_KEYS)) return -1;
    }
    return -1;
}

void placeEntry(KeyIndex& index, const PrefixEntry& entry, uint64_t hash) {
    size_t slot = static_cast<size_t>(hash) & index.mask;
    while (index.table[slot].head != 0)
        slot = (slot + 1) & index.mask;
    index.table[slot] = entry;
}

// Doubles the table, hashing every entry again from the bytes of its address.
void growTable(KeyIndex& index) {
    std::vector<PrefixEntry> old;
    old.swap(index.table);
    index.table.assign(old.size() * 2, PrefixEntry{0, -1, 0, -1});
    index.mask = index.table.size() - 1;
    for (const PrefixEntry& entry : old) {
        if (entry.head == 0) continue;
        size_t length = entry.head & LENGTH_BITS;
        int32_t witness = (entry.head & IS_NODE) ? entry.firstKey : entry.key;
        placeEntry(index, entry, wholeHash(recordAt(index, witness).bytes, length));
    }
}

// Asks for the table slots of the nodes and the entry that filing the record touches.
void prefetchSlots(const KeyIndex& index, const KeyRecord& record) {
    uint64_t state = HASH_SEED;
    size_t base = 0;
    for (; base + STRIDE <= record.length; base += STRIDE) {
        state = nodeStep(state, record.bytes + base);
        prefetch(&index.table[hashFinish(state, base + STRIDE) & index.mask]);
    }
    if (base < record.length) {
        prefetch(
            &index.table[prefixHash(state, record.bytes + base, base, record.length - base) & index.mask]);
    }
}

// Grows the table until more entries fit with at most three quarters of the slots in use.
void makeRoom(KeyIndex& index, size_t more) {
    while ((index.used + more) * 4 > index.table.size() * 3)
        growTable(index);
}

// A new entry for a prefix that has none; room for it was made before.
PrefixEntry* newEntry(KeyIndex& index, uint64_t hash, size_t length) {
    size_t slot = static_cast<size_t>(hash) & index.mask;
    while (index.table[slot].head != 0)
        slot = (slot + 1) & index.mask;
    PrefixEntry& entry = index.table[slot];
    entry.head = identity(hash, length);
    entry.key = -1;
    entry.endMask = 0;
    entry.firstKey = -1;
    index.used++;
    return &entry;
}

// Files the address itself, for the lookups that reach its deepest node by its lengths.
void addKeyEntry(KeyIndex& index, int32_t k) {
    makeRoom(index, 1);
    const KeyRecord& record = recordAt(index, k);
    newEntry(index, wholeHash(record.bytes, record.length), record.length)->key = k;
}

// Whether some address that begins the record is shorter than length bytes.
bool hasShorterThan(const KeyIndex& index, const KeyRecord& record, size_t length) {
    for (int32_t m = record.shorter; m >= 0; m = recordAt(index, m).shorter) {
        if (recordAt(index, m).length < length) return true;
    }
    return false;
}

void insertKey(KeyIndex& index, int32_t k) {
    const KeyRecord& record = recordAt(index, k);
    const unsigned char* bytes = record.bytes;
    size_t length = record.length;
    // Room for the nodes and the entry of this address, so that no entry moves until they are in.
    makeRoom(index, length / STRIDE + 2);

    // Nodes whose addresses stop being a chain: the chain's longest address and the node's length.
    index.brokenChains.clear();
    uint64_t state = HASH_SEED;
    PrefixEntry* deepest = nullptr;
    size_t base = 0;
    while (base + STRIDE <= length) {
        state = nodeStep(state, bytes + base);
        uint64_t hash = hashFinish(state, base + STRIDE);
        PrefixEntry* node = const_cast<PrefixEntry*>(findNode(index, hash, base, bytes));
        if (node) {
            // Addresses go in shortest first: the new one is the longest under the node.
            const KeyRecord& longest = recordAt(index, node->firstKey);
            if ((node->head & CHAIN) && std::memcmp(longest.bytes, bytes, longest.length) != 0) {
                node->head &= ~CHAIN;
                index.brokenChains.push_back(BrokenChain{node->firstKey, base + STRIDE});
            }
        } else {
            node = newEntry(index, hash, base + STRIDE);
            node->head |=
                IS_NODE | CHAIN | (hasShorterThan(index, record, base + STRIDE) ? SHORTER_KEYS : 0u);
        }
        node->firstKey = k;
        deepest = node;
        base += STRIDE;
    }
    size_t extra = length - base;
    if (!deepest) {
        index.rootMask |= 1u << extra;
        addKeyEntry(index, k);
    } else {
        deepest->endMask |= 1u << extra;
        if (extra == 0) {
            deepest->key = k;
        } else if (!(deepest->head & CHAIN)) {
            addKeyEntry(index, k);
        }
    }
    // The addresses of a broken chain that end within its node's stride now need entries of
    // their own; those that end deeper stay with their own nodes.
    for (const BrokenChain& broken : index.brokenChains) {
        for (int32_t m = broken.longest; m >= 0 && recordAt(index, m).length > broken.nodeLength;
             m = recordAt(index, m).shorter) {
            if (recordAt(index, m).length < broken.nodeLength + STRIDE) addKeyEntry(index, m);
        }
    }
}

// The addresses of the map; the failed downloads are counted.
void collectKeys(KeyIndex& index, const HashMap* map) {
    index.records.reserve(static_cast<size_t>(map->count));
    for (int32_t b = 0; b < map->capacity; b++) {
        // The map's entries and strings lie anywhere in memory: ask for them some buckets ahead.
        if (b + 2 * COLLECT_DISTANCE < map->capacity && map->buckets[b + 2 * COLLECT_DISTANCE]) {
            prefetch(map->buckets[b + 2 * COLLECT_DISTANCE]);
        }
        if (b + COLLECT_DISTANCE < map->capacity && map->buckets[b + COLLECT_DISTANCE]) {
            prefetch(map->buckets[b + COLLECT_DISTANCE]->key);
            prefetch(map->buckets[b + COLLECT_DISTANCE]->value);
        }
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
            if (length > UINT32_MAX || valueLength > UINT32_MAX) throw std::bad_alloc();
            if (valueLength > length) index.pathMayGrow = true;
            if (failed && length < std::strlen(BLANK_IMAGE_URL)) index.blankMayGrow = true;
            index.records.push_back(KeyRecord{reinterpret_cast<const unsigned char*>(address),
                                              failed ? nullptr : value, static_cast<uint32_t>(length), -1});
        }
    }
}

// Puts the records in the order in which their addresses lie in memory. The job files each
// address as its download ends, and the downloads go in the order the package names the images,
// so this is mostly the order in which the scan meets them; the map's buckets hold them at
// random. A radix sort on the place, eleven bits a pass, over the bits in which the places differ.
void orderByPlace(std::vector<KeyRecord>& records) {
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (const KeyRecord& record : records) {
        uintptr_t place = reinterpret_cast<uintptr_t>(record.bytes);
        low = std::min(low, place);
        high = std::max(high, place);
    }
    constexpr int DIGIT_BITS = 11;
    constexpr size_t DIGITS = size_t(1) << DIGIT_BITS;
    auto digit = [low](const KeyRecord& record, int shift) {
        return static_cast<size_t>(((reinterpret_cast<uintptr_t>(record.bytes) - low) >> shift) &
                                   (DIGITS - 1));
    };
    // Strings of the heap start at multiples of 16 bytes at least; those bits tell nothing.
    constexpr int FIRST_SHIFT = 4;
    const uintptr_t span = high - low;
    std::vector<KeyRecord> sorted(records.size());
    std::vector<size_t> counts(DIGITS + 1);
    for (int shift = FIRST_SHIFT; shift < 64 && (span >> shift) != 0; shift += DIGIT_BITS) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const KeyRecord& record : records)
            counts[digit(record, shift) + 1]++;
        for (size_t d = 1; d <= DIGITS; d++)
            counts[d] += counts[d - 1];
        for (const KeyRecord& record : records)
            sorted[counts[digit(record, shift)]++] = record;
        records.swap(sorted);
    }
}

// Takes the addresses of the map and sets up the quick tests of where one may begin; false when
// the map holds none.
bool gatherKeys(KeyIndex& index, const HashMap* map) {
    collectKeys(index, map);
    if (index.records.empty()) return false;
    orderByPlace(index.records);
    if (index.records.size() > static_cast<size_t>(INT32_MAX)) throw std::bad_alloc();
    for (const KeyRecord& record : index.records) {
        if (record.length <= TRIE_KEY_LIMIT && record.length > index.maxLength)
            index.maxLength = record.length;
    }
    index.quadFilter.assign(65536 / 64, 0);
    for (const KeyRecord& record : index.records) {
        index.keyStart[record.bytes[0]] = 1;
        if (record.length < 4) {
            index.useQuadFilter = false;
        } else {
            size_t slot = quadSlot(record.bytes);
            index.quadFilter[slot / 64] |= 1ULL << (slot % 64);
        }
    }
    return true;
}

// Files every address that gatherKeys took. Only the table, the records and the chain lists
// change here; the quick tests stay as they are, for the place finder reads them meanwhile.
void fileKeys(KeyIndex& index) {
    // Shortest first (a counting sort by length).
    std::vector<int32_t> byLength(index.maxLength + 2, 0);
    for (const KeyRecord& record : index.records) {
        if (record.length <= TRIE_KEY_LIMIT) byLength[record.length + 1]++;
    }
    for (size_t i = 1; i < byLength.size(); i++)
        byLength[i] += byLength[i - 1];
    std::vector<int32_t> order(static_cast<size_t>(byLength.back()));
    for (size_t k = 0; k < index.records.size(); k++) {
        const KeyRecord& record = index.records[k];
        if (record.length <= TRIE_KEY_LIMIT) {
            order[static_cast<size_t>(byLength[record.length]++)] = static_cast<int32_t>(k);
        } else {
            index.longKeys.push_back(static_cast<int32_t>(k));
        }
    }
    std::sort(index.longKeys.begin(), index.longKeys.end(), [&index](int32_t a, int32_t b) {
        return recordAt(index, a).length > recordAt(index, b).length;
    });

    // About one node per address; the table grows when it holds more.
    size_t capacity = 1024;
    while (capacity < order.size())
        capacity *= 2;
    index.table.assign(capacity, PrefixEntry{0, -1, 0, -1});
    index.mask = capacity - 1;
    index.levelState.assign(index.maxLength / STRIDE + 2, 0);
    index.levelEntry.assign(index.maxLength / STRIDE + 2, nullptr);
    for (size_t i = 0; i < order.size(); i++) {
        // The map's strings, then the slots that filing them touches, are asked for ahead.
        if (i + BUILD_DISTANCE < order.size()) {
            const KeyRecord& ahead = recordAt(index, order[i + BUILD_DISTANCE]);
            prefetch(ahead.bytes);
            prefetch(ahead.bytes + 64);
        }
        if (i + BUILD_DISTANCE / 2 < order.size())
            prefetchSlots(index, recordAt(index, order[i + BUILD_DISTANCE / 2]));
        int32_t k = order[i];
        KeyRecord& record = index.records[static_cast<size_t>(k)];
        // Every shorter address is filed already, so the longest that begins this one is found
        // as it would be in the text.
        record.shorter = longestKeyAt(index, record.bytes, record.length - 1);
        insertKey(index, k);
    }
}

// The bytes at which an address (or a mobile image element) may begin.
struct StopBytes {
    unsigned char table[256];
    unsigned char list[4];
    int count; // above 4: only the table is used
};

void listStopBytes(StopBytes& stop) {
    stop.count = 0;
    for (int b = 0; b < 256; b++) {
        if (!stop.table[b]) continue;
        if (stop.count < 4) stop.list[stop.count] = static_cast<unsigned char>(b);
        stop.count++;
    }
}

// The first place in [p, limit) that holds a stop byte, or limit. Almost every byte of a package
// is passed over here, eight at a time where the stop bytes are few.
size_t nextStop(const StopBytes& stop, const unsigned char* text, size_t p, size_t limit) {
    if (p >= limit) return p;
    if (stop.count == 1) {
        const void* hit = std::memchr(text + p, stop.list[0], limit - p);
        return hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - text) : limit;
    }
    if (stop.count <= 4) {
        constexpr uint64_t ONES = 0x0101010101010101ULL;
        constexpr uint64_t HIGHS = 0x8080808080808080ULL;
        while (p + 8 <= limit) {
            uint64_t word = load64(text + p);
            uint64_t found = 0;
            for (int i = 0; i < stop.count; i++) {
                uint64_t x = word ^ (ONES * stop.list[i]);
                found |= (x - ONES) & ~x & HIGHS;
            }
            if (found) break;
            p += 8;
        }
    }
    while (p < limit && !stop.table[text[p]])
        p++;
    return p;
}

// A place where an address may begin: at at itself, or, for a mobile image element, behind its
// "<img>" (lookAt).
struct Candidate {
    size_t at;
    size_t lookAt;
    uint64_t firstHash; // of the first node under lookAt, when the text is long enough for it
    uint64_t nodeHash;  // of the second node
    int32_t longest;    // the address that the second node names, once its slot has arrived
    uint8_t nodes;      // how many of the two nodes the text is long enough for
    bool element;
};

// The hashes of the place's first two nodes, which depend on the text alone.
void hashNodes(const unsigned char* text, size_t n, Candidate& c) {
    if (n - c.lookAt < STRIDE) return;
    uint64_t state = nodeStep(HASH_SEED, text + c.lookAt);
    c.firstHash = hashFinish(state, STRIDE);
    c.nodes = 1;
    if (n - c.lookAt < 2 * STRIDE) return;
    state = nodeStep(state, text + c.lookAt + STRIDE);
    c.nodeHash = hashFinish(state, 2 * STRIDE);
    c.nodes = 2;
}

// Asks for the slots of the place's first two nodes.
void prefetchNodes(const KeyIndex& index, const Candidate& c) {
    if (c.nodes >= 1) prefetch(&index.table[c.firstHash & index.mask]);
    if (c.nodes >= 2) prefetch(&index.table[c.nodeHash & index.mask]);
}

// Asks for the record of the address that the place's second node names, once its slot is in.
void prefetchRecord(const KeyIndex& index, Candidate& c) {
    if (c.nodes < 2) return;
    uint32_t id = identity(c.nodeHash, 2 * STRIDE);
    for (size_t slot = static_cast<size_t>(c.nodeHash) & index.mask;; slot = (slot + 1) & index.mask) {
        const PrefixEntry& entry = index.table[slot];
        if (entry.head == 0) return;
        if ((entry.head & IDENTITY_BITS) == id && (entry.head & IS_NODE)) {
            c.longest = entry.firstKey;
            prefetch(&recordAt(index, c.longest));
            return;
        }
    }
}

// Asks for that address's bytes and path and the next shorter address of its chain (an original
// behind its thumbnail), once its record is in.
void prefetchBytes(const KeyIndex& index, const Candidate& c) {
    if (c.longest < 0) return;
    const KeyRecord& record = recordAt(index, c.longest);
    prefetch(record.bytes + STRIDE);
    prefetch(record.bytes + 2 * STRIDE);
    if (record.value) prefetch(record.value);
    if (record.shorter >= 0) prefetch(&recordAt(index, record.shorter));
}

// The next place of the text at or after scan, with its node hashes; false when none is left.
// It reads only the text and the quick tests of the index, so a second thread may run it while
// the table is still being filled.
bool findPlace(const KeyIndex& index, const StopBytes& stop, bool elements, const unsigned char* text,
               size_t n, size_t& scan, Candidate& c) {
    while (scan < n) {
        size_t at = nextStop(stop, text, scan, n);
        if (at >= n) break;
        scan = at + 1;
        c = Candidate{at, at, 0, 0, -1, 0, false};
        if (elements && text[at] == '<' && n - at > ELEMENT_OPEN_LENGTH + ELEMENT_CLOSE_LENGTH &&
            std::memcmp(text + at, ELEMENT_OPEN, ELEMENT_OPEN_LENGTH) == 0 &&
            passesQuadFilter(index, text + at + ELEMENT_OPEN_LENGTH, n - at - ELEMENT_OPEN_LENGTH)) {
            c.element = true;
            c.lookAt = at + ELEMENT_OPEN_LENGTH;
        } else if (!index.keyStart[text[at]] || !passesQuadFilter(index, text + at, n - at)) {
            continue;
        }
        hashNodes(text, n, c);
        return true;
    }
    scan = n;
    return false;
}

// With many addresses, filing them takes a while; meanwhile a second thread finds the first
// places of the text, which do not depend on the table.
constexpr size_t KEYS_WORTH_A_PLACE_FINDER = 4096;
constexpr size_t PLACES_AHEAD_LIMIT = size_t(1) << 18;

struct PlacesAhead {
    std::vector<Candidate> places;
    size_t resumeAt = 0; // the scan goes on from here once the places are taken
    std::atomic<bool> indexReady{false};
};

void findPlacesAhead(PlacesAhead& ahead, const KeyIndex& index, const StopBytes& stop, bool elements,
                     const unsigned char* text, size_t n) {
    size_t scan = 0;
    try {
        ahead.places.reserve(std::min(PLACES_AHEAD_LIMIT, n / 64 + 64));
        Candidate c;
        while (ahead.places.size() < ahead.places.capacity()) {
            if ((ahead.places.size() & 63) == 0 && ahead.indexReady.load(std::memory_order_relaxed)) break;
            if (!findPlace(index, stop, elements, text, n, scan, c)) break;
            ahead.places.push_back(c);
        }
    } catch (const std::bad_alloc&) {
        // Without memory for places the main thread finds them all itself.
    }
    ahead.resumeAt = scan;
}

// Stops the place finder and waits for it, on every way out of the filing, exceptions included.
struct PlaceFinderJoin {
    PlacesAhead& ahead;
    std::thread& finder;
    ~PlaceFinderJoin() {
        ahead.indexReady.store(true, std::memory_order_relaxed);
        if (finder.joinable()) finder.join();
    }
};

// The places of the text in order, found ahead of their lookups.
struct CandidateQueue {
    Candidate ring[QUEUE_SIZE];
    size_t head = 0;
    size_t tail = 0;
    const PlacesAhead* ahead = nullptr; // taken first, up to its resumeAt
    size_t aheadNext = 0;
    size_t scan = 0; // where the search for further places goes on
};

// Fills the queue with the next places of the text.
void fillQueue(CandidateQueue& queue, const KeyIndex& index, const StopBytes& stop, bool elements,
               const unsigned char* text, size_t n) {
    Candidate c;
    while (queue.tail - queue.head < QUEUE_SIZE) {
        if (queue.ahead && queue.aheadNext < queue.ahead->places.size()) {
            c = queue.ahead->places[queue.aheadNext++];
        } else if (!findPlace(index, stop, elements, text, n, queue.scan, c)) {
            break;
        }
        prefetchNodes(index, c);
        queue.ring[queue.tail % QUEUE_SIZE] = c;
        queue.tail++;
        if (queue.tail - queue.head > RECORD_STAGE) {
            prefetchRecord(index, queue.ring[(queue.tail - 1 - RECORD_STAGE) % QUEUE_SIZE]);
        }
        if (queue.tail - queue.head > BYTES_STAGE) {
            prefetchBytes(index, queue.ring[(queue.tail - 1 - BYTES_STAGE) % QUEUE_SIZE]);
        }
    }
}

// One place of the text to change: [at, end) becomes with.
struct Change {
    size_t at;
    size_t end;
    const char* with;
    size_t withLength;
};

// Where the changes go. When no change makes the text longer they are made in the text itself
// as the scan finds them (the bytes written never pass the bytes still to be read), so that a
// package of a hundred megabytes is never held twice; otherwise they are collected for
// applyChanges.
struct Rewriter {
    char* text;
    size_t in = 0;  // the text before in is settled
    size_t out = 0; // and its rewritten form ends at out
    bool inPlace;
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

// Applies the collected changes (in text order, not overlapping) to the heap text of length n:
// grown where it lies and filled from the end when the text up to every change is at least as
// long as it was, copied otherwise. Returns the new text, or null when memory runs out (the old
// text is then still valid and unchanged).
char* applyChanges(char* text, size_t n, const std::vector<Change>& changes) {
    long long running = 0;
    long long lowest = 0;
    for (const Change& c : changes) {
        running += static_cast<long long>(c.withLength) - static_cast<long long>(c.end - c.at);
        if (running < lowest) lowest = running;
    }
    size_t total = static_cast<size_t>(static_cast<long long>(n) + running);
    size_t count = changes.size();

    if (lowest >= 0) {
        // Filled from the end, every write lands at or after the bytes still to be read: each
        // change goes to its place shifted by what the changes before it added.
        char* grown = static_cast<char*>(std::realloc(text, total + 1));
        if (!grown) return nullptr;
        size_t out = total;
        size_t in = n;
        for (size_t i = count; i-- > 0;) {
            const Change& c = changes[i];
            if (i >= BUILD_DISTANCE) prefetch(changes[i - BUILD_DISTANCE].with);
            out -= in - c.end;
            std::memmove(grown + out, grown + c.end, in - c.end);
            out -= c.withLength;
            std::memcpy(grown + out, c.with, c.withLength);
            in = c.at;
        }
        grown[total] = '\0';
        return grown;
    }

    char* copy = static_cast<char*>(std::malloc(total + 1));
    if (!copy) return nullptr;
    size_t out = 0;
    size_t in = 0;
    for (size_t i = 0; i < count; i++) {
        const Change& c = changes[i];
        if (i + BUILD_DISTANCE < count) prefetch(changes[i + BUILD_DISTANCE].with);
        std::memcpy(copy + out, text + in, c.at - in);
        out += c.at - in;
        std::memcpy(copy + out, c.with, c.withLength);
        out += c.withLength;
        in = c.end;
    }
    std::memcpy(copy + out, text + in, n - in);
    copy[total] = '\0';
    std::free(text);
    return copy;
}

void logOutOfMemory() {
    writeLog(programText("更新csv文件失败：内存不足，无法替换图片地址。"));
}

int rewriteText(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress,
                int* lastPercent) {
    KeyIndex index;
    bool anyKey = gatherKeys(index, imageFiles);
    int packageChanged = blankFailedImages && index.failedCount > 0 ? 1 : 0;
    if (!anyKey) return packageChanged;

    const unsigned char* source = reinterpret_cast<const unsigned char*>(*text);
    size_t n = std::strlen(*text);
    bool removeElements = blankFailedImages && index.failedCount > 0;
    StopBytes stop;
    std::memcpy(stop.table, index.keyStart, sizeof stop.table);
    if (removeElements) stop.table[static_cast<unsigned char>('<')] = 1;
    listStopBytes(stop);
    size_t blankLength = std::strlen(BLANK_IMAGE_URL);

    CandidateQueue queue;
    PlacesAhead ahead;
    {
        std::thread finder;
        PlaceFinderJoin join{ahead, finder};
        if (index.records.size() >= KEYS_WORTH_A_PLACE_FINDER) {
            try {
                finder = std::thread(findPlacesAhead, std::ref(ahead), std::cref(index), std::cref(stop),
                                     removeElements, source, n);
            } catch (const std::system_error&) {
                // No second thread: the places are found after the filing.
            }
        }
        fileKeys(index);
    }
    if (!ahead.places.empty() || ahead.resumeAt > 0) {
        queue.ahead = &ahead;
        queue.scan = ahead.resumeAt;
    }

    Rewriter rewriter;
    rewriter.text = *text;
    rewriter.inPlace = !index.pathMayGrow && !(blankFailedImages && index.blankMayGrow);
    size_t settled = 0; // no address starts before settled
    size_t nextReport = (n + 99) / 100;
    bool changed = false;

    for (;;) {
        fillQueue(queue, index, stop, removeElements, source, n);
        if (queue.head == queue.tail) break;
        Candidate c = queue.ring[queue.head % QUEUE_SIZE];
        queue.head++;
        if (c.at >= nextReport) {
            int percent = static_cast<int>((c.at * 100) / n);
            if (percent > *lastPercent && percent < 100) {
                *lastPercent = percent;
                if (progress) progress(percent);
            }
            nextReport = (n * static_cast<size_t>(*lastPercent + 1) + 99) / 100;
        }
        if (c.at < settled) continue; // inside an address already taken

        if (c.element) {
            int32_t k = longestKeyAt(index, source + c.lookAt, n - c.lookAt);
            if (k >= 0) {
                const KeyRecord& record = recordAt(index, k);
                size_t end = c.lookAt + record.length;
                if (!record.value && n - end >= ELEMENT_CLOSE_LENGTH &&
                    std::memcmp(source + end, ELEMENT_CLOSE, ELEMENT_CLOSE_LENGTH) == 0) {
                    // A failed image leaves the mobile details altogether.
                    change(rewriter, c.at, end + ELEMENT_CLOSE_LENGTH, "", 0);
                    changed = true;
                    settled = end + ELEMENT_CLOSE_LENGTH;
                    continue;
                }
            }
            if (!index.keyStart[source[c.at]]) continue;
        }
        int32_t k = longestKeyAt(index, source + c.at, n - c.at);
        if (k < 0) continue;
        const KeyRecord& record = recordAt(index, k);
        if (record.value) {
            change(rewriter, c.at, c.at + record.length, record.value, std::strlen(record.value));
            changed = true;
            packageChanged = 1;
        } else if (blankFailedImages) {
            change(rewriter, c.at, c.at + record.length, BLANK_IMAGE_URL, blankLength);
            changed = true;
        }
        // A failed address stays whole for a later run; nothing inside it is replaced.
        settled = c.at + record.length;
    }

    if (!changed) return packageChanged;
    if (rewriter.inPlace) {
        if (rewriter.out != rewriter.in)
            std::memmove(*text + rewriter.out, *text + rewriter.in, n - rewriter.in);
        (*text)[rewriter.out + (n - rewriter.in)] = '\0';
        return packageChanged;
    }
    char* rewritten = applyChanges(*text, n, rewriter.changes);
    if (!rewritten) {
        logOutOfMemory();
        return 0;
    }
    *text = rewritten;
    return packageChanged;
}

} // namespace

int rewritePackageText(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress) {
    if (!imageFiles || imageFiles->count == 0 || !text || !*text) return 0;
    int lastPercent = 0;
    int packageChanged = 0;
    try {
        packageChanged = rewriteText(imageFiles, text, blankFailedImages, progress, &lastPercent);
    } catch (const std::bad_alloc&) {
        // Memory ran out before the text was touched: the text is as it was.
        logOutOfMemory();
        packageChanged = 0;
    }
    if (progress && lastPercent < 100) progress(100);
    return packageChanged;
}
