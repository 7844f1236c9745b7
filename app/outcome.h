// What the programs make of a finished run: the exit status and report.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "machine/timeline.h"

namespace app {

inline constexpr int kExitBadOption = 2;
// A violation outranks whatever the player returned: the run proves nothing.
inline constexpr int kExitViolation = 70;
// EX_IOERR: an output (a capture, the trace) could not be written whole,
// though the player did its part; its own failure, if any, is told first.
inline constexpr int kExitOutputFailed = 74;

int ExitStatus(const machine::Result& result, bool outputFailed = false);

// "12 blocks played, 0.384 s machine time, 0 overruns, 0 violations",
// then ", refill slack min 2.310 ms (block 7), median 31.250 ms, max 31.998 ms" when a
// Read refilled a buffer, and on the real clock ", 1.250 ms player task CPU".
std::string ReportLine(const machine::Result& result, bool realClock);

// The run's timeline, written to a file as the run goes (kestrel-machine
// --timeline, kestrel's KESTREL_TIMELINE), a buffer of whole lines at a time
// so that a killed run leaves whole lines. Like an OutputFile, its first
// failure to open or write is told once as "PATH: reason", and the run goes on.
struct TimelineFile {
    std::string path;
    std::function<void(const std::string&)> report;
    int fd = -1;
    bool failed = false;
    machine::Timeline timeline;
};

// Creates path and chains the timeline after config's trace sink, if any.
std::unique_ptr<TimelineFile> StartTimelineFile(const std::string& path, machine::Config& config,
                                                std::function<void(const std::string&)> report);
// Ends the timeline and closes its file; false when it could not be written whole.
bool EndTimelineFile(TimelineFile& file);

} // namespace app
