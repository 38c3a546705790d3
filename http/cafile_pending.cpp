// TEMPORARY stand-ins for the https client's CA-file functions, so that the front ends build before
// the client has them; this file and http/cafile_pending.h then go.
#include "http/cafile_pending.h"

#include "core/charset.h"
#include "core/text.h"
#include "http/download.h"
#include "platform/files.h"

int setExtraCaFile(const char* path, char* errorText) {
    if (errorText) errorText[0] = '\0';
    if (!path || !fileExists(path)) {
        if (errorText) copyBounded(errorText, ERROR_TEXT_SIZE, programText("CA证书文件不存在"));
        return 0;
    }
    return 1;
}

int applyCaFileFromEnvironment(char* errorText) {
    if (errorText) errorText[0] = '\0';
    return 1;
}
