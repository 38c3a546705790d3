// Any bytes as the server's whole answer to fetchText: the record is always whole, a success holds
// exactly the announced body, and a failure holds a text.
#include "http/download.h"
#include "http/fetch.h"
#include "replayserver.h"
#include "support/fuzzwindow.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ReplayServer* server = replayServer();
    static const std::string address =
        "http://127.0.0.1:" + std::to_string(server->port) + "/checkUpdate.asp?v=6.9";
    setReplay(server, data, size);

    FetchResult* result = fetchText(address.c_str());
    FUZZ_CHECK(result != nullptr);
    FUZZ_CHECK(result->text != nullptr);
    if (result->ok) {
        FUZZ_CHECK(result->errorKind == 0);
        FUZZ_CHECK(result->length >= 0 && result->length <= MAX_IMAGE_SIZE);
        FUZZ_CHECK(result->text[result->length] == '\0');
        FUZZ_CHECK(result->head != nullptr);
        // The body is what follows the head's blank line.
        std::string answer(reinterpret_cast<const char*>(data), size);
        size_t headEnd = answer.find("\r\n\r\n");
        FUZZ_CHECK(headEnd != std::string::npos);
        FUZZ_CHECK(answer.compare(headEnd + 4, static_cast<size_t>(result->length), result->text,
                                  static_cast<size_t>(result->length)) == 0);
    } else {
        FUZZ_CHECK(result->errorKind == FETCH_ADDRESS_OR_CONNECTION ||
                   result->errorKind == FETCH_AFTER_REQUEST);
        FUZZ_CHECK(result->length == 0);
        FUZZ_CHECK(result->text[0] != '\0');
    }
    freeFetchResult(result);
    return 0;
}
