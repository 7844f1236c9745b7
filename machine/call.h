// A platform call on the machine: the one machine, locked for the call, and,
// when the main task makes it, up to date: every device event due by now has
// run, as if it had interrupted the task on time.
#pragma once

#include <mutex>

#include "machine/clock.h"
#include "machine/state.h"

namespace machine {

struct PlatformCall {
    PlatformCall() : m(TheMachine()), lock(m.lock) { UpToDate(m, lock); }

    Machine& m;
    std::unique_lock<std::mutex> lock;
};

} // namespace machine
