// The migration job: runs on a thread of its own, reaching its window only through jobwindow.h.
#pragma once
#include <atomic>

// 1 while a job runs; written only by the job.
extern std::atomic<int> jobRunning;
// 1 when the job must stop as soon as it can; only ever set from 0 to 1.
extern std::atomic<int> stopRequested;

// Counters that a front end may read while the job runs (the window does not need them).
extern std::atomic<int> jobImagesSaved;
extern std::atomic<int> jobImagesFailed;
extern std::atomic<int> jobCurrentRow;
// The number of rows finished so far; rows finish in order, so these are the first ones. A thread
// that reads it may then read those rows' items (status and failure lists) without a lock.
extern std::atomic<int> jobFinishedRows;

// The outcome of the last run, filled before the final message is shown (or before a stopped
// run ends the process).
struct JobSummary {
    int total;
    int finishedCount;
    int failureCount;
    int packageChanged;
    // Secure mode off: the distinct https and protocol-relative addresses of the package that the
    // run's options would have moved in secure mode.
    int uncollectedSecureCount;
};
extern JobSummary jobSummary;

// The last start check (checkRunStart makes it after the others): takes the package for the run (its
// lock, held until the job ends) and makes sure that everything the run will need, the package's
// write-back and the image folder's names, can be had. Returns PACKAGE_READY (package/writer.h)
// or the refusal, whose message packageRunRefusalText gives.
int beginRun(const char* packagePath, const char* imageFolder);

// The refusals of the start checks before beginRun's own (package/writer.h numbers those).
enum RunStartRefusal {
    START_NO_SOURCE = 16,      // neither source is chosen
    START_NO_FOLDER = 17,      // no destination folder is given
    START_FOLDER_MISSING = 18, // the destination is not an existing folder
    START_FOLDER_IS_DESKTOP = 19,
};

// The start checks of both front ends, in their order: a source is chosen (options), a destination
// folder is given, it is an existing folder and it is not the desktop itself; then beginRun.
// folder is the destination as the user gave it: one too long for a path buffer is never cut down
// to a shorter one that may exist, it is missing. Returns PACKAGE_READY (the package is then held
// for the run) or the first refusal, whose message (UTF-8) runStartRefusalText gives.
struct JobOptions;
int checkRunStart(const JobOptions& options, const char* folder, const char* packagePath);
const char* runStartRefusalText(int refusal);

// The thread procedure. Reads items, packageText and packagePath. When the run was stopped it
// ends the process (windowEndProcess(0)) instead of returning.
int runMigrationJob();

// The distinct https and protocol-relative addresses that a read with secure mode off left in the
// items' uncollected lists and that options select: description ones by their host, mobile ones
// when the image space is moved.
struct ArrayList;
int countUncollectedSecureAddresses(const ArrayList* list, const JobOptions& options);

// True when the address lies on one of the marketplace's own image hosts.
int isImageSpaceAddress(const char* address);
