// Scope guards: what a function takes (heap memory, a file, a socket, any clean-up) is given back
// on every way out of it, so that no return path has to repeat the releases.
#pragma once
#include "platform/sockets.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

// Memory from malloc, calloc or realloc (core/allocate.h included), released with std::free.
struct FreeMemory {
    void operator()(void* block) const { std::free(block); }
};
template <typename T = char> using HeapPointer = std::unique_ptr<T, FreeMemory>;

// A stream from fopen (or openFile), closed without looking at the result. A caller that must
// know whether the last buffered bytes reached the disk releases it and closes it itself.
struct CloseFile {
    void operator()(FILE* file) const {
        if (file) std::fclose(file);
    }
};
using FileHandle = std::unique_ptr<FILE, CloseFile>;

// A socket, closed at the end of the scope unless it was released.
struct SocketGuard {
    SocketHandle socket;
    explicit SocketGuard(SocketHandle taken) : socket(taken) {}
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    ~SocketGuard() {
        if (socket != NO_SOCKET) closeSocket(socket);
    }
    SocketHandle release() {
        SocketHandle taken = socket;
        socket = NO_SOCKET;
        return taken;
    }
};

// Runs an action at the end of the scope unless it was dismissed:
//     auto releaseParts = onScopeExit([&] { freeUrlParts(&parts); });
template <typename Action> struct ScopeExit {
    Action action;
    bool active = true;
    explicit ScopeExit(Action taken) : action(std::move(taken)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        if (active) action();
    }
    void dismiss() { active = false; }
};

template <typename Action> ScopeExit<Action> onScopeExit(Action action) {
    return ScopeExit<Action>(std::move(action));
}
