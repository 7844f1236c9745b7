// A platform call on the machine: the one machine, locked for the call, and,
// when the main task makes it, up to date: every device event due by now has
// run, as if it had interrupted the task on time, and the call happens at
// that moment of machine time (clock.h, UpToDate).
#pragma once

#include <cstdint>
#include <mutex>

#include "machine/clock.h"
#include "machine/state.h"

namespace machine {

class PlatformCall {
public:
    PlatformCall() : m(TheMachine()), lock(m.lock), outer_(UpToDate(m, lock)) {}
    ~PlatformCall() { EndCall(outer_); }
    PlatformCall(const PlatformCall&) = delete;
    PlatformCall& operator=(const PlatformCall&) = delete;

    // The call slept or waited for the host: up to date again, at a new moment.
    void Again() { UpToDate(m, lock); }

    Machine& m;
    std::unique_lock<std::mutex> lock;

private:
    std::uint64_t outer_;
};

} // namespace machine
