// The update check: the product web site's reply, read once per start on the start-up thread.
#include "ui/update.h"

#include "core/deployment.h"
#include "core/text.h"
#include "http/fetch.h"
#include "http/proxy.h"
#include "migration/job.h"
#include "ui/mainwindow.h"
#include "ui/shell.h"
#include "ui/wintext.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FetchRelease {
    void operator()(FetchResult* result) const { freeFetchResult(result); }
};

// A cut inside a UTF-8 sequence would leave a broken character at the end.
size_t utf8Boundary(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text.size();
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        end--;
    return end;
}

// Line feeds alone do not break lines in an edit box.
std::wstring withWindowsLineBreaks(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + 16);
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
        out += text[i];
    }
    return out;
}

} // namespace

void checkForUpdate() {
    // The notice is shown only from a server whose certificate was verified: an address that is
    // not https is never asked.
    if (std::strncmp(productSiteUrl(), "https://", 8) != 0) return;
    char url[1024];
    std::snprintf(url, sizeof url, "%scheckUpdate.asp?v=%0.1f", productSiteUrl(), APP_VERSION);
    // The check goes the way the seller's proxy settings say, as a run does; a run that has begun
    // keeps the choice it made.
    if (!jobRunning.load()) chooseProxy(0);
    std::unique_ptr<FetchResult, FetchRelease> result(fetchText(url));
    if (!result || !result->ok || !result->text) return;

    // The body as a C string; the split works on a copy so that the body stays whole.
    std::string body(result->text);
    std::string scratch = body;
    char* cursor = &scratch[0];
    const char* field1 = nextToken(&cursor, "^");
    const char* field2 = nextToken(&cursor, "^");
    if (!field1) field1 = "";
    if (!field2) field2 = "";

    if (*field2) {
        std::string notice(field2);
        notice.resize(utf8Boundary(notice, NOTICE_MAX_BYTES));
        setControlText(controls.notice, withWindowsLineBreaks(utf8ToWide(notice)).c_str());
    }
    if (std::strcmp(field1, "false") == 0) return;
    if (std::strcmp(field1, "true") == 0) {
        if (showMessageBox(controls.window, L"检查到新的版本，是否需要进入官网下载新版本？", L"提示",
                           MB_ICONQUESTION | MB_YESNO) == IDYES) {
            openUrl(productSiteUrl());
        }
        return;
    }
    if (body.size() > static_cast<size_t>(UNRECOGNISED_REPLY_SHOWN)) body.resize(UNRECOGNISED_REPLY_SHOWN);
    std::wstring text = L"检查软件新版本时返回无法识别的数据：\n\n" + utf8ToWide(body);
    showMessageBox(controls.window, text.c_str(), L"提示", MB_ICONWARNING | MB_OK);
}
