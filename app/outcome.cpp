#include "app/outcome.h"

#include <cstdint>
#include <cstdio>

#include "machine/timeline.h"

namespace app {

int ExitStatus(const machine::Result& result, bool outputFailed) {
    if (!result.violations.empty()) {
        return kExitViolation;
    }
    return result.returnCode == 0 && outputFailed ? kExitOutputFailed : result.returnCode;
}

void TellViolations(const char* program, const machine::Result& result) {
    for (const std::string& violation : result.violations) {
        std::fprintf(stderr, "%s: violation: %s\n", program, violation.c_str());
    }
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

} // namespace app
