// One data row of the package (宝贝) and the process-wide state that the window, the reader and
// the migration job share.
#pragma once
#include "core/containers.h"
#include "platform/files.h"

#include <cstdint>

constexpr int ITEM_TITLE_SIZE = 128;
constexpr int ITEM_STATUS_FINISHED = 2;

struct Item {
    int32_t index;
    char title[ITEM_TITLE_SIZE];
    int32_t status;
    ArrayList* descImages;
    ArrayList* mobileImages;
    ArrayList* descFailures;
    ArrayList* mobileFailures;
    // Read with secure mode off: the distinct https and protocol-relative addresses that secure
    // mode would have put in descImages and mobileImages; null when there are none.
    ArrayList* uncollectedDescImages;
    ArrayList* uncollectedMobileImages;
};

// Releases an item with its lists and their strings.
void freeItem(Item* item);
// Destroys every item of the list (with its lists and strings) and empties the list.
void clearItems(ArrayList* items);

// The loaded items, in package order (created by the window with capacity 256 and growth 64).
extern ArrayList* items;
// The whole package as one engine string; owned by whoever holds it, released by the job.
extern char* packageText;
// The chosen CSV file.
extern char packagePath[PATH_BUFFER_SIZE];
