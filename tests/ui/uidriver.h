// Driving the real main window from a test as a user would: clicks, drops built as real drops,
// list rows, and message boxes answered by a CBT hook that records their text, caption and icon.
#pragma once
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

struct RecordedBox {
    std::string text; // UTF-8
    std::string caption;
    int icon;                           // ICON_ERROR, ICON_QUESTION, ICON_WARNING, ICON_INFORMATION or 0
    std::map<int, std::string> buttons; // the texts of the box's buttons, by id
};

// Creates the main window once per test program (start-up's own registration and creation) and
// prepares what the job needs: sockets, the connection tables, appDir and the log, loopback only.
// Browser starts and the product web site are redirected (VEDO_BROWSER_LOG, VEDO_PRODUCT_SITE).
void ensureMainWindow();
// The file to which openUrl writes the addresses it would open.
std::string browserLogPath();

// The next message box, on any thread, is answered with this button id; unqueued boxes get OK,
// else Cancel, else No.
void queueBoxAnswer(int buttonId);
// The boxes recorded since the last call, in the order they appeared.
std::vector<RecordedBox> takeBoxes();

// Runs the thread's messages until done() holds or the time is up; returns done().
bool pumpUntil(const std::function<bool()>& done, int timeoutMilliseconds = 20000);
void pumpFor(int milliseconds);

// Presses a button the way the mouse does (BM_CLICK), then runs pending messages.
void click(HWND button);
// Drops the files on the main window with a real drop structure (DROPFILES, wide names).
void dropFiles(const std::vector<std::wstring>& names);

std::string textOf(HWND control);
std::string cellText(int row, int column);
int rowCount();
void selectRow(int row);
void clearSelection();
bool isChecked(HWND box);
void setChecked(HWND box, bool checked);
bool acceptsDrops();
bool systemCloseEnabled();

// Goes back to page 1 if page 2 shows, then drops the package and presses 下一步.
void loadPackage(const std::wstring& path);

// A package in Taobao Assistant's format (UTF-16LE with its mark) with the columns 宝贝名称,
// 宝贝描述 and 无线详情. Texts are UTF-8; quotes inside fields are doubled here.
struct PackageRow {
    std::string title;
    std::string description;
    std::string mobile;
};
void writeTestPackage(const std::string& path, const std::vector<PackageRow>& rows);
// Loads the package, ticks the https box, names the image folder, starts the run and waits for its
// end (a minute at most); the message boxes shown meanwhile, none when the package did not load or
// the run did not end.
std::vector<RecordedBox> runHttpsMigration(const std::string& package, const std::string& images);
std::wstring widePath(const std::string& enginePath);
