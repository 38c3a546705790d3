// The proxy server the client goes through, chosen at the start of each run from the seller's own
// settings, first match winning:
//   1. vedo-cli migrate --proxy URL / --noproxy LIST (--proxy "" goes direct);
//   2. the environment as curl reads it: http_proxy (lower case only) for http addresses,
//      https_proxy or HTTPS_PROXY for https ones, all_proxy or ALL_PROXY for either, and no_proxy or
//      NO_PROXY for the hosts that go direct;
//   3. the user's own settings of the system (on Windows the Internet Options proxy: one server for
//      all, or one per scheme, the bypass list with <local>, or an auto-configuration script that
//      the system evaluates).
// http addresses go to the proxy as absolute-form requests; https ones through a CONNECT tunnel.
#pragma once

// Where the proxy of the run came from.
enum ProxySource {
    PROXY_SOURCE_NONE,        // no setting names a proxy: every connection goes direct
    PROXY_SOURCE_OPTION,      // --proxy / --noproxy
    PROXY_SOURCE_ENVIRONMENT, // http_proxy, https_proxy, all_proxy, no_proxy
    PROXY_SOURCE_SYSTEM,      // the user's proxy settings of the system
    PROXY_SOURCE_AUTO_CONFIG  // the auto-configuration script named in the user's settings
};

// One proxy server. authorization is the whole Proxy-Authorization value ("Basic ...") when the
// proxy's address carried a user name, else nullptr; it is never written to the log or a report.
struct ProxyServer {
    char* host;
    int port;
    char* authorization;
};

// The port of a proxy address that names none (curl's default).
constexpr int DEFAULT_PROXY_PORT = 1080;
// The longest user name and password a proxy address may carry, together.
constexpr int MAX_PROXY_CREDENTIALS = 256;
// The size of the texts of describeProxyChoice and of the failure texts here.
constexpr int PROXY_TEXT_SIZE = 512;

// Reads "[http://][user[:password]@]host[:port][/]" (user and password percent-encoded) into
// server (allocated strings; freeProxyServer). Returns 1, or 0 with the reason in errorText
// (PROXY_TEXT_SIZE bytes) for another scheme, an empty or bracketed host, a bad port or
// credentials that are too long.
int parseProxyAddress(const char* text, ProxyServer* server, char* errorText);
void freeProxyServer(ProxyServer* server);

// 1 when host is one of the bypass list's hosts. curlStyle 1 reads a no_proxy list: entries apart
// by commas or blanks, "*" for every host, a name that covers its subdomains (a leading dot
// ignored), an IPv4 address or an address/prefix. curlStyle 0 reads a Windows bypass list:
// entries apart by semicolons or blanks, "*" wildcards, and "<local>" for every host without a dot.
// Letter case never matters.
int hostBypassesProxy(const char* host, const char* list, int curlStyle);

// The command line's --proxy and --noproxy for every following run; nullptr for one that was not
// given. Returns 1, or 0 with the reason in errorText when the proxy's address is unusable.
int setProxyOption(const char* proxy, const char* noProxy, char* errorText);

// Chooses the proxy of a run from the option, the environment and the system, in that order. With
// logChoice 1 the log says once which proxy the run uses and where it came from (the host and port
// only), or why a setting that names one is not used.
void chooseProxy(int logChoice);

// The proxy for a connection to host and port (secure 1: https), or 0 for a direct connection.
// On 1 server holds copies (freeProxyServer). An auto-configuration script is evaluated once per
// scheme, host and port in a run.
int proxyFor(const char* host, int port, int secure, ProxyServer* server);

// The run's proxy for the report: the source's name ("option", "environment", "system",
// "auto-config" or "none"), and the http and https proxies as "host:port", each "" when there is none.
const char* proxySourceName();
void describeProxyChoice(char* httpProxy, char* httpsProxy, int size);

// Composes the Proxy-Authorization value for user and password: "Basic " and base64 of
// "user:password". Returns the allocated text.
char* basicProxyAuthorization(const char* user, const char* password);
