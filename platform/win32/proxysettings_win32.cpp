// Proxy settings on Windows: the current user's Internet Options in the registry, read through the
// wide API, and the evaluation of an auto-configuration script through WinHTTP, on a thread of its
// own so that a script or a script server that never answers cannot hold the caller beyond its
// bound.
#include "platform/proxysettings.h"

#include "core/allocate.h"
#include "core/containers.h"
#include "core/scope.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

const wchar_t* const SETTINGS_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
// A setting longer than this is not a proxy setting anyone wrote by hand: it reads as unset.
constexpr DWORD MAX_SETTING_BYTES = 64 * 1024;

// The UTF-8 form of text (count UTF-16 units, or -1 when NUL-terminated), or nullptr when it is
// empty or cannot be converted.
char* utf8FromWide(const wchar_t* text, int count) {
    if (count == 0 || (count < 0 && !*text)) return nullptr;
    int size = WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return nullptr;
    char* out = static_cast<char*>(allocateZeroed(static_cast<size_t>(size) + 1));
    if (WideCharToMultiByte(CP_UTF8, 0, text, count, out, size, nullptr, nullptr) != size) {
        std::free(out);
        return nullptr;
    }
    out[size] = '\0';
    return out;
}

// The UTF-16 form of UTF-8 text, or nullptr when it is not UTF-8.
wchar_t* wideFromUtf8(const char* text) {
    int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (count <= 0) return nullptr;
    wchar_t* out = static_cast<wchar_t*>(allocateZeroed(static_cast<size_t>(count) * sizeof(wchar_t)));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, count) != count) {
        std::free(out);
        return nullptr;
    }
    return out;
}

// A REG_DWORD value; 0 when it is missing or of another type.
DWORD readDword(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return 0;
    return value;
}

// A REG_SZ or REG_EXPAND_SZ value in UTF-8, as written (nothing expanded); nullptr when it is
// missing, empty, of another type or longer than MAX_SETTING_BYTES. The stored text need not end
// in a NUL, and it may change between asking for its size and reading it.
char* readText(HKEY key, const wchar_t* name) {
    for (int attempt = 0; attempt < 3; attempt++) {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return nullptr;
        if ((type != REG_SZ && type != REG_EXPAND_SZ) || size > MAX_SETTING_BYTES) return nullptr;
        // Room for an odd last byte and a closing NUL of our own.
        const DWORD units = (size + 1) / sizeof(wchar_t);
        HeapPointer<wchar_t> text(static_cast<wchar_t*>(allocateZeroed((units + 1) * sizeof(wchar_t))));
        DWORD readSize = size;
        LONG result =
            RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.get()), &readSize);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return nullptr;
        int count = static_cast<int>(readSize / sizeof(wchar_t));
        while (count > 0 && text.get()[count - 1] == L'\0')
            count--;
        // A NUL inside the text ends it, as it does for every reader of the setting.
        int length = 0;
        while (length < count && text.get()[length] != L'\0')
            length++;
        return utf8FromWide(text.get(), length);
    }
    return nullptr;
}

// Copies text into out (size bytes) with a bound; an empty out when size allows nothing more.
void copyBounded(char* out, int size, const char* text, int length) {
    if (!out || size <= 0) return;
    std::snprintf(out, static_cast<size_t>(size), "%.*s", length, text);
}

// The scheme of url ("http" of "http://a/b"), its length in *length; nullptr when it has none.
const char* schemeOf(const char* url, int* length) {
    const char* end = std::strstr(url, "://");
    if (!end || end == url) return nullptr;
    *length = static_cast<int>(end - url);
    return url;
}

// Picks the proxy for url out of a WinHTTP proxy list: entries separated by ';' or blanks, each
// "host:port" or "scheme=host:port". The entry for url's scheme when one names it, else the
// first entry. Returns AUTO_CONFIG_PROXY with the proxy in proxy, or AUTO_CONFIG_DIRECT when the
// chosen entry is DIRECT or the list holds none.
int pickProxy(const char* list, const char* url, char* proxy, int proxySize) {
    int schemeLength = 0;
    const char* scheme = schemeOf(url, &schemeLength);
    const char* first = nullptr;
    int firstLength = 0;
    const char* chosen = nullptr;
    int chosenLength = 0;
    const char* p = list;
    while (*p && !chosen) {
        while (*p == ';' || *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
            p++;
        if (!*p) break;
        const char* start = p;
        while (*p && *p != ';' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n')
            p++;
        int length = static_cast<int>(p - start);
        const char* equals = static_cast<const char*>(std::memchr(start, '=', static_cast<size_t>(length)));
        const char* address = equals ? equals + 1 : start;
        int addressLength = static_cast<int>(start + length - address);
        if (addressLength == 0) continue;
        if (!first) {
            first = address;
            firstLength = addressLength;
        }
        if (equals && scheme && equals - start == schemeLength &&
            _strnicmp(start, scheme, static_cast<size_t>(schemeLength)) == 0) {
            chosen = address;
            chosenLength = addressLength;
        }
    }
    if (!chosen) {
        chosen = first;
        chosenLength = firstLength;
    }
    if (!chosen || (chosenLength == 6 && _strnicmp(chosen, "DIRECT", 6) == 0)) {
        copyBounded(proxy, proxySize, "", 0);
        return AUTO_CONFIG_DIRECT;
    }
    copyBounded(proxy, proxySize, chosen, chosenLength);
    return AUTO_CONFIG_PROXY;
}

constexpr int PROXY_TEXT_SIZE = 1024;
constexpr int ERROR_TEXT_BYTES = 256;

// One evaluation on a thread of its own. The record is shared by the evaluating thread and the
// caller that waits for it, and freed by the last of them to let go: a caller that gives up leaves
// the thread behind with a record of its own to write to.
struct AutoConfigEvaluation {
    wchar_t* scriptUrl;
    wchar_t* url;
    char* urlText;
    std::condition_variable finishedSignal;
    int holders;  // the threads that still hold the record
    int finished; // 1 once the evaluation has returned
    int outcome;  // an AUTO_CONFIG_* value
    char proxy[PROXY_TEXT_SIZE];
    char errorText[ERROR_TEXT_BYTES];
};

// Guards every AutoConfigEvaluation.
std::mutex evaluationMutex;

// Held by the one evaluation that runs. Wine's WinHTTP runs each script through one script slot
// for the whole process (jsproxy.dll): two evaluations at once empty it under each other and fail
// with error 1003. The callers keep their own bound while a thread waits here for its turn.
std::mutex scriptTurnMutex;

// Lets go of the record (under evaluationMutex); the last holder frees it.
void releaseEvaluation(AutoConfigEvaluation* evaluation) {
    if (--evaluation->holders > 0) return;
    std::free(evaluation->scriptUrl);
    std::free(evaluation->url);
    std::free(evaluation->urlText);
    evaluation->~AutoConfigEvaluation();
    std::free(evaluation);
}

// Why WinHttpGetProxyForUrl failed, in a few words.
const char* describeFailure(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
        return "the auto-configuration script could not be downloaded";
    case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
        return "the auto-configuration script failed to run";
    case ERROR_WINHTTP_UNHANDLED_SCRIPT_TYPE:
        return "the auto-configuration script is of an unknown type";
    case ERROR_WINHTTP_SCRIPT_EXECUTION_ERROR:
        return "the auto-configuration script could not be run";
    case ERROR_WINHTTP_AUTODETECTION_FAILED:
        return "no auto-configuration script was found";
    case ERROR_WINHTTP_TIMEOUT:
        return "the auto-configuration script server did not answer in time";
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        return "the address is not one WinHTTP accepts";
    default:
        return "WinHttpGetProxyForUrl failed";
    }
}

// Runs the script through WinHTTP on the evaluating thread, into buffers of its own (proxy holds
// PROXY_TEXT_SIZE bytes, errorText ERROR_TEXT_BYTES).
void evaluate(AutoConfigEvaluation* evaluation, int* outcome, char* proxy, char* errorText) {
    HINTERNET session =
        WinHttpOpen(L"vedo", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        std::snprintf(errorText, ERROR_TEXT_BYTES, "WinHttpOpen failed (error %lu)", GetLastError());
        *outcome = AUTO_CONFIG_FAILED;
        return;
    }
    auto closeSession = onScopeExit([&] { WinHttpCloseHandle(session); });
    const int wait = AUTO_CONFIG_WAIT_MILLISECONDS;
    WinHttpSetTimeouts(session, wait, wait, wait, wait);
    WINHTTP_AUTOPROXY_OPTIONS options;
    std::memset(&options, 0, sizeof options);
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = evaluation->scriptUrl;
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info;
    std::memset(&info, 0, sizeof info);
    if (!WinHttpGetProxyForUrl(session, evaluation->url, &options, &info)) {
        DWORD error = GetLastError();
        std::snprintf(errorText, ERROR_TEXT_BYTES, "%s (error %lu)", describeFailure(error), error);
        *outcome = AUTO_CONFIG_FAILED;
        return;
    }
    auto freeInfo = onScopeExit([&] {
        if (info.lpszProxy) GlobalFree(info.lpszProxy);
        if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    });
    HeapPointer<char> list;
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy)
        list.reset(utf8FromWide(info.lpszProxy, -1));
    *outcome = pickProxy(list ? list.get() : "", evaluation->urlText, proxy, PROXY_TEXT_SIZE);
}

void runEvaluation(AutoConfigEvaluation* evaluation) {
    int outcome = AUTO_CONFIG_FAILED;
    char proxy[PROXY_TEXT_SIZE] = "";
    char errorText[ERROR_TEXT_BYTES] = "";
    {
        std::lock_guard<std::mutex> turn(scriptTurnMutex);
        int abandoned;
        {
            std::lock_guard<std::mutex> lock(evaluationMutex);
            abandoned = evaluation->holders < 2;
        }
        // No one waits for an answer any more: the turn goes to the next evaluation at once.
        if (!abandoned) evaluate(evaluation, &outcome, proxy, errorText);
    }
    std::lock_guard<std::mutex> lock(evaluationMutex);
    evaluation->outcome = outcome;
    std::snprintf(evaluation->proxy, sizeof evaluation->proxy, "%s", proxy);
    std::snprintf(evaluation->errorText, sizeof evaluation->errorText, "%s", errorText);
    evaluation->finished = 1;
    evaluation->finishedSignal.notify_all();
    releaseEvaluation(evaluation);
}

} // namespace

int readSystemProxySettings(SystemProxySettings* settings) {
    std::memset(settings, 0, sizeof *settings);
    HKEY key = nullptr;
    // A user without the key (or one the system will not open) has no proxy of their own.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return 1;
    auto closeKey = onScopeExit([&] { RegCloseKey(key); });
    settings->enabled = readDword(key, L"ProxyEnable") != 0 ? 1 : 0;
    settings->server = readText(key, L"ProxyServer");
    settings->bypass = readText(key, L"ProxyOverride");
    settings->autoConfigUrl = readText(key, L"AutoConfigURL");
    return 1;
}

int evaluateAutoConfigScript(const char* scriptUrl, const char* url, char* proxy, int proxySize,
                             char* errorText, int errorSize, const std::atomic<int>* stopFlag) {
    copyBounded(proxy, proxySize, "", 0);
    copyBounded(errorText, errorSize, "", 0);
    auto fail = [&](const char* why) {
        copyBounded(errorText, errorSize, why, static_cast<int>(std::strlen(why)));
        return AUTO_CONFIG_FAILED;
    };
    if (!scriptUrl || !*scriptUrl || !url || !*url) return fail("no auto-configuration script or address");
    HeapPointer<wchar_t> wideScriptUrl(wideFromUtf8(scriptUrl));
    HeapPointer<wchar_t> wideUrl(wideFromUtf8(url));
    if (!wideScriptUrl || !wideUrl) return fail("the address is not UTF-8 text");

    AutoConfigEvaluation* evaluation =
        new (allocateZeroed(sizeof(AutoConfigEvaluation))) AutoConfigEvaluation();
    evaluation->scriptUrl = wideScriptUrl.release();
    evaluation->url = wideUrl.release();
    evaluation->urlText = duplicateString(url);
    evaluation->holders = 2;
    std::unique_lock<std::mutex> lock(evaluationMutex);
    try {
        std::thread(runEvaluation, evaluation).detach();
    } catch (const std::system_error&) {
        evaluation->holders = 1;
        releaseEvaluation(evaluation);
        return fail("no thread could be started for the auto-configuration script");
    }
    auto start = std::chrono::steady_clock::now();
    int outcome = AUTO_CONFIG_FAILED;
    for (;;) {
        if (evaluation->finished) {
            outcome = evaluation->outcome;
            if (outcome == AUTO_CONFIG_PROXY)
                copyBounded(proxy, proxySize, evaluation->proxy,
                            static_cast<int>(std::strlen(evaluation->proxy)));
            if (outcome == AUTO_CONFIG_FAILED) fail(evaluation->errorText);
            break;
        }
        if (stopFlag && stopFlag->load()) {
            fail("stopped while the auto-configuration script ran");
            break;
        }
        auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        long long left = AUTO_CONFIG_WAIT_MILLISECONDS - static_cast<long long>(waited.count());
        if (left <= 0) {
            char why[128];
            std::snprintf(why, sizeof why, "the auto-configuration script gave no answer within %d ms",
                          AUTO_CONFIG_WAIT_MILLISECONDS);
            fail(why);
            break;
        }
        long long slice =
            left < AUTO_CONFIG_STOP_CHECK_MILLISECONDS ? left : AUTO_CONFIG_STOP_CHECK_MILLISECONDS;
        evaluation->finishedSignal.wait_for(lock, std::chrono::milliseconds(slice));
    }
    releaseEvaluation(evaluation);
    return outcome;
}
