// exec, dos and the clock.
#include <algorithm>

#include <gtest/gtest.h>

#include "platform/dos.h"
#include "platform/exec.h"
#include "support/harness.h"

namespace {

TEST(ExecDosAndClock, CallsDoWhatTheyDocument) {
    static const std::string path = harness::WriteFile("dos.bin", harness::Pattern(100));
    static BPTR f;
    static std::uint8_t buf[64];
    // Each call and what it returns, in order on one machine.
    const std::pair<std::function<std::int64_t()>, std::int64_t> rows[] = {
        {[] { return AllocSignal(-1); }, 31}, // the highest free bit
        {[] { return AllocSignal(31); }, -1},
        {[] { return AllocSignal(32); }, -1},
        {[] { // memory not asked to be cleared is not: a player must not count on zeros
             auto* p = static_cast<std::uint8_t*>(AllocVec(8, 0));
             const auto zeros = std::count(p, p + 8, 0);
             FreeVec(p);
             return zeros;
         },
         0},
        {[] { return Signal(FindTask(nullptr), 1u << 31), SetSignal(0, 0); }, 1u << 31},
        {[] { return Wait(3u << 30); }, 1u << 31},
        {[] { return Delay(5), machine::TimeUs(); }, 100000},               // ticks of 1/50 s
        {[] { return Wait(SIGBREAKF_CTRL_C), machine::TimeUs(); }, 250000}, // scripted CTRL-C
        {[] { return (f = Open(path.c_str(), MODE_OLDFILE)) != 0; }, 1},
        {[] { return Read(f, buf, 64), machine::TimeUs(); }, 550000}, // a slow Read
        {[] { return Read(f, buf, 64); }, 36},
        {[] { return Read(f, buf, 64); }, -1}, // a failing Read
        {[] { return Read(f, buf, 64); }, 0},
        {[] { return Seek(f, 10, OFFSET_BEGINNING); }, 100},
        {[] { return Seek(f, 0, 5); }, -1}, // no such mode
        {[] { return Seek(f, 1, OFFSET_END) == -1 ? Seek(f, 0, OFFSET_CURRENT) : -2; }, 10},
        {[] { return Seek(f, -5, OFFSET_END), Seek(f, 0, OFFSET_CURRENT); }, 95},
        {[] { return Printf("%s=%ld;%ld.\n", "n", -42L, 2147483647L); }, 18},
        {[] { return FreeSignal(31), Close(f) != 0; }, 1}};
    const auto run = [&] {
        for (std::size_t i = 0; i < std::size(rows); ++i) {
            EXPECT_EQ(rows[i].first(), rows[i].second) << i;
        }
    };
    machine::Config config;
    config.failReadAt = 3, config.slowReadMs = {{1, 300}}, config.breakAtUs = 250000;
    const auto r = harness::OnMachine(run, config);
    EXPECT_EQ(r.output, "n=-42;2147483647.\n");
    EXPECT_EQ(harness::Summary(r, {"break"}), std::vector<std::string>{"break"});
    EXPECT_TRUE(r.violations.empty());
}

} // namespace
