// kestrel-machine's exit status and --report line.
#include <gtest/gtest.h>

#include "app/outcome.h"

namespace {

TEST(Outcome, AViolationOutranksThePlayersReturnCode) {
    const struct {
        int returnCode;
        std::vector<std::string> violations;
        int status;
    } cases[] = {
        {0, {}, 0},     {10, {}, 10},         {20, {}, 20},          {100, {}, 100},
        {0, {"x"}, 70}, {20, {"x", "y"}, 70}, {-1, {"hang: x"}, 70},
    };
    for (const auto& c : cases) {
        machine::Result r;
        r.returnCode = c.returnCode;
        r.violations = c.violations;
        EXPECT_EQ(app::ExitStatus(r), c.status) << c.returnCode;
    }
}

TEST(Outcome, ReportLineHasBlocksTimeOverrunsAndViolations) {
    const struct {
        std::uint64_t blocks, timeUs, overruns;
        std::size_t violations;
        std::string line;
    } cases[] = {
        {0, 0, 0, 0,
         "kestrel-machine: 0 blocks played, 0.000 s machine time, 0 overruns, 0 violations"},
        {12, 1234567, 3, 2,
         "kestrel-machine: 12 blocks played, 1.234 s machine time, 3 overruns, 2 violations"},
        {1, 60000999, 0, 0,
         "kestrel-machine: 1 blocks played, 60.000 s machine time, 0 overruns, 0 violations"},
        {18446744073709551615ull, 999, 0, 0,
         "kestrel-machine: 18446744073709551615 blocks played, 0.000 s machine time, 0 overruns, "
         "0 violations"},
    };
    for (const auto& c : cases) {
        machine::Result r;
        r.report.blocks = c.blocks;
        r.report.timeUs = c.timeUs;
        r.report.overruns = c.overruns;
        r.violations.assign(c.violations, "v");
        EXPECT_EQ(app::ReportLine(r), c.line);
    }
}

} // namespace
