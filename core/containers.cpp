// The engine's ArrayList and chained HashMap.
#include "core/containers.h"

#include "core/allocate.h"

#include <cstdlib>
#include <cstring>

char* duplicateString(const char* text) {
    size_t n = std::strlen(text);
    char* copy = static_cast<char*>(allocateZeroed(n + 1));
    std::memcpy(copy, text, n + 1);
    return copy;
}

ArrayList* arrayListCreate(int32_t initialCapacity, int32_t growBy) {
    if (initialCapacity <= 0) initialCapacity = 10;
    if (growBy <= 0) growBy = 10;
    ArrayList* list = static_cast<ArrayList*>(allocateZeroed(sizeof(ArrayList)));
    list->items = static_cast<void**>(allocateZeroed(sizeof(void*) * static_cast<size_t>(initialCapacity)));
    list->capacity = initialCapacity;
    list->growBy = growBy;
    list->count = 0;
    return list;
}

ArrayList* arrayListCreateDefault() {
    return arrayListCreate(10, 10);
}

int32_t arrayListAdd(ArrayList* list, void* element) {
    if (list->count == list->capacity) {
        int32_t grown = list->capacity + list->growBy;
        void** slots = static_cast<void**>(allocateZeroed(sizeof(void*) * static_cast<size_t>(grown)));
        std::memcpy(slots, list->items, sizeof(void*) * static_cast<size_t>(list->count));
        std::free(list->items);
        list->items = slots;
        list->capacity = grown;
    }
    list->items[list->count] = element;
    list->count++;
    return list->count;
}

void* arrayListGet(const ArrayList* list, int32_t index) {
    if (!list || index < 0 || index >= list->count) return nullptr;
    return list->items[index];
}

int arrayListContains(const ArrayList* list, const void* probe, EqualsFunction match) {
    for (int32_t i = 0; i < list->count; i++) {
        if (match(list->items[i], probe)) return 1;
    }
    return 0;
}

void arrayListClear(ArrayList* list, int releaseElements) {
    for (int32_t i = 0; i < list->count; i++) {
        if (releaseElements && list->items[i]) std::free(list->items[i]);
        list->items[i] = nullptr;
    }
    list->count = 0;
}

void arrayListDestroy(ArrayList* list, int releaseElements) {
    if (!list) return;
    arrayListClear(list, releaseElements);
    std::free(list->items);
    std::free(list);
}

static int32_t thresholdOf(int32_t capacity, float loadFactor) {
    return static_cast<int32_t>(static_cast<float>(capacity) * loadFactor);
}

HashMap* hashMapCreate(HashFunction hash, EqualsFunction equals, int32_t initialCapacity, float loadFactor) {
    int32_t capacity = 1;
    if (initialCapacity > 1) {
        capacity = 2;
        while (capacity < initialCapacity && capacity < (1 << 30))
            capacity <<= 1;
    }
    HashMap* map = static_cast<HashMap*>(allocateZeroed(sizeof(HashMap)));
    map->count = 0;
    map->capacity = capacity;
    map->loadFactor = loadFactor;
    map->threshold = thresholdOf(capacity, loadFactor);
    map->buckets =
        static_cast<HashMapEntry**>(allocateZeroed(sizeof(HashMapEntry*) * static_cast<size_t>(capacity)));
    map->hash = hash;
    map->equals = equals;
    return map;
}

HashMap* hashMapCreateDefault(HashFunction hash, EqualsFunction equals) {
    return hashMapCreate(hash, equals, 16, 0.75f);
}

static void appendToChain(HashMapEntry** head, HashMapEntry* entry) {
    entry->next = nullptr;
    while (*head)
        head = &(*head)->next;
    *head = entry;
}

static void doubleCapacity(HashMap* map) {
    int32_t grown = map->capacity * 2;
    HashMapEntry** buckets =
        static_cast<HashMapEntry**>(allocateZeroed(sizeof(HashMapEntry*) * static_cast<size_t>(grown)));
    // Each new chain keeps its tail so that moving every entry stays linear.
    HashMapEntry** tails =
        static_cast<HashMapEntry**>(allocateZeroed(sizeof(HashMapEntry*) * static_cast<size_t>(grown)));
    for (int32_t i = 0; i < map->capacity; i++) {
        HashMapEntry* entry = map->buckets[i];
        while (entry) {
            HashMapEntry* next = entry->next;
            uint32_t index = entry->hash & static_cast<uint32_t>(grown - 1);
            entry->next = nullptr;
            if (tails[index]) {
                tails[index]->next = entry;
            } else {
                buckets[index] = entry;
            }
            tails[index] = entry;
            entry = next;
        }
    }
    std::free(tails);
    std::free(map->buckets);
    map->buckets = buckets;
    map->capacity = grown;
    map->threshold = thresholdOf(grown, map->loadFactor);
}

void* hashMapPut(HashMap* map, void* key, void* value) {
    uint32_t h = map->hash(key);
    HashMapEntry** head = &map->buckets[h & static_cast<uint32_t>(map->capacity - 1)];
    for (HashMapEntry* entry = *head; entry; entry = entry->next) {
        if (entry->hash == h && map->equals(entry->key, key)) {
            void* old = entry->value;
            entry->value = value;
            return old;
        }
    }
    HashMapEntry* entry = static_cast<HashMapEntry*>(allocateZeroed(sizeof(HashMapEntry)));
    entry->hash = h;
    entry->key = key;
    entry->value = value;
    appendToChain(head, entry);
    map->count++;
    if (map->count >= map->threshold && map->capacity < (1 << 30)) doubleCapacity(map);
    return nullptr;
}

void* hashMapGet(const HashMap* map, const void* key) {
    uint32_t h = map->hash(key);
    for (HashMapEntry* entry = map->buckets[h & static_cast<uint32_t>(map->capacity - 1)]; entry;
         entry = entry->next) {
        if (entry->hash == h && map->equals(entry->key, key)) return entry->value;
    }
    return nullptr;
}

int hashMapContains(const HashMap* map, const void* key) {
    uint32_t h = map->hash(key);
    for (HashMapEntry* entry = map->buckets[h & static_cast<uint32_t>(map->capacity - 1)]; entry;
         entry = entry->next) {
        if (entry->hash == h && map->equals(entry->key, key)) return 1;
    }
    return 0;
}

void* hashMapRemove(HashMap* map, const void* key) {
    uint32_t h = map->hash(key);
    HashMapEntry** link = &map->buckets[h & static_cast<uint32_t>(map->capacity - 1)];
    while (*link) {
        HashMapEntry* entry = *link;
        if (entry->hash == h && map->equals(entry->key, key)) {
            *link = entry->next;
            void* value = entry->value;
            std::free(entry->key);
            std::free(entry);
            map->count--;
            return value;
        }
        link = &entry->next;
    }
    return nullptr;
}

KeyListNode* hashMapKeys(const HashMap* map) {
    KeyListNode* head = nullptr;
    KeyListNode** tail = &head;
    for (int32_t i = 0; i < map->capacity; i++) {
        for (HashMapEntry* entry = map->buckets[i]; entry; entry = entry->next) {
            KeyListNode* node = static_cast<KeyListNode*>(allocateZeroed(sizeof(KeyListNode)));
            node->key = entry->key;
            node->next = nullptr;
            *tail = node;
            tail = &node->next;
        }
    }
    return head;
}

void hashMapFreeKeyList(KeyListNode* list) {
    while (list) {
        KeyListNode* next = list->next;
        std::free(list);
        list = next;
    }
}

void hashMapClear(HashMap* map, int releaseKeys, int releaseValues) {
    for (int32_t i = 0; i < map->capacity; i++) {
        HashMapEntry* entry = map->buckets[i];
        while (entry) {
            HashMapEntry* next = entry->next;
            if (releaseKeys) std::free(entry->key);
            if (releaseValues) std::free(entry->value);
            std::free(entry);
            entry = next;
        }
        map->buckets[i] = nullptr;
    }
    map->count = 0;
}

void hashMapDestroy(HashMap* map, int releaseKeys, int releaseValues) {
    if (!map) return;
    hashMapClear(map, releaseKeys, releaseValues);
    std::free(map->buckets);
    std::free(map);
}

uint32_t stringHash(const void* key) {
    uint32_t h = 0;
    for (const signed char* p = static_cast<const signed char*>(key); *p; p++) {
        h = 31u * h + static_cast<uint32_t>(static_cast<int32_t>(*p));
    }
    h ^= (h >> 20) ^ (h >> 12);
    return h ^ (h >> 7) ^ (h >> 4);
}

int stringEquals(const void* a, const void* b) {
    if (a == b) return 1;
    if (!a || !b) return 0;
    return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b)) == 0 ? 1 : 0;
}
