// Interrupt context, and the dispatch of the interrupt servers when the
// channel raises its line.
#pragma once

#include <mutex>

namespace machine {

struct Machine;

// Whether the calling thread is in interrupt context: running a server, or
// any device event.
bool InInterrupt();

// Records a violation when a platform call other than Signal is made from
// interrupt context; returns false then.
bool CheckTaskContext(Machine& m, const char* call);

// Marks the calling thread as running in interrupt context for a scope.
class InterruptContext {
public:
    InterruptContext();
    ~InterruptContext();
    InterruptContext(const InterruptContext&) = delete;
    InterruptContext& operator=(const InterruptContext&) = delete;

private:
    bool saved_;
};

// The interrupt line is raised: every installed server runs, in the order of
// installation, with `lock` released meanwhile. Only the thread running the
// devices calls it, and never from a server: a server cannot sleep, so the
// dispatch never nests.
void CallServers(Machine& m, std::unique_lock<std::mutex>& lock);

} // namespace machine
