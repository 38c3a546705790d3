// Small operations on the Windows shell that the start-up code, the main window and the update
// check share: the browser, the desktop shortcut, the file and folder choosers, window placement,
// control fonts and the window icon.
#pragma once
#include <windows.h>

// Opens a web address (engine text) in the user's browser, preferring the program that opens
// ".html" files. When the environment variable VEDO_BROWSER_LOG names a file, the address is
// appended to that file as one line instead and no browser starts: tests and scripted runs use
// it so that nothing ever leaves the machine.
void openUrl(const char* url);
// The full address of a page of the product web site ("" for the root page), into a buffer.
void productPageUrl(const char* page, char* buffer, int size);

// Writes a shortcut file through the shell-link object. Paths are engine text. The calling thread
// must have COM initialised. Returns a COM result; negative means failure.
HRESULT createShellLink(const char* target, const char* arguments, const char* linkPath,
                        const char* description, int showCommand, const char* workingFolder,
                        const char* iconFile, int iconIndex);

// The open-file dialog. filter holds pairs of description and pattern, each ended by a NUL, the
// list ended by a second NUL. path (MAX_PATH units) receives the chosen file; folder, when given
// (MAX_PATH units), the folder of that file. Non-zero when the user chose a file.
int chooseOpenFile(HINSTANCE instance, HWND owner, const wchar_t* title, const wchar_t* filter,
                   wchar_t* folder, wchar_t* path);
// The shell's folder browser, opened on the folder in path (MAX_PATH units); path receives the
// chosen folder. 1 when the user chose a folder, 0 on cancel.
int chooseFolder(HWND owner, const wchar_t* heading, wchar_t* path, int allowNewFolder);

// Dots per inch. The window's layout is designed for 96; every position, size and font height
// is scaled once from that design by the window's DPI divided by 96.
// Asks for per-monitor awareness (v2) where the system knows it, else for the system's DPI.
void declareDpiAwareness();
// The screen's DPI (GetDeviceCaps).
int systemDpi();
// The DPI of the window's screen where the system knows per-monitor DPI, else the system's.
int dpiForWindow(HWND window);
// A design value (at 96 DPI) at the DPI given, rounded.
int scaleForDpi(int value, int dpi);
// GetSystemMetricsForDpi where it exists, else GetSystemMetrics.
int systemMetricForDpi(int index, int dpi);

// The outer height of a window whose design height (at 96 DPI, caption of 19 pixels included) is
// given, at the DPI given: the caption takes its own height there.
int outerWindowHeight(int height, int dpi);
// Sets the outer size from the design's (at 96 DPI) for the DPI given, less heightGiven pixels of
// height (given up on a screen too low for the whole window). Returns the outer height asked for,
// which a screen lower than the window may have cut.
int fitWindowSize(HWND window, int width, int height, int dpi, int heightGiven);
// The work area of the window's screen.
RECT workAreaOf(HWND window);
// Centres the window on the screen, a little above the middle, and keeps it inside its screen's
// work area: a window taller than the work area starts at the work area's top.
void placeWindow(HWND window);
// Moves the window as little as needed to keep it inside its screen's work area.
void keepWindowInWorkArea(HWND window);

// The height of the shared default font ("宋体", weight 400) at the DPI given: the stock GUI font's
// size in points.
int defaultFontHeight(int dpi);
// A new font made from the default GUI font with the face, height and weight given.
HFONT makeFont(const wchar_t* face, int height, int weight, int underline, int italic);
// An icon resource at the size given (the nearest of its images, scaled when none fits).
HICON loadIconAtSize(HINSTANCE instance, int iconId, int size);

// Every message box of the program goes through here. Normally it is MessageBoxW. When the
// environment variable VEDO_MESSAGE_LOG names a file, the box is not shown: one line is appended to
// that file (UTF-8, fields separated by tabs: caption, icon as "error", "question", "warning",
// "information" or "none", the text with backslash, tab, CR and LF written as \\, \t, \r and \n,
// the buttons as ids separated by "," each followed by "=" and its own text when renamed, and the
// answer), and the box answers with the next id of the comma-separated list VEDO_MESSAGE_ANSWER,
// or, once that list is used up, as closing the box would: OK for a box with OK alone, Cancel for
// one with a Cancel button, otherwise No. Tests that run the program as a separate process use it,
// since no one can answer the boxes of another process.
int showMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

// A message box whose buttons (by id) get texts of their own, through a CBT hook of the calling
// thread that renames them when the box is activated and then removes itself. Up to three
// renamings; ids and texts are paired, a null text ends the list.
int messageBoxWithButtons(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type, int id1,
                          const wchar_t* text1, int id2 = 0, const wchar_t* text2 = nullptr, int id3 = 0,
                          const wchar_t* text3 = nullptr);
