// The package's items and the process-wide state that the window, the reader and the job share.
#include "package/item.h"

#include <cstdlib>

ArrayList* items = nullptr;
char* packageText = nullptr;
char packagePath[PATH_BUFFER_SIZE];

void freeItem(Item* item) {
    if (!item) return;
    arrayListDestroy(item->descImages, 1);
    arrayListDestroy(item->mobileImages, 1);
    arrayListDestroy(item->descFailures, 1);
    arrayListDestroy(item->mobileFailures, 1);
    arrayListDestroy(item->uncollectedDescImages, 1);
    arrayListDestroy(item->uncollectedMobileImages, 1);
    std::free(item);
}

void clearItems(ArrayList* list) {
    if (!list) return;
    for (int32_t i = 0; i < list->count; i++)
        freeItem(static_cast<Item*>(list->items[i]));
    arrayListClear(list, 0);
}
