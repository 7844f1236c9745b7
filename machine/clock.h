// Machine time and the threads that run the devices by it. Virtual: the main
// task's thread runs the device events while it sleeps, and time jumps from
// event to event. Real: wall-clock time times a speed factor; the task's own
// thread runs the devices while it sleeps and a hardware thread while it works.
// clock.cpp says who runs what, when, and under which lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace machine {

struct Machine;

// Thrown out of a sleeping platform call when the run cannot go on; Run
// catches it.
struct RunEnded {};

// Machine time. A thread running a device event sees that event's time.
std::uint64_t NowNs(Machine& m);

// CPU time of the calling thread.
std::uint64_t ThreadCpuNs();

// Whether the calling thread is in interrupt context.
bool InInterrupt();

// Records a violation when a platform call other than Signal is made from
// interrupt context.
void CheckTaskContext(Machine& m, const char* call);

// The main task sleeps: for a span of machine time, or until a signal of mask
// arrives. Called with `lock` held on m.lock.
void SleepFor(Machine& m, std::unique_lock<std::mutex>& lock, std::uint64_t ns);
std::uint32_t SleepForSignals(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask);

// The real clock fetches a block's frames lazily: before the main task does
// something they depend on (a Read lands, a register changes), the frames due
// by now are fetched as they were.
void CatchUp(Machine& m);

// The channel's next event moved: on the real clock, the hardware thread's
// alarm follows it unless a thread is running the devices already.
void KickHardware(Machine& m);

// CTRL-C reaches the main task.
void DeliverBreak(Machine& m);

void StartClock(Machine& m);
void StopClock(Machine& m);

} // namespace machine
