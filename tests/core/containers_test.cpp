// Tests of ArrayList, HashMap and the string hash.
#include "core/containers.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

TEST(ArrayList, DefaultsAndAdditiveGrowth) {
    ArrayList* list = arrayListCreate(0, 0);
    EXPECT_EQ(list->capacity, 10);
    EXPECT_EQ(list->growBy, 10);
    int values[25];
    for (int i = 0; i < 10; i++)
        arrayListAdd(list, &values[i]);
    EXPECT_EQ(list->capacity, 10);
    EXPECT_EQ(arrayListAdd(list, &values[10]), 11);
    EXPECT_EQ(list->capacity, 20);
    for (int i = 11; i < 21; i++)
        arrayListAdd(list, &values[i]);
    EXPECT_EQ(list->capacity, 30) << "growth adds growBy slots, it never doubles";
    for (int i = 0; i < 21; i++)
        EXPECT_EQ(arrayListGet(list, i), &values[i]);
    EXPECT_EQ(arrayListGet(list, -1), nullptr);
    EXPECT_EQ(arrayListGet(list, list->count), nullptr);
    arrayListDestroy(list, 0);

    ArrayList* items = arrayListCreate(256, 64);
    for (int i = 0; i < 257; i++)
        arrayListAdd(items, &values[0]);
    EXPECT_EQ(items->capacity, 320);
    arrayListDestroy(items, 0);
}

TEST(ArrayList, ClearNullsSlotsAndKeepsCapacity) {
    ArrayList* list = arrayListCreate(4, 2);
    for (int i = 0; i < 5; i++)
        arrayListAdd(list, duplicateString("x"));
    arrayListAdd(list, nullptr);
    EXPECT_TRUE(arrayListContains(list, "x", stringEquals));
    EXPECT_FALSE(arrayListContains(list, "y", stringEquals));
    arrayListClear(list, 1); // releases the strings (leak checkers catch a miss), skips the null
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->capacity, 6);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(list->items[i], nullptr);
    arrayListDestroy(list, 1);
}

TEST(HashMap, CapacityRoundsUpToPowerOfTwo) {
    struct Case {
        int requested, capacity;
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {16, 16}, {17, 32}};
    for (auto c : cases) {
        HashMap* map = hashMapCreate(stringHash, stringEquals, c.requested, 0.75f);
        EXPECT_EQ(map->capacity, c.capacity) << c.requested;
        hashMapDestroy(map, 1, 1);
    }
}

TEST(HashMap, DoublesAtThresholdAndKeepsEveryEntry) {
    HashMap* map = hashMapCreateDefault(stringHash, stringEquals);
    EXPECT_EQ(map->threshold, 12);
    for (int i = 0; i < 11; i++)
        hashMapPut(map, duplicateString(std::to_string(i).c_str()), duplicateString("v"));
    EXPECT_EQ(map->capacity, 16);
    hashMapPut(map, duplicateString("11"), duplicateString("v"));
    EXPECT_EQ(map->capacity, 32);
    EXPECT_EQ(map->threshold, 24);
    for (int i = 0; i < 12; i++) {
        EXPECT_STREQ(static_cast<char*>(hashMapGet(map, std::to_string(i).c_str())), "v");
    }
    hashMapDestroy(map, 1, 1);
}

static uint32_t constantHash(const void*) {
    return 5;
}

TEST(HashMap, ChainsKeepInsertionOrderThroughGrowthAndRemoval) {
    // Every key collides, so one chain holds them all; its order must survive doubling.
    HashMap* map = hashMapCreate(constantHash, stringEquals, 2, 0.75f);
    const char* names[] = {"a", "b", "c", "d", "e"};
    for (const char* n : names)
        hashMapPut(map, duplicateString(n), nullptr);
    std::vector<std::string> order;
    KeyListNode* keys = hashMapKeys(map);
    for (KeyListNode* k = keys; k; k = k->next)
        order.push_back(static_cast<char*>(k->key));
    hashMapFreeKeyList(keys);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "d", "e"}));

    hashMapRemove(map, "c");
    order.clear();
    keys = hashMapKeys(map);
    for (KeyListNode* k = keys; k; k = k->next)
        order.push_back(static_cast<char*>(k->key));
    hashMapFreeKeyList(keys);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "d", "e"}));
    EXPECT_EQ(map->count, 4);
    EXPECT_EQ(hashMapRemove(map, "zz"), nullptr);
    hashMapDestroy(map, 1, 0);
}

TEST(HashMap, PutOfExistingKeyKeepsFirstKeyAndReturnsOldValue) {
    HashMap* map = hashMapCreateDefault(stringHash, stringEquals);
    char* first = duplicateString("key");
    char* value1 = duplicateString("one");
    EXPECT_EQ(hashMapPut(map, first, value1), nullptr);
    char second[] = "key";
    char* value2 = duplicateString("two");
    EXPECT_EQ(hashMapPut(map, second, value2), value1);
    std::free(value1);
    EXPECT_EQ(map->count, 1);
    KeyListNode* keys = hashMapKeys(map);
    EXPECT_EQ(keys->key, first);
    hashMapFreeKeyList(keys);
    HashMap* empty = hashMapCreateDefault(stringHash, stringEquals);
    EXPECT_EQ(hashMapKeys(empty), nullptr);
    hashMapDestroy(empty, 1, 1);
    hashMapDestroy(map, 1, 1);
}

static int identityEquals(const void* a, const void* b) {
    return a == b;
}
static uint32_t pointerHash(const void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p) >> 4);
}

static int caseBlindEquals(const void* a, const void* b) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (; *x && std::tolower(*x) == std::tolower(*y); x++, y++) {
    }
    return std::tolower(*x) == std::tolower(*y);
}
static uint32_t caseBlindHash(const void* key) {
    uint32_t h = 0;
    for (const char* p = static_cast<const char*>(key); *p; p++)
        h = 31u * h + static_cast<uint32_t>(std::tolower(static_cast<unsigned char>(*p)));
    return h;
}

TEST(HashMap, ClearReleasesExactlyWhatTheCallerSaysTheMapOwns) {
    // Keys and values that the map does not own are stack objects here, so a wrong release would
    // crash or be reported by the sanitizers; owned ones that are not released are reported leaks.
    int a = 1, b = 2;
    HashMap* other = hashMapCreateDefault(pointerHash, identityEquals);
    hashMapPut(other, &a, &b);
    hashMapClear(other, 0, 0);
    EXPECT_EQ(other->count, 0);
    EXPECT_EQ(hashMapGet(other, &a), nullptr);
    hashMapDestroy(other, 0, 0);

    HashMap* strings = hashMapCreateDefault(stringHash, stringEquals);
    hashMapPut(strings, duplicateString("k"), &a); // value not owned: only the key is released
    hashMapClear(strings, 1, 0);
    EXPECT_EQ(strings->count, 0);
    EXPECT_EQ(strings->capacity, 16);
    hashMapDestroy(strings, 1, 0);

    // Ownership does not follow from the equality function: a string map with its own equality
    // owns its heap keys and values all the same.
    HashMap* blind = hashMapCreateDefault(caseBlindHash, caseBlindEquals);
    hashMapPut(blind, duplicateString("Key"), duplicateString("v"));
    hashMapPut(blind, duplicateString("other"), duplicateString("w"));
    EXPECT_STREQ(static_cast<char*>(hashMapGet(blind, "KEY")), "v");
    hashMapClear(blind, 1, 1);
    EXPECT_EQ(blind->count, 0);
    hashMapPut(blind, duplicateString("again"), duplicateString("x"));
    hashMapDestroy(blind, 1, 1);
}

TEST(HashMap, ContainsTellsAKeyWithANullValueFromAMissingOne) {
    HashMap* map = hashMapCreate(constantHash, stringEquals, 2, 0.75f);
    hashMapPut(map, duplicateString("held"), nullptr);
    hashMapPut(map, duplicateString("other"), duplicateString("v"));
    EXPECT_EQ(hashMapGet(map, "held"), nullptr);
    EXPECT_TRUE(hashMapContains(map, "held"));
    EXPECT_TRUE(hashMapContains(map, "other"));
    EXPECT_FALSE(hashMapContains(map, "missing")); // same chain, different key
    hashMapRemove(map, "held");
    EXPECT_FALSE(hashMapContains(map, "held"));
    hashMapDestroy(map, 1, 1);
}

TEST(StringHash, SignedBytesAndSpreading) {
    EXPECT_EQ(stringHash(""), 0u);
    auto reference = [](const char* s, bool signedBytes) {
        uint32_t h = 0;
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; p++) {
            int32_t byte = signedBytes ? static_cast<int32_t>(static_cast<signed char>(*p)) : *p;
            h = 31u * h + static_cast<uint32_t>(byte);
        }
        h ^= (h >> 20) ^ (h >> 12);
        return h ^ (h >> 7) ^ (h >> 4);
    };
    const char* gbk = "\xB1\xA6\xB1\xB4"; // 宝贝
    EXPECT_EQ(stringHash(gbk), reference(gbk, true));
    EXPECT_NE(stringHash(gbk), reference(gbk, false));
    EXPECT_EQ(stringHash("abc"), reference("abc", false));
    char a[] = "same", b[] = "same";
    EXPECT_EQ(stringEquals(a, b), 1);
    EXPECT_EQ(stringEquals(a, "other"), 0);
}
