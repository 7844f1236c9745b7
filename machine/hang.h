// The hang rule: a Wait that nothing can end, or that nothing has ended for
// the hang timeout, ends the run with a violation, so that a script never
// blocks on a player that waits for nothing.
#pragma once

#include <cstdint>

namespace machine {

struct Machine;

// Whether anything but the main task itself can still set one of its signals.
bool CanWake(const Machine& m);

// Ends the run (throws RunEnded, a violation recorded) when the Wait that
// began when the devices had run to startNs has hung. The timeout counts the
// machine time the devices have run through, not the clock's: a host that
// falls behind, or a runner held up in a sink, is no hang of the player.
// Called with the lock held.
void CheckHang(Machine& m, std::uint64_t startNs);

} // namespace machine
