// Text at the window boundary: engine text to UTF-16 and back for the W functions.
#include "ui/wintext.h"

#include "core/charset.h"

#include <climits>
#include <cstring>
#include <vector>

std::wstring engineToWide(const char* text, size_t length) {
    if (!text || length == 0 || length > INT_MAX / 4) return std::wstring();
    std::string out;
    if (convertText(engineCharset(), "UTF-16LE", text, length, &out) < 0) return std::wstring();
    std::wstring wide(out.size() / 2, L'\0');
    if (!wide.empty()) std::memcpy(&wide[0], out.data(), wide.size() * 2);
    return wide;
}

std::wstring engineToWide(const char* text) {
    return text ? engineToWide(text, std::strlen(text)) : std::wstring();
}

std::string wideToEngine(const wchar_t* text) {
    return text ? wideToEngine(std::wstring(text)) : std::string();
}

std::string wideToEngine(const std::wstring& text) {
    if (text.empty() || text.size() > INT_MAX / 8) return std::string();
    std::string out;
    if (convertText("UTF-16LE", engineCharset(), reinterpret_cast<const char*>(text.data()), text.size() * 2,
                    &out) < 0) {
        return std::string();
    }
    return out;
}

int copyEngineText(char* buffer, int size, const std::string& text) {
    if (!buffer || size <= 0) return 0;
    if (text.size() + 1 > static_cast<size_t>(size) || text.find('\0') != std::string::npos) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 1;
}

std::wstring controlText(HWND control) {
    int length = GetWindowTextLengthW(control);
    if (length <= 0) return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    int got = GetWindowTextW(control, buffer.data(), length + 1);
    return std::wstring(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

std::string controlEngineText(HWND control) {
    return wideToEngine(controlText(control));
}

void setControlText(HWND control, const wchar_t* text) {
    SetWindowTextW(control, text ? text : L"");
}

void setControlEngineText(HWND control, const char* text) {
    SetWindowTextW(control, engineToWide(text).c_str());
}

std::string wideToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}
