// Start-up of the wizard program: the checks before the window, the start-up thread and the
// desktop shortcut question.
#pragma once
#include <windows.h>

constexpr int APP_ICON_ID = 101;
constexpr int BIG_ICON_ID = 102;
constexpr const char* SHORTCUT_NAME = "vedo";
constexpr const char* NO_SHORTCUT_MARKER = "no_shortcut.txt";

// True for a program folder inside a temporary extraction folder: one whose path holds both a
// "$" and "\Temp\" (case-sensitive), as an archive tool's unpack-and-run leaves it.
int isTemporaryExtractionFolder(const char* folder);

// Test and scripted runs only, from the environment: VEDO_CONNECT_TO holds connection overrides
// "HOST:PORT:HOST2:PORT2" separated by ";" (the image hosts of a sample package sent to a local
// server), and VEDO_LOOPBACK_ONLY=1 keeps every connection on 127.0.0.0/8.
void applyTestEnvironment();

// Runs the update check and ends.
int startupThread();

// Offers once to put "vedo.lnk" on the desktop folder given, unless it is there already or
// "no_shortcut.txt" lies in appDir. The box's No button reads "不用再提示" (never ask again: the
// marker is written) and its Cancel button "否(&N)" (ask again next time).
void offerDesktopShortcut(HWND owner, const char* desktopFolder);
