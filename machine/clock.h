// Machine time and the threads that run the devices by it. Virtual: the main
// task's thread runs the device events while it sleeps, and time jumps from
// event to event. Real: wall-clock time times a speed factor, or, at speed 1
// with a live sound device, the pace at which that device takes the stream;
// the task's own thread runs the devices while it sleeps or makes a platform
// call, and a hardware thread while it works. clock.cpp says who runs what,
// when, and under which lock.
#pragma once

#include <cstdint>
#include <mutex>

#include "machine/machine.h"

namespace machine {

struct Machine;

// Thrown out of a sleeping platform call when the run cannot go on; Run
// catches it.
struct RunEnded {};

// Machine time; 0 until the clock starts. A thread running a device event
// sees that event's time.
std::uint64_t NowNs(Machine& m);

// The machine time of the devices' next event: the channel's, or a scripted
// CTRL-C; kNever when none is coming.
std::uint64_t NextEventNs(const Machine& m);

// CPU time of the calling thread.
std::uint64_t ThreadCpuNs();

// Brings the devices up to now for the main task's platform call, so that the
// call finds the machine as the hardware would (every device event due by
// now has happened, as if it had interrupted the task on time): on the real
// clock, runs what is due on the task's thread, after waiting for the
// hardware thread if that is running the devices. The call then happens at
// that moment: NowNs on the task's thread gives it until the call ends
// (EndCall) or sleeps, so that nothing the call traces comes before an event
// the devices have yet to run. Nothing in interrupt context or on the
// virtual clock, where the devices are always up to date outside the task's
// sleeps. Returns the moment pinned before, for EndCall. Called with `lock`
// held on m.lock.
std::uint64_t UpToDate(Machine& m, std::unique_lock<std::mutex>& lock);
void EndCall(std::uint64_t outer);

// The main task sleeps: for a span of machine time, or until a signal of mask
// arrives. Called with `lock` held on m.lock.
void SleepFor(Machine& m, std::unique_lock<std::mutex>& lock, std::uint64_t ns);
std::uint32_t SleepForSignals(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask);

// The main task is about to block outside the machine (a host read that may
// wait) with the lock released: the hardware thread runs the devices on time
// meanwhile.
void HandOverDevices(Machine& m);

// The channel's next event moved: on the real clock, the hardware thread's
// alarm follows it unless a thread is running the devices already.
void KickHardware(Machine& m);

// CTRL-C reaches the main task.
void DeliverBreak(Machine& m);

void StartClock(Machine& m);
void StopClock(Machine& m);

} // namespace machine
