// The migration job: runs on a thread of its own, reaching its window only through jobwindow.h.
#pragma once
#include <atomic>

// 1 while a job runs; written only by the job.
extern std::atomic<int> jobRunning;
// 1 when the job must stop as soon as it can; only ever set from 0 to 1.
extern std::atomic<int> stopRequested;

// The thread procedure. Reads items, packageText and packagePath. When the run was stopped it
// ends the process (windowEndProcess(0)) instead of returning.
int runMigrationJob();
