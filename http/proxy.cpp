// The run's proxy: the seller's settings read in their order, bypass lists, and the answers of an
// auto-configuration script.
#include "http/proxy.h"

#include "core/allocate.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/containers.h"
#include "core/scope.h"
#include "core/text.h"
#include "platform/proxysettings.h"
#include "platform/sockets.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

// What --proxy and --noproxy said; given 0 when the option was not on the command line.
struct ProxyOption {
    int proxyGiven;
    char* proxy;
    int noProxyGiven;
    char* noProxy;
};

// The run's choice. A scheme without a proxy has a null host.
struct ProxyChoice {
    int source;
    ProxyServer http;
    ProxyServer https;
    char* bypass;  // the hosts that go direct, nullptr for none
    int curlStyle; // how bypass is read (hostBypassesProxy)
    char* autoConfigUrl;
    // "http://host:port" or "https://host:port" -> the script's ProxyServer* (a null host: direct)
    HashMap* autoConfigAnswers;
    int autoConfigFailureLogged;
    int logChoice;
};

static std::mutex proxyMutex; // guards option and choice
static ProxyOption option = {0, nullptr, 0, nullptr};
static ProxyChoice choice = {
    PROXY_SOURCE_NONE, {nullptr, 0, nullptr}, {nullptr, 0, nullptr}, nullptr, 1, nullptr, nullptr, 0, 0};

static int lowerCase(int c) {
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

// Percent-decodes [begin, end); a "%" without two hexadecimal digits stays as it is.
static std::string percentDecoded(const char* begin, const char* end) {
    std::string decoded;
    for (const char* p = begin; p < end; p++) {
        if (*p == '%' && end - p >= 3 && hexDigitValue(p[1]) >= 0 && hexDigitValue(p[2]) >= 0) {
            decoded.push_back(static_cast<char>(hexDigitValue(p[1]) * 16 + hexDigitValue(p[2])));
            p += 2;
        } else {
            decoded.push_back(*p);
        }
    }
    return decoded;
}

char* basicProxyAuthorization(const char* user, const char* password) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string plain = std::string(user) + ":" + password;
    std::string text = "Basic ";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(plain.data());
    size_t length = plain.size();
    for (size_t i = 0; i < length; i += 3) {
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (i + 1 < length) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < length) group |= bytes[i + 2];
        text.push_back(alphabet[(group >> 18) & 63]);
        text.push_back(alphabet[(group >> 12) & 63]);
        text.push_back(i + 1 < length ? alphabet[(group >> 6) & 63] : '=');
        text.push_back(i + 2 < length ? alphabet[group & 63] : '=');
    }
    return duplicateString(text.c_str());
}

// The first c in [begin, end), or nullptr.
static const char* findCharacter(const char* begin, const char* end, char c) {
    for (const char* p = begin; p < end; p++) {
        if (*p == c) return p;
    }
    return nullptr;
}

static int isHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

int parseProxyAddress(const char* text, ProxyServer* server, char* errorText) {
    std::memset(server, 0, sizeof *server);
    if (!text) text = "";
    while (*text == ' ' || *text == '\t')
        text++;
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        length--;
    std::string address(text, length);
    const char* begin = address.c_str();
    const char* schemeEnd = std::strstr(begin, "://");
    if (schemeEnd) {
        if (!(schemeEnd - begin == 4 && equalIgnoreCase(begin, "http", 4))) {
            std::snprintf(errorText, PROXY_TEXT_SIZE,
                          programText("不支持的代理协议：%.*s（只支持 http 代理）"),
                          static_cast<int>(schemeEnd - begin < 32 ? schemeEnd - begin : 32), begin);
            return 0;
        }
        begin = schemeEnd + 3;
    }
    const char* end = begin;
    while (*end && *end != '/' && *end != '?' && *end != '#')
        end++;
    const char* hostBegin = begin;
    const char* at = nullptr;
    for (const char* p = begin; p < end; p++) {
        if (*p == '@') at = p;
    }
    std::string user, password;
    int withCredentials = 0;
    if (at) {
        if (at - begin > MAX_PROXY_CREDENTIALS) {
            std::snprintf(errorText, PROXY_TEXT_SIZE,
                          programText("代理地址中的用户名和密码过长（最多 %d 字节）"), MAX_PROXY_CREDENTIALS);
            return 0;
        }
        const char* colon = findCharacter(begin, at, ':');
        user = percentDecoded(begin, colon ? colon : at);
        if (colon) password = percentDecoded(colon + 1, at);
        withCredentials = 1;
        hostBegin = at + 1;
    }
    if (hostBegin < end && *hostBegin == '[') {
        std::snprintf(errorText, PROXY_TEXT_SIZE, programText("不支持IPv6地址的代理服务器"));
        return 0;
    }
    const char* colon = findCharacter(hostBegin, end, ':');
    const char* hostEnd = colon ? colon : end;
    if (hostEnd == hostBegin) {
        std::snprintf(errorText, PROXY_TEXT_SIZE, programText("代理地址中没有服务器名"));
        return 0;
    }
    for (const char* p = hostBegin; p < hostEnd; p++) {
        if (!isHostCharacter(*p)) {
            std::snprintf(errorText, PROXY_TEXT_SIZE, programText("代理服务器名中有不允许的字符"));
            return 0;
        }
    }
    int port = DEFAULT_PROXY_PORT;
    if (colon) {
        port = 0;
        const char* p = colon + 1;
        int digits = 0;
        for (; p < end && *p >= '0' && *p <= '9' && digits < 6; p++, digits++)
            port = port * 10 + (*p - '0');
        if (p != end || digits == 0 || port < 1 || port > 65535) {
            std::snprintf(errorText, PROXY_TEXT_SIZE, programText("代理地址中的端口无效"));
            return 0;
        }
    }
    server->host = duplicateString(std::string(hostBegin, static_cast<size_t>(hostEnd - hostBegin)).c_str());
    server->port = port;
    if (withCredentials) server->authorization = basicProxyAuthorization(user.c_str(), password.c_str());
    return 1;
}

void freeProxyServer(ProxyServer* server) {
    if (!server) return;
    std::free(server->host);
    freeSecretText(server->authorization);
    std::memset(server, 0, sizeof *server);
}

static void copyProxyServer(const ProxyServer* from, ProxyServer* to) {
    to->host = from->host ? duplicateString(from->host) : nullptr;
    to->port = from->port;
    to->authorization = from->authorization ? duplicateString(from->authorization) : nullptr;
}

// 1 when text holds an IPv4 address; its value, most significant byte first, in *address.
static int ipv4Of(const std::string& text, uint32_t* address) {
    uint32_t networkOrder = 0;
    if (!parseIpv4Address(text.c_str(), &networkOrder)) return 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&networkOrder);
    *address = (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
               (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
    return 1;
}

// "address/bits" of a no_proxy list against an IPv4 host.
static int inAddressBlock(const std::string& entry, const std::string& host) {
    size_t slash = entry.find('/');
    uint32_t network = 0, target = 0;
    if (!ipv4Of(entry.substr(0, slash), &network) || !ipv4Of(host, &target)) return 0;
    std::string bitsText = entry.substr(slash + 1);
    if (bitsText.empty() || bitsText.size() > 2 ||
        bitsText.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    int bits = std::atoi(bitsText.c_str());
    if (bits > 32) return 0;
    uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
    return (network & mask) == (target & mask);
}

// Wildcard match of a Windows bypass entry, letter case ignored: "*" stands for any run of characters.
static int wildcardMatches(const char* pattern, const char* text) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*text) {
        if (*pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (*pattern && lowerCase(static_cast<unsigned char>(*pattern)) ==
                                   lowerCase(static_cast<unsigned char>(*text))) {
            pattern++;
            text++;
        } else if (star) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return 0;
        }
    }
    while (*pattern == '*')
        pattern++;
    return *pattern == '\0';
}

static int curlEntryMatches(std::string entry, const std::string& host) {
    if (entry == "*") return 1;
    if (entry.find('/') != std::string::npos) return inAddressBlock(entry, host);
    while (!entry.empty() && entry[0] == '.')
        entry.erase(0, 1);
    while (!entry.empty() && entry.back() == '.')
        entry.pop_back();
    if (entry.empty()) return 0;
    if (host.size() == entry.size()) return equalIgnoreCase(host.c_str(), entry.c_str(), host.size());
    // A name covers its subdomains, at a dot.
    if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.') {
        uint32_t address = 0;
        if (ipv4Of(host, &address)) return 0;
        return equalIgnoreCase(host.c_str() + host.size() - entry.size(), entry.c_str(), entry.size());
    }
    return 0;
}

static int windowsEntryMatches(std::string entry, const std::string& host) {
    if (equalIgnoreCase(entry.c_str(), "<local>", entry.size()) && entry.size() == 7)
        return host.find('.') == std::string::npos;
    if (entry.size() > 7 && equalIgnoreCase(entry.c_str(), "http://", 7)) entry.erase(0, 7);
    if (entry.size() > 8 && equalIgnoreCase(entry.c_str(), "https://", 8)) entry.erase(0, 8);
    return wildcardMatches(entry.c_str(), host.c_str());
}

int hostBypassesProxy(const char* host, const char* list, int curlStyle) {
    if (!host || !list) return 0;
    std::string name(host);
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    const char* separators = curlStyle ? ", \t" : "; \t";
    const char* p = list;
    while (*p) {
        size_t skip = std::strspn(p, separators);
        p += skip;
        size_t length = std::strcspn(p, separators);
        if (length == 0) break;
        std::string entry(p, length);
        p += length;
        if (curlStyle ? curlEntryMatches(entry, name) : windowsEntryMatches(entry, name)) return 1;
    }
    return 0;
}

int setProxyOption(const char* proxy, const char* noProxy, char* errorText) {
    if (proxy && *proxy) {
        ProxyServer checked;
        if (!parseProxyAddress(proxy, &checked, errorText)) return 0;
        freeProxyServer(&checked);
    }
    std::lock_guard<std::mutex> lock(proxyMutex);
    std::free(option.proxy);
    std::free(option.noProxy);
    option.proxyGiven = proxy ? 1 : 0;
    option.proxy = proxy ? duplicateString(proxy) : nullptr;
    option.noProxyGiven = noProxy ? 1 : 0;
    option.noProxy = noProxy ? duplicateString(noProxy) : nullptr;
    return 1;
}

// Forgets the choice of the last run; proxyMutex held.
static void clearChoice() {
    freeProxyServer(&choice.http);
    freeProxyServer(&choice.https);
    std::free(choice.bypass);
    std::free(choice.autoConfigUrl);
    if (choice.autoConfigAnswers) {
        KeyListNode* keys = hashMapKeys(choice.autoConfigAnswers);
        for (KeyListNode* node = keys; node; node = node->next) {
            ProxyServer* answer = static_cast<ProxyServer*>(hashMapGet(choice.autoConfigAnswers, node->key));
            freeProxyServer(answer);
            std::free(answer);
        }
        hashMapFreeKeyList(keys);
        hashMapDestroy(choice.autoConfigAnswers, 1, 0);
    }
    int logChoice = choice.logChoice;
    std::memset(&choice, 0, sizeof choice);
    choice.curlStyle = 1;
    choice.logChoice = logChoice;
}

// Reads one proxy address of a setting into server; one that cannot be used is logged (when the
// run logs its choice) and leaves the scheme direct.
static void takeProxyAddress(const char* text, const char* settingName, ProxyServer* server) {
    char errorText[PROXY_TEXT_SIZE] = {0};
    if (parseProxyAddress(text, server, errorText)) return;
    if (choice.logChoice)
        writeLogFormat(programText("%s 中的代理地址无法使用（%s），直接连接。"), settingName, errorText);
}

// The first of the environment variables that is set and not empty, or nullptr; its name in *name.
static const char* firstVariable(const char* const* names, int count, const char** name) {
    for (int i = 0; i < count; i++) {
        const char* value = std::getenv(names[i]);
        if (value && *value) {
            *name = names[i];
            return value;
        }
    }
    return nullptr;
}

// The environment as curl reads it. Returns 1 when it names a proxy for either scheme.
static int chooseFromEnvironment() {
    static const char* const httpNames[] = {"http_proxy", "all_proxy", "ALL_PROXY"};
    static const char* const httpsNames[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    static const char* const bypassNames[] = {"no_proxy", "NO_PROXY"};
    const char* httpName = nullptr;
    const char* httpsName = nullptr;
    const char* bypassName = nullptr;
    const char* http = firstVariable(httpNames, 3, &httpName);
    const char* https = firstVariable(httpsNames, 4, &httpsName);
    if (!http && !https) return 0;
    choice.source = PROXY_SOURCE_ENVIRONMENT;
    if (http) takeProxyAddress(http, httpName, &choice.http);
    if (https) takeProxyAddress(https, httpsName, &choice.https);
    const char* bypass = firstVariable(bypassNames, 2, &bypassName);
    if (bypass) choice.bypass = duplicateString(bypass);
    choice.curlStyle = 1;
    return 1;
}

// A ProxyServer value of the system's settings: "host:port" for every scheme, or per scheme
// "http=host:port;https=host:port;...". Returns 1 when it names a proxy for either scheme.
static int chooseFromSystemServer(const char* server) {
    if (!std::strchr(server, '=')) {
        takeProxyAddress(server, "ProxyServer", &choice.http);
        if (choice.http.host) copyProxyServer(&choice.http, &choice.https);
    } else {
        const char* p = server;
        while (*p) {
            p += std::strspn(p, "; \t");
            size_t length = std::strcspn(p, "; \t");
            if (length == 0) break;
            std::string entry(p, length);
            p += length;
            size_t equals = entry.find('=');
            if (equals == std::string::npos) continue;
            std::string scheme = entry.substr(0, equals);
            std::string address = entry.substr(equals + 1);
            if (scheme.size() == 4 && equalIgnoreCase(scheme.c_str(), "http", 4) && !choice.http.host) {
                takeProxyAddress(address.c_str(), "ProxyServer", &choice.http);
            } else if (scheme.size() == 5 && equalIgnoreCase(scheme.c_str(), "https", 5) &&
                       !choice.https.host) {
                takeProxyAddress(address.c_str(), "ProxyServer", &choice.https);
            }
        }
    }
    return choice.http.host || choice.https.host;
}

static void chooseFromSystem() {
    SystemProxySettings settings;
    if (!readSystemProxySettings(&settings)) return;
    auto release = onScopeExit([&] { freeSystemProxySettings(&settings); });
    if (settings.autoConfigUrl) {
        choice.source = PROXY_SOURCE_AUTO_CONFIG;
        choice.autoConfigUrl = duplicateString(settings.autoConfigUrl);
        choice.autoConfigAnswers = hashMapCreateDefault(stringHash, stringEquals);
    } else if (settings.enabled && settings.server && chooseFromSystemServer(settings.server)) {
        choice.source = PROXY_SOURCE_SYSTEM;
    } else {
        freeProxyServer(&choice.http);
        freeProxyServer(&choice.https);
        return;
    }
    if (settings.bypass) choice.bypass = duplicateString(settings.bypass);
    choice.curlStyle = 0;
}

const char* proxySourceName() {
    std::lock_guard<std::mutex> lock(proxyMutex);
    switch (choice.source) {
    case PROXY_SOURCE_OPTION:
        return "option";
    case PROXY_SOURCE_ENVIRONMENT:
        return "environment";
    case PROXY_SOURCE_SYSTEM:
        return "system";
    case PROXY_SOURCE_AUTO_CONFIG:
        return "auto-config";
    default:
        return "none";
    }
}

static void hostAndPort(const ProxyServer* server, char* text, int size) {
    if (server->host) {
        std::snprintf(text, static_cast<size_t>(size), "%s:%d", server->host, server->port);
    } else if (size > 0) {
        text[0] = '\0';
    }
}

void describeProxyChoice(char* httpProxy, char* httpsProxy, int size) {
    std::lock_guard<std::mutex> lock(proxyMutex);
    hostAndPort(&choice.http, httpProxy, size);
    hostAndPort(&choice.https, httpsProxy, size);
}

// The log line of the run's choice; proxyMutex held.
static void logChoice() {
    if (choice.source == PROXY_SOURCE_NONE) return;
    static const char* const sourceTexts[] = {"", "命令行 --proxy", "环境变量", "系统的代理设置",
                                              "系统的代理设置"};
    const char* source = programText(sourceTexts[choice.source]);
    if (choice.source == PROXY_SOURCE_AUTO_CONFIG) {
        writeLogFormat(programText("代理服务器：由自动配置脚本 %s 决定（来源：%s）"), choice.autoConfigUrl,
                       source);
        return;
    }
    char http[PROXY_TEXT_SIZE], https[PROXY_TEXT_SIZE];
    hostAndPort(&choice.http, http, sizeof http);
    hostAndPort(&choice.https, https, sizeof https);
    if (!http[0] && !https[0]) return;
    writeLogFormat(programText("代理服务器：http 地址经 %s，https 地址经 %s（来源：%s）"),
                   http[0] ? http : programText("直接连接"), https[0] ? https : programText("直接连接"),
                   source);
}

void chooseProxy(int logIt) {
    std::lock_guard<std::mutex> lock(proxyMutex);
    clearChoice();
    choice.logChoice = logIt;
    if (option.proxyGiven) {
        choice.source = PROXY_SOURCE_OPTION;
        if (option.proxy && *option.proxy) {
            takeProxyAddress(option.proxy, "--proxy", &choice.http);
            copyProxyServer(&choice.http, &choice.https);
        }
    } else if (!chooseFromEnvironment()) {
        chooseFromSystem();
    }
    if (option.noProxyGiven) {
        // --noproxy replaces the bypass list of whichever setting names the proxy.
        std::free(choice.bypass);
        choice.bypass = duplicateString(option.noProxy ? option.noProxy : "");
        choice.curlStyle = 1;
    }
    if (choice.logChoice) logChoice();
}

// The auto-configuration script's answer for the scheme, host and port, evaluated at the first
// connection of the run. Returns 1 with a copy in server when the answer is a proxy.
static int autoConfigProxyFor(const char* host, int port, int secure, ProxyServer* server,
                              const std::atomic<int>* stopFlag) {
    char url[PROXY_TEXT_SIZE];
    std::snprintf(url, sizeof url, "%s://%s:%d/", secure ? "https" : "http", host, port);
    std::string scriptUrl;
    {
        std::lock_guard<std::mutex> lock(proxyMutex);
        if (!choice.autoConfigAnswers) return 0;
        ProxyServer* known = static_cast<ProxyServer*>(hashMapGet(choice.autoConfigAnswers, url));
        if (known) {
            if (!known->host) return 0;
            copyProxyServer(known, server);
            return 1;
        }
        scriptUrl = choice.autoConfigUrl;
    }
    char answer[PROXY_TEXT_SIZE] = {0};
    char errorText[PROXY_TEXT_SIZE] = {0};
    int result = evaluateAutoConfigScript(scriptUrl.c_str(), url, answer, sizeof answer, errorText,
                                          sizeof errorText, stopFlag);
    // A stop is no answer of the script: nothing is kept or logged.
    if (result == AUTO_CONFIG_FAILED && stopFlag && stopFlag->load()) return 0;
    ProxyServer* entry = static_cast<ProxyServer*>(allocateZeroed(sizeof(ProxyServer)));
    std::lock_guard<std::mutex> lock(proxyMutex);
    if (result == AUTO_CONFIG_PROXY && !parseProxyAddress(answer, entry, errorText))
        result = AUTO_CONFIG_FAILED;
    if (result == AUTO_CONFIG_FAILED && !choice.autoConfigFailureLogged) {
        choice.autoConfigFailureLogged = 1;
        if (choice.logChoice)
            writeLogFormat(programText("自动配置脚本 %s 无法决定代理服务器（%s），直接连接。"),
                           scriptUrl.c_str(), errorText);
    }
    if (result == AUTO_CONFIG_PROXY && choice.logChoice)
        writeLogFormat(programText("自动配置脚本为 %s 选择了代理服务器 %s:%d"), url, entry->host,
                       entry->port);
    // Another connection may have stored the answer meanwhile, or a new run dropped the table.
    if (!choice.autoConfigAnswers || hashMapContains(choice.autoConfigAnswers, url)) {
        int proxied = entry->host != nullptr;
        if (proxied) copyProxyServer(entry, server);
        freeProxyServer(entry);
        std::free(entry);
        return proxied;
    }
    hashMapPut(choice.autoConfigAnswers, duplicateString(url), entry);
    if (!entry->host) return 0;
    copyProxyServer(entry, server);
    return 1;
}

int proxyFor(const char* host, int port, int secure, ProxyServer* server, const std::atomic<int>* stopFlag) {
    std::memset(server, 0, sizeof *server);
    if (!host || !*host) return 0;
    int autoConfig;
    {
        std::lock_guard<std::mutex> lock(proxyMutex);
        if (choice.source == PROXY_SOURCE_NONE) return 0;
        if (choice.bypass && hostBypassesProxy(host, choice.bypass, choice.curlStyle)) return 0;
        autoConfig = choice.source == PROXY_SOURCE_AUTO_CONFIG;
        if (!autoConfig) {
            const ProxyServer* chosen = secure ? &choice.https : &choice.http;
            if (!chosen->host) return 0;
            copyProxyServer(chosen, server);
            return 1;
        }
    }
    return autoConfigProxyFor(host, port, secure, server, stopFlag);
}
