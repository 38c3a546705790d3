// What tests and fuzzers reach of the connections beyond the program's own interface
// (http/connection.h): the pool and the failure table themselves, and shorter time-outs and limits.
#pragma once
#include "http/connection.h"

// Pool key -> ArrayList of idle Connection*, guarded by the pool's mutex.
extern HashMap* socketPool;

// The current count of consecutive failures for host and port (0 when none).
int connectFailureCount(const char* host, int port);
// The count of idle pooled connections for the scheme, host and port.
int pooledConnectionCount(const char* host, int port, int secure);
// Drops every connect override.
void clearConnectOverrides();

// The connect wait and the send/receive time-outs; 0 restores the defaults of
// CONNECT_TIMEOUT_SECONDS and SOCKET_IO_TIMEOUT_MS.
void setConnectionTimeouts(int connectMilliseconds, int ioMilliseconds);
// The low-speed limit: an average below `bytes` a second over the last `milliseconds` gives a
// transfer up; 0 restores the defaults of LOW_SPEED_LIMIT_BYTES and LOW_SPEED_TIME_SECONDS.
void setLowSpeedLimit(int bytes, int milliseconds);
