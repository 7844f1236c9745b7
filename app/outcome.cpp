#include "app/outcome.h"

#include <cstdio>

namespace app {

int ExitStatus(const machine::Result& result, bool outputFailed) {
    if (!result.violations.empty()) {
        return kExitViolation;
    }
    return result.returnCode == 0 && outputFailed ? kExitOutputFailed : result.returnCode;
}

std::string ReportLine(const machine::Result& result, bool realClock) {
    const machine::Report& r = result.report;
    char line[160];
    std::snprintf(line, sizeof line,
                  "%llu blocks played, %llu.%03llu s machine time, %llu overruns, "
                  "%zu violations",
                  static_cast<unsigned long long>(r.blocks),
                  static_cast<unsigned long long>(r.timeUs / 1000000),
                  static_cast<unsigned long long>(r.timeUs / 1000 % 1000),
                  static_cast<unsigned long long>(r.overruns), result.violations.size());
    std::string text = line;
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
