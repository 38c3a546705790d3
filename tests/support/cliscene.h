// The ground of a vedo-cli test: a copy of the program in a folder of its own (so that its app.log
// and backup folder are the test's), a package path, an image folder and a scripted image server.
#pragma once
#include "support/testfiles.h"
#include "tools/support/testserver.h"

#include <filesystem>
#include <string>

struct CliScene {
    std::string dir;
    std::string programDir;
    std::string program;
    std::string folder;
    std::string package;
    TestServer server;

    explicit CliScene(const char* tag)
        : dir(makeTempDir(tag)), programDir(joinPath(dir, "program")), folder(joinPath(dir, "images")),
          package(joinPath(dir, "shop.csv")) {
        namespace fs = std::filesystem;
        fs::create_directories(programDir);
        fs::create_directories(folder);
        std::string source = VEDO_CLI_PATH;
        program = joinPath(programDir, fs::path(source).filename().string());
        fs::copy_file(source, program);
        startTestServer(server);
    }
    ~CliScene() {
        stopTestServer(server);
        removeTree(dir);
    }
};
