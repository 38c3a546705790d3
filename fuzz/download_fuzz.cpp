// Any bytes as the server's whole answer to downloadImage: the call ends with one of its results,
// a failure never leaves the file behind, and a stored file is a supported image within the size
// limit.
#include "http/download.h"
#include "platform/files.h"
#include "downloadcheck.h"
#include "replayserver.h"
#include "support/fuzzwindow.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ReplayServer* server = replayServer();
    static const std::string dest = fuzzScratchFile("download.jpg");
    static const std::string address =
        "http://127.0.0.1:" + std::to_string(server->port) + "/i/a.jpg?x=1&amp;y=2";
    setReplay(server, data, size);

    checkDownload(address, dest, 0);
    return 0;
}
