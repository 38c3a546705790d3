// The secure-mode switch shared by the reader, the job and the HTTP client.
#include "core/securemode.h"

std::atomic<int> secureMode{0};
