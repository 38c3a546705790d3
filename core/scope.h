// Scope guards: what a function takes (heap memory, a file, any clean-up) is given back on every
// way out of it, so that no return path has to repeat the releases. A socket's guard lives with
// the sockets (SocketGuard, platform/sockets.h).
#pragma once
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

// Memory from core/allocate.h, released with std::free.
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
