// Secure mode: https and protocol-relative (//host/...) image addresses are collected as well,
// fetched over TLS and rewritten as written. Off by default. A front end sets it before it reads
// a package and keeps it unchanged while a run is on.
#pragma once
#include <atomic>

extern std::atomic<int> secureMode;
