#include "app/outcome.h"

#include <cstdint>
#include <cstdio>

namespace app {

namespace {

// "-1.250": microseconds as milliseconds, exactly.
std::string Milliseconds(std::int64_t us) {
    const std::uint64_t magnitude = us < 0 ? 0 - static_cast<std::uint64_t>(us) : us;
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%03llu", us < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 1000),
                  static_cast<unsigned long long>(magnitude % 1000));
    return text;
}

} // namespace

int ExitStatus(const machine::Result& result) {
    return result.violations.empty() ? result.returnCode : kExitViolation;
}

std::string ReportLine(const machine::Result& result, bool realClock) {
    const machine::Report& r = result.report;
    char line[160];
    std::snprintf(line, sizeof line,
                  "kestrel-machine: %llu blocks played, %llu.%03llu s machine time, %llu overruns, "
                  "%zu violations",
                  static_cast<unsigned long long>(r.blocks),
                  static_cast<unsigned long long>(r.timeUs / 1000000),
                  static_cast<unsigned long long>(r.timeUs / 1000 % 1000),
                  static_cast<unsigned long long>(r.overruns), result.violations.size());
    std::string text = line;
    if (r.slackRefills > 0) {
        text += ", refill slack min " + Milliseconds(r.slackMinUs) + " ms (block " +
                std::to_string(r.slackMinBlock) + "), median " + Milliseconds(r.slackMedianUs) +
                " ms, max " + Milliseconds(r.slackMaxUs) + " ms";
    }
    if (realClock) {
        // The virtual clock keeps no wall time: a CPU figure there means nothing.
        std::snprintf(line, sizeof line, ", %.3f ms player task CPU (%.3f ms with its sleeps)",
                      static_cast<double>(r.taskCpuUs) / 1000,
                      static_cast<double>(r.taskThreadCpuUs) / 1000);
        text += line;
    }
    return text;
}

} // namespace app
