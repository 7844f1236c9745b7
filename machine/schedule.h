// Named points in the machine where a thread hands something to another: a
// test holds a thread at one to make a race happen every time, and a chaos
// run delays each by a random moment. Nothing happens at a point unless a
// hook is set, and the hook costs one load of an atomic when none is.
#pragma once

namespace machine {

enum class SchedulePoint {
    // Run has published the machine: Progress may read it. Run's thread, no
    // lock held.
    Published,
    // A thread takes the devices (Machine::runner), or hands them back. The
    // machine's lock is held.
    RunnerTaken,
    RunnerReleased,
    // The lock is dropped around the interrupt servers, around the sinks'
    // writes, for a runner's sleep, and for the host's read of a file that
    // may block (a pipe). Called just after the unlock.
    ServersUnlocked,
    SinksUnlocked,
    SleepUnlocked,
    HostReadUnlocked,
    // A sink is about to be handed a chunk: the runner's thread, unlocked.
    SinkWrite,
    // The main task checks whether its Wait has hung. The lock is held.
    HangCheck,
    // A host signal's handler has read the hardware thread's wake-up
    // descriptor and is about to write to it. In the handler: only
    // async-signal-safe work is allowed.
    HostSignal,
};

// What a hook is given: the point, and the data it was set with.
using ScheduleHook = void (*)(SchedulePoint point, void* data);

// Sets the process's hook (nullptr: none). Set it before a run starts and
// clear it after the run has ended: a hook is never changed while a thread
// may be at a point.
void SetScheduleHook(ScheduleHook hook, void* data);

// A thread reaches a point.
void Schedule(SchedulePoint point);

// The point's name, for a hook that logs.
const char* SchedulePointName(SchedulePoint point);

} // namespace machine
