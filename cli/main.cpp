// vedo-cli: the headless front end over the engine. app.log and everything else that lives beside
// the program lives beside this binary.
#include "cli/cliwindow.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "core/allocate.h"
#include "core/appdir.h"
#include "core/applog.h"
#include "core/charset.h"
#include "http/connection.h"
#include "http/download.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
// windows.h first: shellapi.h builds on its types.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#endif

namespace {

// The command line as engine text: from the UTF-16 command line on Windows, from UTF-8 elsewhere.
// The strings live as long as the process.
char** engineArguments(int argc, char** argv, int* count) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int wideCount = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (!wide) {
        *count = 0;
        return nullptr;
    }
    char** out = static_cast<char**>(allocateZeroed((static_cast<size_t>(wideCount) + 1) * sizeof(char*)));
    for (int i = 0; i < wideCount; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        char* utf8 = static_cast<char*>(allocateZeroed(static_cast<size_t>(n > 0 ? n : 1)));
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8, n, nullptr, nullptr);
        char* engine = engineFromUtf8(utf8);
        out[i] = engine ? engine : utf8;
        if (engine) std::free(utf8);
    }
    LocalFree(wide);
    *count = wideCount;
    return out;
#else
    char** out = static_cast<char**>(allocateZeroed((static_cast<size_t>(argc) + 1) * sizeof(char*)));
    for (int i = 0; i < argc; i++) {
        char* engine = engineFromUtf8(argv[i]);
        out[i] = engine ? engine : argv[i];
    }
    *count = argc;
    return out;
#endif
}

int usage(FILE* out) {
    std::fputs(
        "usage: vedo-cli COMMAND [ARGUMENTS]\n"
        "\n"
        "commands:\n"
        "  inspect PACKAGE.csv [--https] [--json]\n"
        "                                 print the items of a data package with their image addresses\n"
        "  migrate PACKAGE.csv FOLDER [--only-image-space | --only-third-party] [--blank-failed]\n"
        "          [--https] [--cacert FILE.pem] [--connect-to HOST:PORT:HOST2:PORT2]...\n"
        "          [--connections N] [--proxy URL] [--noproxy LIST] [--json]\n"
        "                                 move the package's images into FOLDER and rewrite the package\n"
        "\n"
        "  --https      also https:// and protocol-relative (//host/...) image addresses\n"
        "  --cacert     trust the CA certificates of FILE.pem besides the system's\n"
        "  --connections N  downloads in flight, one connection each (1 to 8, default 6)\n"
        "  --proxy URL  go through the http proxy http://[user:password@]host[:port]; \"\" for none\n"
        "  --noproxy LIST  hosts that go direct (commas apart, as curl reads no_proxy)\n"
        "  without --proxy: http_proxy, https_proxy, all_proxy, no_proxy as curl reads them, then\n"
        "  (Windows) the Internet Options proxy\n"
        "  VEDO_CA_FILE in the environment names such a file for both commands\n",
        out);
    return EXIT_USAGE;
}

int dispatch(int count, char** args) {
    if (!args || count < 2) return usage(stderr);
    const char* command = args[1];
    if (std::strcmp(command, "inspect") == 0) return runInspect(count - 2, args + 2);
    if (std::strcmp(command, "migrate") == 0) return runMigrate(count - 2, args + 2);
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "help") == 0) {
        usage(stdout);
        return 0;
    }
    std::fputs("vedo-cli: unknown command\n", stderr);
    return usage(stderr);
}

// Releases what engineArguments made; an argument that could not be converted is argv's own.
void freeArguments(char** args, int argc, char** argv) {
    if (!args) return;
    for (int i = 0; args[i]; i++) {
        bool own = true;
        for (int k = 0; k < argc; k++)
            own = own && args[i] != argv[k];
        if (own) std::free(args[i]);
    }
    std::free(args);
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#else
    // A reader that goes away (`vedo-cli migrate ... | head`) must not end a run before its package
    // is written back: writes to the closed pipe fail instead, and the output just stops.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    initAppDir();
    if (!openLog()) {
        windowShowMessage(programText("无法打开应用日志文件：app.log"), programText("错误"), ICON_ERROR);
        windowEndProcess(1);
    }
    char caError[ERROR_TEXT_SIZE] = {0};
    if (!applyCaFileFromEnvironment(caError)) {
        std::fputs("vedo-cli: VEDO_CA_FILE: ", stderr);
        writeUtf8Text(stderr, caError);
        std::fputc('\n', stderr);
        return 1;
    }
    int count = 0;
    char** args = engineArguments(argc, argv, &count);
    int status = dispatch(count, args);
    freeArguments(args, argc, argv);
    return status;
}
