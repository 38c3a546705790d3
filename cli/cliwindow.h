// The command-line side of the job-to-window functions (migration/jobwindow.h): messages go to
// standard error as "caption: text" in UTF-8, rows and progress are recorded here for the command
// that runs the job to print, and ending the process exits.
#pragma once
#include "core/containers.h"
#include "migration/jobwindow.h"

#include <atomic>
#include <mutex>

constexpr int CLI_CELL_SIZE = 256;
constexpr int CLI_PROGRESS_TEXT_SIZE = 512;
constexpr int CLI_MESSAGE_SIZE = 4096;

// The texts of one list row, by column (COLUMN_TITLE ... COLUMN_MOBILE_FAILURES), engine text.
struct CliRow {
    char cells[4][CLI_CELL_SIZE];
};

struct CliWindow {
    std::mutex mutex;
    // What windowReadOptions hands the job; the command fills it before the run.
    JobOptions options;
    // CliRow pointers by row number, created as rows are written.
    ArrayList* rows;
    int visibleRow;
    int progressPosition;
    char progressText[CLI_PROGRESS_TEXT_SIZE];
    int buttonsRestored;
    // When set, each progress text is also printed to standard error as it changes.
    int echoProgress;
    // Set once a message with the error icon has been shown: the process then never exits with 0.
    std::atomic<int> errorShown;
    // The last message shown, and whether messages other than errors are only recorded (the
    // migrate command prints the final message itself).
    char lastMessage[CLI_MESSAGE_SIZE];
    int quietMessages;
};

extern CliWindow cliWindow;

// The exit status for a requested one: a process that has shown an error exits with 1, not 0.
int cliExitStatus(int status);

// How long a console close event waits for the job to write back: the system ends the process
// about five seconds after the event.
constexpr int CLI_CLOSE_WAIT_MILLISECONDS = 4500;

// Waits until the job is no longer running (a stopped job ends the process itself), at most the
// given time.
void cliWaitForJobEnd(int milliseconds);

// The text of a recorded cell, or "" when the row or the cell was never written.
const char* cliRowText(int row, int column);
