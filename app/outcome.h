// What kestrel-machine makes of a finished run: its exit status and report.
#pragma once

#include <memory>
#include <string>

#include "machine/machine.h"
#include "machine/timeline.h"

namespace app {

inline constexpr int kExitBadOption = 2;
// A violation outranks whatever the player returned: the run proves nothing.
inline constexpr int kExitViolation = 70;

int ExitStatus(const machine::Result& result);

// "12 blocks played, 0.384 s machine time, 0 overruns, 0 violations",
// then ", refill slack min 2.310 ms (block 1), median 31.250 ms, max 31.998 ms" when a
// Read refilled a buffer, and on the real clock ", 1.250 ms player task CPU".
std::string ReportLine(const machine::Result& result, bool realClock);

// The run's timeline, written to a file as the run goes (kestrel-machine
// --timeline, kestrel's KESTREL_TIMELINE).
struct TimelineFile {
    int fd = -1;
    bool failed = false; // a write failed
    machine::Timeline timeline;
};

// Creates path and chains the timeline after config's trace sink, if any; null,
// with the reason in *why, when the file cannot be created.
std::unique_ptr<TimelineFile> StartTimelineFile(const std::string& path, machine::Config& config,
                                                std::string* why);
// Ends the timeline and closes its file; false when a write failed.
bool EndTimelineFile(TimelineFile& file);

} // namespace app
