// The run's timeline, written to a file as the run goes (kestrel-machine
// --timeline, kestrel's KESTREL_TIMELINE). It is an OutputFile: its first
// failure to open or write is told once as "PATH: reason", and the run goes
// on. Each buffer of whole lines the timeline hands over is flushed at once,
// so a killed run leaves whole lines.
#pragma once

#include <memory>
#include <string>

#include "app/output_file.h"
#include "machine/machine.h"
#include "machine/timeline.h"

namespace app {

struct TimelineFile {
    TimelineFile(const std::string& path, OutputFile::Report report)
        : file(path, std::move(report)) {}
    OutputFile file;
    machine::Timeline timeline;
};

// Creates path and chains the timeline after config's trace sink, if any.
std::unique_ptr<TimelineFile> StartTimelineFile(const std::string& path, machine::Config& config,
                                                OutputFile::Report report);
// Ends the timeline and closes its file; false when it could not be written whole.
bool EndTimelineFile(TimelineFile& file);

} // namespace app
