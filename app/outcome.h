// What the programs make of a finished run: the exit status and report.
#pragma once

#include <string>

#include "machine/machine.h"

namespace app {

inline constexpr int kExitBadOption = 2;
// A violation outranks whatever the player returned: the run proves nothing.
inline constexpr int kExitViolation = 70;
// EX_IOERR: an output (a capture, the trace) could not be written whole,
// though the player did its part; its own failure, if any, is told first.
inline constexpr int kExitOutputFailed = 74;

int ExitStatus(const machine::Result& result, bool outputFailed = false);

// Each violation the machine found, a line on standard error:
// "PROGRAM: violation: WHAT".
void TellViolations(const char* program, const machine::Result& result);

// "12 blocks played, 0.384 s machine time, 0 overruns, 0 violations",
// then ", refill slack min 2.310 ms (block 7), median 31.250 ms, max 31.998 ms" when a
// Read refilled a buffer, and on the real clock ", 1.250 ms player task CPU".
std::string ReportLine(const machine::Result& result, bool realClock);

} // namespace app
