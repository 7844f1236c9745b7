// Machine time. Virtual: device events run on the main task's thread while it
// sleeps, and time jumps from event to event. Real: a hardware thread runs the
// events at wall-clock pace (times a speed factor) and calls the interrupt
// servers from there.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace machine {

struct Machine;

// Thrown out of a sleeping platform call when the run cannot go on; Run
// catches it.
struct RunEnded {};

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

// Something changed that the hardware thread may have to act on.
void KickHardware(Machine& m);

// CTRL-C reaches the main task.
void DeliverBreak(Machine& m);

void StartClock(Machine& m);
void StopClock(Machine& m);

} // namespace machine
