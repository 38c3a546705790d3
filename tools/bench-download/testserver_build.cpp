// The scripted test server, built into the benchmark as its local image host.
#include "tests/support/testserver.cpp"
