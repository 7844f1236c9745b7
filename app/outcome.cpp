#include "app/outcome.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace app {

int ExitStatus(const machine::Result& result, bool outputFailed) {
    if (!result.violations.empty()) {
        return kExitViolation;
    }
    return result.returnCode == 0 && outputFailed ? kExitOutputFailed : result.returnCode;
}

namespace {

// "1 overrun", "2 overruns".
std::string Counted(std::uint64_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

} // namespace

std::string ReportLine(const machine::Result& result, bool realClock) {
    const machine::Report& r = result.report;
    char line[160];
    std::snprintf(line, sizeof line, "%llu.%03llu s machine time",
                  static_cast<unsigned long long>(r.timeUs / 1000000),
                  static_cast<unsigned long long>(r.timeUs / 1000 % 1000));
    std::string text = Counted(r.blocks, "block") + " played, " + line + ", " +
                       Counted(r.overruns, "overrun") + ", " +
                       Counted(result.violations.size(), "violation");
    if (r.slackRefills > 0) {
        text += ", refill slack min " + machine::Milliseconds(r.slackMinUs) + " ms (block " +
                std::to_string(r.slackMinBlock) + "), median " +
                machine::Milliseconds(r.slackMedianUs) + " ms, max " +
                machine::Milliseconds(r.slackMaxUs) + " ms";
    }
    if (realClock) {
        // The virtual clock keeps no wall time: a CPU figure there means nothing.
        std::snprintf(line, sizeof line, ", %.3f ms player task CPU (%.3f ms with its sleeps)",
                      static_cast<double>(r.taskCpuUs) / 1000,
                      static_cast<double>(r.taskThreadCpuUs) / 1000);
        text += line;
        if (r.hostHeldUs > 0) {
            text += ", clock held back " +
                    machine::Milliseconds(static_cast<std::int64_t>(r.hostHeldUs)) +
                    " ms for the host";
        }
    }
    return text;
}

namespace {

void FailTimeline(TimelineFile& f) {
    if (!f.failed) {
        f.failed = true;
        f.report(f.path + ": " + std::strerror(errno));
    }
}

} // namespace

std::unique_ptr<TimelineFile> StartTimelineFile(const std::string& path, machine::Config& config,
                                                std::function<void(const std::string&)> report) {
    auto file = std::make_unique<TimelineFile>();
    file->path = path;
    file->report = std::move(report);
    file->fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file->fd < 0) {
        FailTimeline(*file);
        return file;
    }
    TimelineFile* f = file.get();
    // One write a buffer of whole lines: a run killed midway leaves whole lines.
    machine::StartTimeline(f->timeline, [f](std::string_view lines) {
        while (!lines.empty() && !f->failed) {
            const ssize_t n = write(f->fd, lines.data(), lines.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                FailTimeline(*f);
                return;
            }
            lines.remove_prefix(static_cast<std::size_t>(n));
        }
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
    if (file.fd >= 0) {
        machine::FinishTimeline(file.timeline);
        if (close(file.fd) != 0) {
            FailTimeline(file);
        }
        file.fd = -1;
    }
    return !file.failed;
}

} // namespace app
