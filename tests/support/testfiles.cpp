// Scratch folders and whole-file writing for tests.
#include "testfiles.h"

#include "core/charset.h"
#include "platform/files.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

int runCommandLine(const std::string& line) {
#ifdef _WIN32
    // cmd /c drops the first and the last quote of a command that begins with one.
    std::string quoted = "\"" + line + "\"";
    int status = -1;
    for (int attempt = 0; attempt < 3 && status == -1; attempt++)
        status = std::system(quoted.c_str());
    return status;
#else
    int rc = std::system(line.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
}

void setEnvironmentVariable(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

// The tests never go through a proxy of the machine they run on: the proxy tests name their own.
static const int proxyVariablesCleared = [] {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"})
        setEnvironmentVariable(name, nullptr);
    return 1;
}();

std::string makeTempDir(const char* tag) {
    static std::atomic<int> counter{0};
    fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 1000; attempt++) {
        char name[128];
        std::snprintf(name, sizeof name, "vedo-test-%s-%ld-%d", tag, static_cast<long>(std::rand() % 100000),
                      counter++);
        fs::path dir = base / name;
        std::error_code ec;
        if (fs::create_directory(dir, ec)) return dir.string();
    }
    throw std::runtime_error("cannot create a temporary folder");
}

void removeTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(fs::path(path), ec);
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
    FILE* f = openFile(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder + PATH_SEPARATOR + name;
}

static std::string convertAll(const char* from, const char* to, const std::string& input) {
    std::string out;
    if (convertText(from, to, input.data(), input.size(), &out) < 0)
        throw std::runtime_error("conversion failed");
    return out;
}

std::string utf8ToEngine(const std::string& utf8) {
    return convertAll("UTF-8", engineCharset(), utf8);
}

std::string engineToUtf8(const std::string& engine) {
    return convertAll(engineCharset(), "UTF-8", engine);
}

std::string utf8ToUtf16leWithBom(const std::string& utf8) {
    return std::string("\xFF\xFE", 2) + convertAll("UTF-8", "UTF-16LE", utf8);
}

std::string utf16leWithBomToUtf8(const std::string& bytes) {
    return bytes.size() < 2 ? std::string() : convertAll("UTF-16LE", "UTF-8", bytes.substr(2));
}

std::string csvQuoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}
