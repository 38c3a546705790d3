// Text at the window boundary. The engine's text is GB18030 (GBK where the platform lacks it);
// every window text, message box and file name goes through the W functions as UTF-16, so the
// window shows the right characters whatever the system's code page is.
#pragma once
#include <windows.h>

#include <string>

// Engine text to UTF-16. A null text gives the empty string.
std::wstring engineToWide(const char* text);
std::wstring engineToWide(const char* text, size_t length);
// UTF-16 to engine text. Characters that the engine's charset cannot hold are dropped.
std::string wideToEngine(const wchar_t* text);
std::string wideToEngine(const std::wstring& text);

// Copies engine text into a fixed buffer; returns 1 when it fitted whole, 0 when it did not (the
// buffer then holds the empty string, never a cut path).
int copyEngineText(char* buffer, int size, const std::string& text);

// The whole text of a control, and the same as engine text.
std::wstring controlText(HWND control);
std::string controlEngineText(HWND control);
void setControlText(HWND control, const wchar_t* text);
void setControlEngineText(HWND control, const char* text);

// UTF-16 to UTF-8 and back, for tests and the terminal.
std::string wideToUtf8(const std::wstring& text);
std::wstring utf8ToWide(const std::string& text);
