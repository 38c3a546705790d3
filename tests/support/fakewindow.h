// A recording stand-in for the window: tests read what the engine showed and set the options it
// reads. windowEndProcess throws ProcessEnded instead of ending the test program.
#pragma once
#include "migration/jobwindow.h"

#include <mutex>
#include <string>
#include <vector>

struct ProcessEnded {
    int status;
};

struct ShownMessage {
    std::string text;
    std::string caption;
    int icon;
};

struct FakeWindow {
    std::mutex mutex;
    JobOptions options;
    std::vector<std::vector<std::string>> rows; // rows[row][column]
    std::vector<int> selectedRows;
    std::vector<int> visibleRequests;
    std::vector<int> progressPositions;
    std::vector<std::string> progressTexts;
    std::vector<ShownMessage> messages;
    int selectionNotifications;
    int buttonsRestored;
};

extern FakeWindow fakeWindow;

// Empties every record and sets the window's defaults: both sources ticked, no blanking, the
// default connection count, secure mode off.
void resetFakeWindow();
