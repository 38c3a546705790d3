// Downloads ahead of the item loop: a few workers fetch addresses into files of their own while
// the job finishes its items in package order. The job thread alone hands out work and takes
// results; a worker touches only the record it was given.
#pragma once
#include "http/download.h"
#include "platform/files.h"

#include <condition_variable>
#include <mutex>
#include <thread>

constexpr int DEFAULT_CONNECTIONS = 6;
constexpr int MAX_CONNECTIONS = 8;
// The most addresses handed out and not yet taken by the item loop.
constexpr int DOWNLOAD_WINDOW = 48;

// One address on its way: downloaded into partPath, a file of the run's own that the item loop
// later moves under the image's name. The part file is locked while the record holds it, so that
// no other run takes it for a leftover.
struct DownloadRecord {
    char* address;
    char partPath[PATH_BUFFER_SIZE];
    FileLock partLock;
    int result; // a downloadImage result, valid once done
    int done;   // guarded by the queue's mutex
    char errorText[ERROR_TEXT_SIZE];
    int busyTries;        // tries given to a busy server that no other connection worked on
    DownloadRecord* next; // the next record waiting for a worker
};

struct DownloadQueue {
    std::mutex mutex;
    std::condition_variable workReady;
    std::condition_variable resultReady;
    DownloadRecord* first; // records waiting for a worker, in the order they were handed out
    DownloadRecord* last;
    int closing;
    int workerCount;
    int secureMode; // the run's, for every download (downloadImage)
    std::thread workers[MAX_CONNECTIONS];
};

// Starts `workers` threads (0 to MAX_CONNECTIONS) that download in the run's secure mode. With
// none, the caller fetches every record itself with fetchHere.
void startDownloadQueue(DownloadQueue* queue, int workers, int secureMode);
// Fetches a record that no worker has taken on the calling thread, with the same retries for a
// busy server as a worker gives it, and finishes it.
void fetchHere(DownloadQueue* queue, DownloadRecord* record);
// Hands an address out: its part file is taken in the folder at once (a record whose part file
// cannot be made is done at once with DOWNLOAD_CREATE_FAILED). The caller owns the record.
DownloadRecord* queueDownload(DownloadQueue* queue, const char* folder, const char* address);
// Waits until a worker has finished the record, at most the milliseconds; 1 when it is finished.
// A stop request makes the workers finish the records still waiting as failed, without a request.
int waitForDownload(DownloadQueue* queue, DownloadRecord* record, int milliseconds);
// Removes the record's part file (when it is still there) and releases the record.
void discardDownload(DownloadRecord* record);
// The part file has taken the image's name: the record no longer holds it.
void releasePartFile(DownloadRecord* record);
// Lets the workers finish what they hold and waits for them; records still waiting are finished
// as failed. The caller still owns and discards every record it did not take.
void stopDownloadQueue(DownloadQueue* queue);

// Takes a fresh part-file name in the folder by creating the file and locking it; 0 when none can
// be made. The name carries the run's identity: ".vedo-<process>-<start>-<number>.part".
int reservePartPath(const char* folder, char* path, FileLock* lock);
// 1 when the name is one that reservePartPath gives (of any run), with the process it names.
int partFileProcess(const char* name, unsigned long* process);
// Removes every part file in the folder that no live run holds (a killed run's leftovers): its
// process has ended and nothing holds its lock.
void removeLeftoverPartFiles(const char* folder);

// A server too busy for an image (DOWNLOAD_SERVER_BUSY) gets it asked for again. When the answer
// was the server's connection limit the image goes back to the workers, after the Retry-After
// when one was named, and the server's lowered cap paces it. Otherwise it is tried at most
// SERVER_BUSY_TRIES more times, after the Retry-After or else after a backoff of 1, 2 and 4
// seconds, and then fails like any other answer.
constexpr int SERVER_BUSY_TRIES = 3;
constexpr int SERVER_BUSY_BACKOFF_MILLISECONDS = 1000;
// The milliseconds to wait before the next try of an image after lastServerBusyAnswer, counting
// the try in *tries when it counts; -1 when the image has had its tries.
int serverBusyRetryDelay(int* tries);
// Waits the milliseconds in slices, ended by the stop flag. 1 when the wait ran out, 0 when stopped.
int waitBeforeRetry(int milliseconds);
// The first backoff step. Tests shorten it; 0 restores SERVER_BUSY_BACKOFF_MILLISECONDS.
void setServerBusyBackoff(int milliseconds);
