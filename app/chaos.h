// kestrel-machine --chaos=SEED: every thread that reaches one of the
// machine's schedule points (machine/schedule.h) sleeps there, one time in
// eight, for a random moment of up to a millisecond, so that a soak run meets
// the interleavings a loaded host makes, and a seed makes them again.
#pragma once

#include <cstdint>

namespace app {

// Sets the hook for the rest of the process.
void StartChaos(std::uint64_t seed);

} // namespace app
