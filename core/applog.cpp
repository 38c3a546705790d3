// app.log beside the program: time-stamped lines, each written whole under the log's mutex.
#include "core/applog.h"

#include "core/appdir.h"
#include "platform/files.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>

FILE* logFile = nullptr;
static std::mutex logMutex;

int openLog() {
    char path[PATH_BUFFER_SIZE];
    if (std::snprintf(path, sizeof path, "%s%capp.log", appDir, PATH_SEPARATOR) >=
        static_cast<int>(sizeof path)) {
        return 0;
    }
    if (fileSize(path) > LOG_MAX_SIZE) removeFile(path);
    FILE* f = openFile(path, "a+b");
    if (!f) return 0;
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile) std::fclose(logFile);
    logFile = f;
    return 1;
}

int formatClock(char* buffer, int size) {
    if (size <= 0) return 0;
    struct tm now;
    localTimeNow(&now);
    size_t n = std::strftime(buffer, static_cast<size_t>(size), "%H:%M:%S", &now);
    buffer[size - 1] = '\0';
    return static_cast<int>(n);
}

void writeLog(const char* message) {
    char prefix[10] = {0};
    formatClock(prefix, sizeof prefix);
    prefix[8] = ' ';
    prefix[9] = '\0';
    std::lock_guard<std::mutex> lock(logMutex);
    if (!logFile) return;
    std::fwrite(prefix, 1, 9, logFile);
    std::fwrite(message, 1, std::strlen(message), logFile);
    std::fwrite("\r\n", 1, 2, logFile);
    std::fflush(logFile);
}

void writeLogFormat(const char* format, ...) {
    char line[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    writeLog(line);
}
