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

// How many downloads a run keeps in flight, at most one connection each (1 to 8); read once when
// a run starts. With 1 the job thread moves every image itself, one after the other.
extern std::atomic<int> jobConnections;

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

// The last start check of both front ends, after their own: takes the package for the run (its
// lock, held until the job ends) and makes sure that everything the run will need, the package's
// write-back and the image folder's names, can be had. Returns PACKAGE_READY (package/writer.h)
// or the refusal, whose message packageRunRefusalText gives.
int beginRun(const char* packagePath, const char* imageFolder);

// The thread procedure. Reads items, packageText and packagePath. When the run was stopped it
// ends the process (windowEndProcess(0)) instead of returning.
int runMigrationJob();

// The distinct https and protocol-relative addresses that a read with secure mode off left in the
// items' uncollected lists and that options select: description ones by their host, mobile ones
// when the image space is moved.
struct ArrayList;
struct JobOptions;
int countUncollectedSecureAddresses(const ArrayList* list, const JobOptions& options);

// True when the address lies on one of the marketplace's own image hosts.
int isImageSpaceAddress(const char* address);
