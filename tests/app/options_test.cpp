// kestrel-machine's command line: what each option sets, and the message for
// each way of getting one wrong.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/options.h"

namespace {

using app::MachineOptions;
using app::ParseMachineOptions;
using Args = std::vector<std::string>;

Args WithCommand(Args options) {
    options.push_back("--");
    options.push_back("kestrel");
    options.push_back("song.aiff");
    return options;
}

TEST(MachineOptions, DefaultsAreTheDefaultMachine) {
    const auto parsed = ParseMachineOptions(WithCommand({}));
    ASSERT_TRUE(parsed.options) << parsed.error;
    const MachineOptions& o = *parsed.options;
    const machine::Config defaults;
    EXPECT_EQ(o.config.clock, machine::ClockKind::Virtual);
    EXPECT_EQ(o.config.speed, 1.0);
    EXPECT_TRUE(o.config.spdifOn);
    EXPECT_TRUE(o.config.vraOn);
    EXPECT_TRUE(o.config.faults.empty());
    EXPECT_EQ(o.config.failReadAt, defaults.failReadAt);
    EXPECT_TRUE(o.config.slowReadMs.empty());
    EXPECT_EQ(o.config.breakAfterBlocks, -1);
    EXPECT_EQ(o.config.breakAtUs, -1);
    EXPECT_EQ(o.dacWav, "");
    EXPECT_EQ(o.spdifWav, "");
    EXPECT_EQ(o.trace, "");
    EXPECT_FALSE(o.live);
    EXPECT_FALSE(o.report);
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.command, (Args{"kestrel", "song.aiff"}));
}

struct SetCase {
    Args options;
    std::function<void(const MachineOptions&)> check;
};

TEST(MachineOptions, EachOptionSetsItsField) {
    using machine::Fault;
    const SetCase cases[] = {
        {{"--clock=real"},
         [](const MachineOptions& o) { EXPECT_EQ(o.config.clock, machine::ClockKind::Real); }},
        {{"--clock=real", "--clock=virtual"},
         [](const MachineOptions& o) { EXPECT_EQ(o.config.clock, machine::ClockKind::Virtual); }},
        {{"--clock=real", "--speed=4"},
         [](const MachineOptions& o) { EXPECT_EQ(o.config.speed, 4.0); }},
        {{"--speed=0.25", "--clock=real"},
         [](const MachineOptions& o) { EXPECT_EQ(o.config.speed, 0.25); }},
        {{"--dac-wav=out/dac.wav"},
         [](const MachineOptions& o) { EXPECT_EQ(o.dacWav, "out/dac.wav"); }},
        {{"--spdif-wav=s.wav"}, [](const MachineOptions& o) { EXPECT_EQ(o.spdifWav, "s.wav"); }},
        {{"--trace=t=1.jsonl"}, [](const MachineOptions& o) { EXPECT_EQ(o.trace, "t=1.jsonl"); }},
        {{"--live"}, [](const MachineOptions& o) { EXPECT_TRUE(o.live); }},
        {{"--report"}, [](const MachineOptions& o) { EXPECT_TRUE(o.report); }},
        {{"--spdif=off"}, [](const MachineOptions& o) { EXPECT_FALSE(o.config.spdifOn); }},
        {{"--spdif=off", "--spdif=on"},
         [](const MachineOptions& o) { EXPECT_TRUE(o.config.spdifOn); }},
        {{"--vra=off"},
         [](const MachineOptions& o) {
             EXPECT_FALSE(o.config.vraOn);
             EXPECT_TRUE(o.config.spdifOn);
         }},
        {{"--fail=read:3"}, [](const MachineOptions& o) { EXPECT_EQ(o.config.failReadAt, 3); }},
        {{"--fail=read:1"}, [](const MachineOptions& o) { EXPECT_EQ(o.config.failReadAt, 1); }},
        {{"--fail=device", "--fail=memory"},
         [](const MachineOptions& o) {
             EXPECT_EQ(o.config.faults, (std::set<Fault>{Fault::Device, Fault::Memory}));
         }},
        {{"--slow-read=2:150", "--slow-read=5:0"},
         [](const MachineOptions& o) {
             EXPECT_EQ(o.config.slowReadMs, (std::map<int, std::uint32_t>{{2, 150}, {5, 0}}));
         }},
        {{"--slow-read=1:4294967295"},
         [](const MachineOptions& o) { EXPECT_EQ(o.config.slowReadMs.at(1), 4294967295u); }},
        {{"--break-after-blocks=0"},
         [](const MachineOptions& o) { EXPECT_EQ(o.config.breakAfterBlocks, 0); }},
        {{"--break-after-blocks=12"},
         [](const MachineOptions& o) { EXPECT_EQ(o.config.breakAfterBlocks, 12); }},
        {{"--break-at-ms=0"}, [](const MachineOptions& o) { EXPECT_EQ(o.config.breakAtUs, 0); }},
        {{"--break-at-ms=250"},
         [](const MachineOptions& o) { EXPECT_EQ(o.config.breakAtUs, 250000); }},
    };
    for (const SetCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.options));
        const auto parsed = ParseMachineOptions(WithCommand(c.options));
        ASSERT_TRUE(parsed.options) << parsed.error;
        EXPECT_EQ(parsed.options->command, (Args{"kestrel", "song.aiff"}));
        c.check(*parsed.options);
    }
}

TEST(MachineOptions, EveryFailureHasItsName) {
    using machine::Fault;
    const std::pair<const char*, Fault> names[] = {
        {"mixer-library", Fault::MixerLibrary},
        {"mixer-library-old", Fault::MixerLibraryOld},
        {"mixer", Fault::Mixer},
        {"pci-library", Fault::PciLibrary},
        {"device", Fault::Device},
        {"memory", Fault::Memory},
        {"int-server", Fault::IntServer},
        {"io-window", Fault::IoWindow},
        {"signal", Fault::Signal},
    };
    for (const auto& [name, fault] : names) {
        const auto parsed = ParseMachineOptions(WithCommand({std::string("--fail=") + name}));
        ASSERT_TRUE(parsed.options) << name << ": " << parsed.error;
        EXPECT_EQ(parsed.options->config.faults, std::set<Fault>{fault}) << name;
        EXPECT_EQ(parsed.options->config.failReadAt, 0) << name;
    }
}

TEST(MachineOptions, EverythingAfterTheSeparatorIsThePlayers) {
    const struct {
        Args args;
        Args command;
    } cases[] = {
        {{"--", "kestrel"}, {"kestrel"}},
        {{"--report", "--", "C:Play", "a", "b"}, {"C:Play", "a", "b"}},
        {{"--", "kestrel", "--help"}, {"kestrel", "--help"}},
        {{"--", "kestrel", "--", "--fail=x"}, {"kestrel", "--", "--fail=x"}},
        {{"--", ""}, {""}},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseMachineOptions(c.args);
        ASSERT_TRUE(parsed.options) << parsed.error;
        EXPECT_EQ(parsed.options->command, c.command);
        EXPECT_FALSE(parsed.options->help);
    }
}

TEST(MachineOptions, HelpNeedsNoCommand) {
    for (const Args& args :
         {Args{"--help"}, Args{"--report", "--help", "--bogus"}, Args{"--help", "--", "kestrel"}}) {
        const auto parsed = ParseMachineOptions(args);
        ASSERT_TRUE(parsed.options) << parsed.error;
        EXPECT_TRUE(parsed.options->help);
    }
    EXPECT_NE(std::string(app::kMachineUsage).find("Usage: kestrel-machine [OPTION]... --"),
              std::string::npos);
}

TEST(MachineOptions, UsageNamesEveryOption) {
    const std::string usage = app::kMachineUsage;
    for (const char* name :
         {"--clock=", "--speed=", "--dac-wav=", "--spdif-wav=", "--trace=", "--live",
          "--spdif=", "--vra=", "--fail=", "read:N",
          "--slow-read=", "--break-after-blocks=", "--break-at-ms=", "--report", "--help"}) {
        EXPECT_NE(usage.find(name), std::string::npos) << name;
    }
}

TEST(MachineOptions, BadArgumentsSayWhichAndWhy) {
    const struct {
        Args args;
        std::string error;
    } cases[] = {
        {{}, "missing '--' before the player's command line"},
        {{"--report"}, "missing '--' before the player's command line"},
        {{"--"}, "no command after '--'"},
        {{"--report", "--"}, "no command after '--'"},
        {{"kestrel", "--", "kestrel"},
         "unexpected argument 'kestrel' (the player's command line goes after '--')"},
        {{"-r", "--", "kestrel"},
         "unexpected argument '-r' (the player's command line goes after '--')"},
        {{"--bogus", "--", "kestrel"}, "unknown option '--bogus'"},
        {{"--clock", "--", "kestrel"}, "--clock needs a value: --clock=virtual|real"},
        {{"--clock=", "--", "kestrel"}, "--clock needs a value: --clock=virtual|real"},
        {{"--clock=fast", "--", "kestrel"}, "--clock=fast: the clock is 'virtual' or 'real'"},
        {{"--clock=Real", "--", "kestrel"}, "--clock=Real: the clock is 'virtual' or 'real'"},
        {{"--clock=real", "--speed=0", "--", "kestrel"},
         "--speed=0: the speed is a number greater than 0"},
        {{"--clock=real", "--speed=-2", "--", "kestrel"},
         "--speed=-2: the speed is a number greater than 0"},
        {{"--clock=real", "--speed=2x", "--", "kestrel"},
         "--speed=2x: the speed is a number greater than 0"},
        {{"--clock=real", "--speed=inf", "--", "kestrel"},
         "--speed=inf: the speed is a number greater than 0"},
        {{"--clock=real", "--speed=nan", "--", "kestrel"},
         "--speed=nan: the speed is a number greater than 0"},
        {{"--speed=2", "--", "kestrel"}, "--speed needs --clock=real"},
        {{"--clock=real", "--speed=2", "--clock=virtual", "--", "kestrel"},
         "--speed needs --clock=real"},
        {{"--dac-wav=", "--", "kestrel"}, "--dac-wav needs a value: --dac-wav=PATH"},
        {{"--spdif-wav", "--", "kestrel"}, "--spdif-wav needs a value: --spdif-wav=PATH"},
        {{"--trace=", "--", "kestrel"}, "--trace needs a value: --trace=PATH"},
        {{"--live=yes", "--", "kestrel"}, "--live takes no value"},
        {{"--report=1", "--", "kestrel"}, "--report takes no value"},
        {{"--help=me", "--", "kestrel"}, "--help takes no value"},
        {{"--spdif=yes", "--", "kestrel"}, "--spdif=yes: expected 'on' or 'off'"},
        {{"--vra=1", "--", "kestrel"}, "--vra=1: expected 'on' or 'off'"},
        {{"--vra", "--", "kestrel"}, "--vra needs a value: --vra=on|off"},
        {{"--fail=disk", "--", "kestrel"},
         "--fail=disk: unknown failure (mixer-library, mixer-library-old, mixer, pci-library, "
         "device, memory, int-server, io-window, signal, read:N)"},
        {{"--fail=read:0", "--", "kestrel"}, "--fail=read:0: N in read:N counts Reads from 1"},
        {{"--fail=read:", "--", "kestrel"}, "--fail=read:: N in read:N counts Reads from 1"},
        {{"--fail=read:-1", "--", "kestrel"}, "--fail=read:-1: N in read:N counts Reads from 1"},
        {{"--fail=read:+1", "--", "kestrel"}, "--fail=read:+1: N in read:N counts Reads from 1"},
        {{"--fail=read:99999999999", "--", "kestrel"},
         "--fail=read:99999999999: N in read:N counts Reads from 1"},
        {{"--slow-read=3", "--", "kestrel"},
         "--slow-read=3: expected N:MS, the N-th Read (from 1) and its milliseconds"},
        {{"--slow-read=0:10", "--", "kestrel"},
         "--slow-read=0:10: expected N:MS, the N-th Read (from 1) and its milliseconds"},
        {{"--slow-read=2:", "--", "kestrel"},
         "--slow-read=2:: expected N:MS, the N-th Read (from 1) and its milliseconds"},
        {{"--slow-read=2:1.5", "--", "kestrel"},
         "--slow-read=2:1.5: expected N:MS, the N-th Read (from 1) and its milliseconds"},
        {{"--slow-read=2:4294967296", "--", "kestrel"},
         "--slow-read=2:4294967296: expected N:MS, the N-th Read (from 1) and its milliseconds"},
        {{"--break-after-blocks=-1", "--", "kestrel"},
         "--break-after-blocks=-1: N is a whole number of blocks"},
        {{"--break-after-blocks=x", "--", "kestrel"},
         "--break-after-blocks=x: N is a whole number of blocks"},
        {{"--break-at-ms=1.5", "--", "kestrel"},
         "--break-at-ms=1.5: T is a whole number of milliseconds"},
        {{"--break-at-ms=9223372036854776", "--", "kestrel"},
         "--break-at-ms=9223372036854776: T is a whole number of milliseconds"},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseMachineOptions(c.args);
        EXPECT_FALSE(parsed.options) << ::testing::PrintToString(c.args);
        EXPECT_EQ(parsed.error, c.error) << ::testing::PrintToString(c.args);
    }
}

TEST(MachineOptions, TheLargestBreakTimeThatFitsIsTaken) {
    const auto parsed = ParseMachineOptions({"--break-at-ms=9223372036854775", "--", "kestrel"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->config.breakAtUs, 9223372036854775000LL);
}

} // namespace
