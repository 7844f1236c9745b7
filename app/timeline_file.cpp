#include "app/timeline_file.h"

#include <string_view>
#include <utility>

namespace app {

std::unique_ptr<TimelineFile> StartTimelineFile(const std::string& path, machine::Config& config,
                                                OutputFile::Report report) {
    auto file = std::make_unique<TimelineFile>(path, std::move(report));
    if (file->file.failed()) {
        return file;
    }
    TimelineFile* f = file.get();
    // A buffer of lines fits the file's own: one write(2) each.
    static_assert(machine::kTimelineFlushBytes * 2 <= kOutputBufferBytes);
    machine::StartTimeline(f->timeline, [f](std::string_view lines) {
        f->file.Write(lines.data(), lines.size());
        f->file.Flush();
    });
    config.traceSink = [f, previous = std::move(config.traceSink)](const machine::TraceEvent& e) {
        if (previous) {
            previous(e);
        }
        machine::AddToTimeline(f->timeline, e);
    };
    return file;
}

bool EndTimelineFile(TimelineFile& file) {
    if (file.timeline.write) {
        machine::FinishTimeline(file.timeline);
    }
    file.file.Close();
    return !file.file.failed();
}

} // namespace app
