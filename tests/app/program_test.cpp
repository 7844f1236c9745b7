// kestrel and kestrel-machine run as processes: exit statuses, what goes to
// standard output and error, CTRL-C from the terminal, real-time pace.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/options.h"
#include "subprocess.h"
#include "support/files.h"
#include "wav_file.h"

namespace {

using app_testing::ProgramOptions;
using app_testing::ProgramRun;
using app_testing::RunProgram;

const std::string kMachine = KESTREL_MACHINE_PATH;
const std::string kPlayer = KESTREL_PATH;
const std::string kPlaying = "Playing file (CTRL-C to abort playing)\n";
const std::string kRawOutput = "Transfering audio data\n" + kPlaying;
// Raw files play at 48000 Hz, four bytes a frame.
constexpr std::size_t kBytesPerSecond = 48000 * 4;

// The default ALSA device of the programs started here is a null sink, so
// that a test never sounds on the host.
std::vector<std::string> QuietSoundEnv() {
    const std::string config = app_testing::ScratchPath("null-asound.conf");
    app_testing::WriteFile(config, "pcm.!default { type null }\n");
    return {"ALSA_CONFIG_PATH=" + config};
}

std::string RawFile(double seconds) {
    return testing_support::WriteTempFile(
        "raw-" + std::to_string(seconds) + ".bin",
        testing_support::Pattern(static_cast<std::size_t>(seconds * kBytesPerSecond)));
}

struct StatusCase {
    const char* name;
    std::vector<std::string> argv;
    int status;
    std::string out;
    std::string errHas; // "" : standard error is empty
};

TEST(Programs, ExitStatusesAndWhatEachStreamCarries) {
    const std::string raw = RawFile(0.5);
    const std::string missing = app_testing::ScratchPath("no-such-file.aiff");
    const std::string badDir = app_testing::ScratchPath("no-such-dir") + "/dac.wav";
    const StatusCase cases[] = {
        {"usage", {kMachine, "--", "kestrel"}, 100, "Usage: kestrel filename\n", ""},
        {"usage, too many",
         {kMachine, "--", "C:Play", "a", "b"},
         100,
         "Usage: C:Play filename\n",
         ""},
        {"played", {kMachine, "--", "kestrel", raw}, 0, kRawOutput, ""},
        {"no file", {kMachine, "--", "kestrel", missing}, 20, "", ""},
        {"fail device",
         {kMachine, "--fail=device", "--", "kestrel", raw},
         20,
         "Unable to find VIA8231 audio device\n",
         ""},
        {"fail mixer library",
         {kMachine, "--fail=mixer-library", "--", "kestrel", raw},
         20,
         "Unable to open ac97mixer.library\n",
         ""},
        {"fail read", {kMachine, "--fail=read:2", "--", "kestrel", raw}, 10, kRawOutput, ""},
        {"break at 0", {kMachine, "--break-at-ms=0", "--", "kestrel", raw}, 0, kRawOutput, ""},
        {"bad option",
         {kMachine, "--bogus", "--", "kestrel", raw},
         2,
         "",
         "kestrel-machine: unknown option '--bogus'\nTry 'kestrel-machine --help'.\n"},
        {"no separator",
         {kMachine, "kestrel", raw},
         2,
         "",
         "unexpected argument 'kestrel' (the player's command line goes after '--')"},
        {"nothing", {kMachine}, 2, "", "missing '--' before the player's command line"},
        {"bad value", {kMachine, "--fail=read:0", "--", "kestrel"}, 2, "", "--fail=read:0: "},
        {"capture cannot be made",
         {kMachine, "--dac-wav=" + badDir, "--", "kestrel", raw},
         2,
         "",
         "--dac-wav=" + badDir + ": No such file or directory"},
        {"help", {kMachine, "--help"}, 0, app::kMachineUsage, ""},
        {"player usage", {kPlayer}, 100, "Usage: " + kPlayer + " filename\n", ""},
        {"player usage, two", {kPlayer, "a", "b"}, 100, "Usage: " + kPlayer + " filename\n", ""},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOptions options;
        options.env = QuietSoundEnv();
        const ProgramRun run = RunProgram(c.argv, options);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, c.out);
        if (c.errHas.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.errHas), std::string::npos) << run.err;
        }
    }
}

TEST(Programs, ReportIsOneLineOnStandardError) {
    const std::string raw = RawFile(0.5);
    const ProgramRun run = RunProgram({kMachine, "--report", "--", "kestrel", raw});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kRawOutput);
    // 0.5 s is 96000 bytes: 15 blocks of 6144 and a short last one, which
    // take at least as long to play.
    const std::string head = "kestrel-machine: 16 blocks played, ";
    const std::string tail = " s machine time, 0 overruns, 0 violations\n";
    ASSERT_GT(run.err.size(), head.size() + tail.size()) << run.err;
    EXPECT_EQ(run.err.substr(0, head.size()), head);
    EXPECT_EQ(run.err.substr(run.err.size() - tail.size()), tail);
    const std::string time =
        run.err.substr(head.size(), run.err.size() - head.size() - tail.size());
    ASSERT_EQ(time.find_first_not_of("0123456789."), std::string::npos) << time;
    ASSERT_EQ(time.size() - time.find('.'), 4u) << time;
    EXPECT_GE(std::stod(time), 0.5);
}

TEST(Programs, TraceIsJsonLinesAsTheMachineWroteThem) {
    const std::string raw = RawFile(0.1);
    const std::string trace = app_testing::ScratchPath("trace.jsonl");
    const ProgramRun run = RunProgram({kMachine, "--trace=" + trace, "--", "kestrel", raw});
    ASSERT_EQ(run.status, 0) << run.err;
    const app_testing::Bytes bytes = app_testing::ReadFileBytes(trace);
    const std::string text(bytes.begin(), bytes.end());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
        EXPECT_NE(line.find("\"ev\":"), std::string::npos) << line;
        ++lines;
        start = end + 1;
    }
    EXPECT_GT(lines, 10u);
    EXPECT_NE(text.find("\"ev\":\"codec_write\""), std::string::npos);
    EXPECT_NE(text.find("\"text\":\"Playing file (CTRL-C to abort playing)\\n\""),
              std::string::npos);
}

// CTRL-C from the terminal during a real-clock run: the player tears down as
// for any CTRL-C, prints nothing after the playing line and returns 0, and
// the capture is a valid WAV of what played until then.
TEST(Programs, SigintStopsARealClockRunWithTheFullTeardown) {
    const double seconds = 20;
    const std::string raw = RawFile(seconds);
    const std::string wav = app_testing::ScratchPath("sigint.wav");
    ProgramOptions options;
    options.sigintAfterOutput = kPlaying;
    const ProgramRun run = RunProgram(
        {kMachine, "--clock=real", "--speed=4", "--dac-wav=" + wav, "--", "kestrel", raw}, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kRawOutput);
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run.wallSeconds, seconds / 4 / 2) << "it played on after CTRL-C";
    const auto file = app_testing::ParseWav(app_testing::ReadFileBytes(wav));
    ASSERT_TRUE(file.valid) << file.why;
    EXPECT_EQ(file.rate, 48000u);
    EXPECT_LT(file.data.size(), static_cast<std::size_t>(seconds * kBytesPerSecond / 2));
}

TEST(Programs, SigintStopsKestrel) {
    const std::string raw = RawFile(20);
    ProgramOptions options;
    options.env = QuietSoundEnv();
    options.sigintAfterOutput = kPlaying;
    const ProgramRun run = RunProgram({kPlayer, raw}, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kRawOutput);
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run.wallSeconds, 10.0);
}

// At speed 1 a file takes as long as it plays, within a buffer, and the
// process sleeps between buffers rather than spinning.
TEST(Programs, RealClockKeepsThePaceAndSleeps) {
    const double seconds = 2;
    const std::string raw = RawFile(seconds);
    const ProgramRun run = RunProgram({kMachine, "--clock=real", "--report", "--", "kestrel", raw});
    ASSERT_EQ(run.status, 0) << run.err;
    const double buffer = 6144.0 / kBytesPerSecond;
    EXPECT_GE(run.wallSeconds, seconds - buffer);
    RecordProperty("cpu_seconds_per_audio_second", std::to_string(run.cpuSeconds / seconds));
    std::printf("wall %.3f s, cpu %.3f s for %.1f s of audio\n", run.wallSeconds, run.cpuSeconds,
                seconds);
    if (!app_testing::Emulated()) {
        // Startup of an instrumented build can take a while; the pace cannot.
        EXPECT_LT(run.wallSeconds, seconds + 1.0);
        EXPECT_LT(run.cpuSeconds, 0.25 * seconds);
    }
}

} // namespace
