// What kestrel-machine makes of a finished run: its exit status and report.
#pragma once

#include <string>

#include "machine/machine.h"

namespace app {

inline constexpr int kExitBadOption = 2;
// A violation outranks whatever the player returned: the run proves nothing.
inline constexpr int kExitViolation = 70;

int ExitStatus(const machine::Result& result);

// "kestrel-machine: 12 blocks played, 0.384 s machine time, 0 overruns, 0 violations",
// then ", refill slack min 2.310 ms (block 1), median 31.250 ms, max 31.998 ms" when a
// Read refilled a buffer, and on the real clock ", 1.250 ms player task CPU".
std::string ReportLine(const machine::Result& result, bool realClock);

} // namespace app
