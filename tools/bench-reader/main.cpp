// Times readPackage on a large generated package and measures its peak memory, next to the
// conversion of the same file by iconv(1) in the same run.
//
//   bench-reader [ITEMS]        (10,000 by default: about 100 MB of UTF-16LE)
//   bench-reader --generate PATH [ITEMS]     writes the package only, for profiling
//   bench-reader --load PATH                 one timed load, as the child runs it
//
// The package has 67 columns like a Taobao Assistant export; each item's description holds 20
// distinct image addresses in every kind of markup the reader knows (and some repeats), its mobile
// details 5. Each load runs in a fresh child process, so its peak resident size is the load's own.
// Targets: the load takes at most 1.5 times the iconv conversion (the median of five runs, each
// conversion right before its load), and its peak memory stays under the file's size. The exit
// status is 0 when both hold, 1 otherwise.
#include "core/charset.h"
#include "core/containers.h"
#include "migration/jobwindow.h"
#include "package/item.h"
#include "package/reader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// The window side: the benchmark shows nothing (tools/support/quietwindow.cpp) but its messages.
void windowShowMessage(const char* text, const char* caption, int) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
}
void windowEndProcess(int status) {
    std::exit(status == 0 ? 1 : status);
}

#ifdef _WIN32

int main() {
    std::fputs("bench-reader runs on Linux only (it measures a child process through /proc)\n", stderr);
    return 1;
}

#else

namespace {

constexpr int DESC_ADDRESSES = 20;
constexpr int MOBILE_ADDRESSES = 5;
constexpr int RUNS = 5;
constexpr double TIME_TARGET = 1.5;   // the load against iconv(1)
constexpr double MEMORY_TARGET = 1.0; // the peak against the file's size

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string address(int item, int n) {
    char buffer[160];
    if (n % 7 == 6) {
        std::snprintf(buffer, sizeof buffer, "http://img.shop%d.example.cn/upload/%06d/detail-%02d.jpg",
                      item % 50, item, n);
    } else {
        std::snprintf(buffer, sizeof buffer,
                      "http://img.alicdn.com/imgextra/i%d/2206%06d/O1CN01x%06dn%02d_!!2206%06d.jpg",
                      1 + n % 4, item, item, n, item);
    }
    return buffer;
}

// A description in the CSV's own spelling (quotes doubled), about 4,000 characters.
std::string description(int item) {
    static const char* const paragraph =
        "<p style=\"\"font-size:14px;color:#333\"\">本店所有商品均为实物拍摄，支持七天无理由退换货。"
        "面料柔软亲肤，做工精细，走线平整，适合日常通勤与休闲出行。</p>";
    std::string out = "<div class=\"\"detail\"\">";
    for (int n = 0; n < DESC_ADDRESSES; n++) {
        const std::string a = address(item, n);
        out += paragraph;
        switch (n % 10) {
        case 7:
            out += "<img src='" + a + "' width='750'>";
            break;
        case 8:
            out += "<img align=absmiddle src=" + a + " width=750>";
            break;
        case 9:
            out += (n < 10 ? "<table background=\"\"" + a + "\"\"><tr><td>尺码表</td></tr></table>"
                           : "<div style=\"\"background:url(" + a + ")\"\">详情</div>");
            break;
        default:
            out += "<img align=\"\"absmiddle\"\" src=\"\"" + a + (n == 3 ? "_.webp" : "") +
                   "\"\" style=\"\"max-width:750px\"\">";
        }
        if (n % 5 == 0) out += "<img src=\"\"" + address(item, 0) + "\"\">"; // a repeat
    }
    return out + "</div>";
}

std::string mobile(int item) {
    std::string out = "<wapDesc><shortDesc>手机端详情</shortDesc>";
    for (int n = 0; n < MOBILE_ADDRESSES; n++)
        out += "<img>" + address(item, n * 3) + "</img><txt>细节展示</txt>";
    return out + "</wapDesc>";
}

std::string row(int item) {
    std::string fields[67];
    for (int c = 0; c < 67; c++)
        fields[c] = std::to_string((item + c) % 97);
    char title[128];
    std::snprintf(title, sizeof title, "\"2024新款纯棉短袖T恤男 宽松百搭 款号%05d\"", item);
    fields[0] = title;
    fields[20] = "\"" + description(item) + "\"";
    fields[21] = "\"1627207:28320;20509:28314;20509:28315;20509:28316\"";
    fields[28] = "\"a1b2c3d4e5f6:1:0:|;a1b2c3d4e5f7:1:1:|;\"";
    fields[53] = "\"" + mobile(item) + "\"";
    fields[57] = "\"夏季新款 宽松百搭\"";
    std::string out = fields[0];
    for (int c = 1; c < 67; c++)
        out += "\t" + fields[c];
    return out + "\r\n";
}

std::string header() {
    std::string english = "title";
    std::string chinese = "宝贝名称";
    for (int c = 1; c < 67; c++) {
        english += "\tcolumn" + std::to_string(c);
        chinese += "\t" + (c == 20   ? std::string("宝贝描述")
                           : c == 53 ? std::string("无线详情")
                           : c == 57 ? std::string("宝贝卖点")
                                     : "列" + std::to_string(c));
    }
    return "version 1.00\r\n" + english + "\r\n" + chinese + "\r\n";
}

bool appendUtf16(FILE* out, const std::string& utf8) {
    std::string buffer;
    if (convertText("UTF-8", "UTF-16LE", utf8.data(), utf8.size(), &buffer) < 0) return false;
    return std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
}

bool generate(const std::string& path, int items) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = std::fwrite("\xFF\xFE", 1, 2, out) == 2 && appendUtf16(out, header());
    for (int i = 0; ok && i < items; i++)
        ok = appendUtf16(out, row(i));
    return std::fclose(out) == 0 && ok;
}

long statusKb(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long value = -1;
    size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, n) == 0 && line[n] == ':')
            value = std::strtol(line + n + 1, nullptr, 10);
    }
    std::fclose(f);
    return value;
}

// The child: one load, its time, the resident size before it and the peak after it.
int loadOnce(const char* path) {
    // Reset the high-water mark to the current size, should the kernel carry one over.
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
    long before = statusKb("VmRSS");
    ArrayList* items = arrayListCreate(256, 64);
    char* text = nullptr;
    auto start = std::chrono::steady_clock::now();
    int ok = readPackage(path, items, &text, 0);
    double elapsed = secondsSince(start);
    long peak = statusKb("VmHWM");
    long descCount = 0;
    long mobileCount = 0;
    for (int32_t i = 0; i < items->count; i++) {
        const Item* item = static_cast<const Item*>(items->items[i]);
        descCount += item->descImages ? item->descImages->count : 0;
        mobileCount += item->mobileImages ? item->mobileImages->count : 0;
    }
    std::printf("%d %.6f %ld %ld %d %ld %ld\n", ok, elapsed, before, peak, items->count, descCount,
                mobileCount);
    return ok ? 0 : 1;
}

struct LoadResult {
    bool ok;
    double seconds;
    long beforeKb;
    long peakKb;
    int items;
    long desc;
    long mobile;
};

LoadResult runLoad(const std::string& path) {
    LoadResult r{};
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return r;
    self[n] = '\0';
    const std::string command = "\"" + std::string(self) + "\" --load \"" + path + "\"";
    FILE* child = popen(command.c_str(), "r");
    if (!child) return r;
    int ok = 0;
    if (std::fscanf(child, "%d %lf %ld %ld %d %ld %ld", &ok, &r.seconds, &r.beforeKb, &r.peakKb, &r.items,
                    &r.desc, &r.mobile) != 7) {
        ok = 0;
    }
    r.ok = pclose(child) == 0 && ok == 1;
    return r;
}

// iconv(1) over the same file, its output thrown away; returns the wall time, or -1.
double runIconv(const std::string& path, long* peakKb) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, 1);
        execlp("iconv", "iconv", "-f", "UTF-16", "-t", "GB18030", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return -1;
    double elapsed = secondsSince(start);
    *peakKb = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0) return loadOnce(argv[2]);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--generate") == 0) {
        return generate(argv[2], argc == 4 ? std::atoi(argv[3]) : 10000) ? 0 : 1;
    }
    int items = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (items <= 0) {
        std::fputs("usage: bench-reader [ITEMS]\n", stderr);
        return 2;
    }

    char dir[] = "/tmp/bench-reader-XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string path = std::string(dir) + "/package.csv";
    auto start = std::chrono::steady_clock::now();
    if (!generate(path, items)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 1;
    const double megabytes = static_cast<double>(st.st_size) / 1e6;
    std::printf("package: %d items, %.1f MB of UTF-16LE (written in %.1f s)\n", items, megabytes,
                secondsSince(start));

    std::vector<double> loads;
    std::vector<double> conversions;
    long peakKb = 0;
    long iconvPeakKb = 0;
    bool ok = true;
    for (int run = 0; run < RUNS; run++) {
        long iconvKb = 0;
        double conversion = runIconv(path, &iconvKb);
        LoadResult load = runLoad(path);
        if (conversion < 0 || !load.ok) {
            std::fprintf(stderr, "run %d failed (iconv %s, load %s)\n", run + 1,
                         conversion < 0 ? "failed" : "ok", load.ok ? "ok" : "failed");
            ok = false;
            break;
        }
        if (load.items != items || load.desc != static_cast<long>(items) * DESC_ADDRESSES ||
            load.mobile != static_cast<long>(items) * MOBILE_ADDRESSES) {
            std::fprintf(stderr, "wrong result: %d items, %ld description and %ld mobile addresses\n",
                         load.items, load.desc, load.mobile);
            ok = false;
            break;
        }
        std::printf("run %d: iconv %.3f s, readPackage %.3f s, peak %.1f MB (%.1f MB before the load)\n",
                    run + 1, conversion, load.seconds, load.peakKb / 1024.0, load.beforeKb / 1024.0);
        loads.push_back(load.seconds);
        conversions.push_back(conversion);
        peakKb = std::max(peakKb, load.peakKb);
        iconvPeakKb = std::max(iconvPeakKb, iconvKb);
    }
    std::remove(path.c_str());
    rmdir(dir);
    if (!ok) return 1;

    std::sort(loads.begin(), loads.end());
    std::sort(conversions.begin(), conversions.end());
    const double load = loads[loads.size() / 2];
    const double conversion = conversions[conversions.size() / 2];
    const double timeRatio = load / conversion;
    const double memoryRatio = (peakKb * 1024.0 / 1e6) / megabytes;
    std::printf("addresses: %d description and %d mobile per item, as generated\n", DESC_ADDRESSES,
                MOBILE_ADDRESSES);
    std::printf("iconv -f UTF-16 -t GB18030: %.3f s (median of %d, %.0f MB/s, peak %.1f MB)\n", conversion,
                RUNS, megabytes / conversion, iconvPeakKb / 1024.0);
    std::printf("readPackage:                %.3f s (median of %d, %.0f MB/s)\n", load, RUNS,
                megabytes / load);
    const bool fast = timeRatio <= TIME_TARGET;
    const bool small = memoryRatio < MEMORY_TARGET;
    std::printf("time:   %.2f x the conversion (target at most %.1f)   %s\n", timeRatio, TIME_TARGET,
                fast ? "ok" : "MISSED");
    std::printf("memory: peak %.1f MB = %.2f x the file (target under %.0f)   %s\n", peakKb / 1024.0,
                memoryRatio, MEMORY_TARGET, small ? "ok" : "MISSED");
    return fast && small ? 0 : 1;
}

#endif
