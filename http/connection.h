// TCP connections: bounded connect, per-server failure limit, keep-alive pool, overrides.
#pragma once

// Creates the socket pool and the connect-failure table; once, before any connection.
void initConnectionPool();
// Forgets every server's count of consecutive connect failures (end of a migration run).
void resetConnectFailures();
// Adds "HOST:PORT:HOST2:PORT2": connections meant for HOST:PORT go to HOST2:PORT2. Returns 1 when
// the text is well formed.
int addConnectOverride(const char* text);
