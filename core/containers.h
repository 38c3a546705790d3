// ArrayList: a growable array of pointers. HashMap: a chained hash table whose hashing and key
// equality come from the caller. Neither locks; a caller that shares one between threads
// serialises access itself.
#pragma once
#include <cstdint>

struct ArrayList {
    void** items;
    int32_t capacity;
    int32_t growBy;
    int32_t count;
};

typedef uint32_t (*HashFunction)(const void* key);
typedef int (*EqualsFunction)(const void* storedKey, const void* probeKey);

struct HashMapEntry {
    uint32_t hash;
    void* key;
    void* value;
    HashMapEntry* next;
};

struct HashMap {
    int32_t count;
    int32_t capacity;
    int32_t threshold;
    float loadFactor;
    HashMapEntry** buckets;
    HashFunction hash;
    EqualsFunction equals;
};

struct KeyListNode {
    void* key;
    KeyListNode* next;
};

ArrayList* arrayListCreate(int32_t initialCapacity, int32_t growBy);
ArrayList* arrayListCreateDefault();
int32_t arrayListAdd(ArrayList* list, void* element);
void* arrayListGet(const ArrayList* list, int32_t index);
int arrayListContains(const ArrayList* list, const void* probe, EqualsFunction match);
void arrayListClear(ArrayList* list, int releaseElements);
void arrayListDestroy(ArrayList* list, int releaseElements);

HashMap* hashMapCreate(HashFunction hash, EqualsFunction equals, int32_t initialCapacity, float loadFactor);
HashMap* hashMapCreateDefault(HashFunction hash, EqualsFunction equals);
void* hashMapPut(HashMap* map, void* key, void* value);
void* hashMapGet(const HashMap* map, const void* key);
// 1 when the map holds the key, also when its value is null (which hashMapGet cannot tell apart).
int hashMapContains(const HashMap* map, const void* key);
void* hashMapRemove(HashMap* map, const void* key);
KeyListNode* hashMapKeys(const HashMap* map);
void hashMapFreeKeyList(KeyListNode* list);
// Empties the map; frees each key when releaseKeys is set and each value when releaseValues is set
// (a map whose keys are heap copies from duplicateString owns them).
void hashMapClear(HashMap* map, int releaseKeys, int releaseValues);
void hashMapDestroy(HashMap* map, int releaseKeys, int releaseValues);

uint32_t stringHash(const void* key);
int stringEquals(const void* a, const void* b);

// A string map owns its keys: hashMapPut keeps the key pointer it is given when the key is new.
// This helper makes the heap copy that such a key needs.
char* duplicateString(const char* text);
