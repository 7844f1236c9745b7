// kestrel and kestrel-machine as a user runs them: the option parser, exit
// statuses, what each stream carries, the captures however a run stops, the
// version tag, the sound device and the trace file.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <tuple>

#include <gtest/gtest.h>

#include "app/options.h"
#include "platform/byteorder.h"
#include "support/harness.h"

namespace {

using namespace harness;
using Args = std::vector<std::string>;

const std::string kPlaying = "Playing file (CTRL-C to abort playing)\n";
const std::string kRawOutput = "Transfering audio data\n" + kPlaying;

// The tests run from build/tests; the programs are built in build/app.
const std::string kKestrel =
    std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "app/kestrel";

// Runs a command line, split at spaces, with the harness's sound devices.
Process Shell(const std::string& line, int signal = 0, const std::vector<std::string>& env = {}) {
    return RunProgram(Words(line),
                      {env, signal != 0 ? kPlaying : "", signal, signal == SIGKILL ? "1.5" : "0"});
}

TEST(MachineOptions, WhatEachCommandLineSetsOrWhyItIsRefused) {
    using O = const app::MachineOptions&;
    // A command line, and the argument its refusal names or what it sets.
    const std::tuple<std::string, std::string, bool (*)(O)> cases[] = {
        // clang-format off
        {"-- kestrel f", "", [](O o) {
             const machine::Config& c = o.config;
             return o.command == Args{"kestrel", "f"} && c.clock == machine::ClockKind::Virtual && c.spdifOn && c.vraOn &&
                    c.faults.empty() && c.breakAtUs == -1 && !o.live; }},
        {"--speed=0.25 --clock real --dac-wav=a=b --spdif-w s --tr t --live --rep --spdif=off --vra=off --vra on "
         "--fail=read:3 --fail=device --fail memory --slow-read=2:0 --break-af=0 --break-at-ms=5 --live-s r -- kestrel f", "", [](O o) {
             const machine::Config& c = o.config;
             return c.clock == machine::ClockKind::Real && c.speed == 0.25 && o.dacWav == "a=b" && o.spdifWav == "s" &&
                    o.trace == "t" && o.live && o.report && !c.spdifOn && c.vraOn && c.failReadAt == 3 && c.faults.size() == 2 &&
                    c.faults.count(machine::Fault::Memory) && c.slowReadMs.at(2) == 0 && c.breakAfterBlocks == 0 &&
                    c.breakAtUs == 5000 && o.liveSpdifPcm == "r"; }},
        {"--help", "", [](O o) { return o.help; }},
        {"--vers", "", [](O o) { return o.version; }},
        {"-- kestrel --live", "", [](O o) { return !o.live && o.command.size() == 2; }},
        {"--bogus -- kestrel f", "'--bogus'", nullptr},
        {"kestrel f", "'kestrel'", nullptr},
        {"--live --", "'--'", nullptr},
        {"--report=1 -- kestrel f", "--report takes no value", nullptr},
        {"--dac-wav -- kestrel f", "--dac-wav needs", nullptr},
        {"--sp=2 -- kestrel f", "ambiguous option '--sp=2'", nullptr},
        {"--speed=2 -- kestrel f", "--speed", nullptr},
        {"--fail=read:0 -- kestrel f", "--fail=read:0", nullptr},
        {"--slow-read=1:4294967296 -- kestrel f", "--slow-read=1:4294967296", nullptr},
        {"--break-at-ms=9223372036854776 -- kestrel f", "--break-at-ms=9223372036854776", nullptr},
        // clang-format on
    };
    for (const auto& [line, naming, sets] : cases) {
        SCOPED_TRACE(line);
        const app::ParsedOptions parsed = app::ParseMachineOptions(Words(line));
        ASSERT_EQ(parsed.options.has_value(), sets != nullptr) << parsed.error;
        EXPECT_TRUE(sets ? sets(*parsed.options) : parsed.error.find(naming) != std::string::npos)
            << parsed.error;
    }
}

// Whenever the player got to play, the capture is a valid WAV file, whether
// the run ended or was stopped. With no interrupt server and no terminal to
// press CTRL-C at, the wait is the machine's hang report.
TEST(Programs, ExitStatusStreamsCapturesAndVersionTag) {
    const std::string dac = ScratchPath("dac.wav"), trace = ScratchPath("trace.jsonl");
    const std::string m = "kestrel-machine --dac-wav=" + dac + " --trace=" + trace + " ";
    const std::string half = " " + WriteFile("half", Pattern(96000));
    const std::string ten = " " + WriteFile("ten", Pattern(1920000)); // seconds
    const std::string none = ScratchPath("none"), dir = ScratchPath("dir");
    std::filesystem::create_directory(dir);
    // As sox writes it by default: a comment chunk before the common chunk.
    Bytes aiff = Aiff(44100, Pattern(6144));
    aiff.insert(aiff.begin() + 12, {'A', 'N', 'N', 'O', 0, 0, 0, 4, 'a', 'b', 'c', 'd'});
    const std::string sox = WriteFile("sox.aiff", aiff);
    // A command line, its exit status, standard output and error, and the
    // signal it gets once it plays.
    const std::tuple<std::string, int, std::string, std::string, int> cases[] = {
        // clang-format off
        {m + "-- kestrel", 100, "Usage: kestrel filename\n", "", 0},
        {m + "--fail=device -- kestrel" + half, 20, "Unable to find VIA8231 audio device\n", "", 0},
        {m + "--fail=read:2 -- kestrel" + half, 10, kRawOutput, "", 0},
        {m + "-- kestrel " + none, 20, "", "kestrel-machine: " + none + ": No such file or directory\n", 0},
        {m + "-- kestrel " + dir, 10, kRawOutput, "kestrel-machine: " + dir + ": Is a directory\n", 0},
        {m + "-- kestrel " + sox, 0, "Transfering audio data\nfreq: 0\n" + kPlaying, "kestrel-machine: " + sox +
         ": an AIFF file whose common chunk does not follow the FORM header; the player plays it as 16-bit stereo "
         "from byte 46 at 8000 Hz, what the codec makes of the 0 it reads at byte 28. Convert it with: sox '" + sox +
         "' -b 16 -c 2 --comment \"\" out.aiff\n", 0},
        {m + "--fail=int-server -- kestrel" + half, 70, "failed to add int handler\n" + kRawOutput, "kestrel-machine: violation: hang: Wait with nothing that can wake the task\n", 0},
        {m + "--report -- kestrel" + half, 0, kRawOutput, "kestrel-machine: 16 blocks played, 0.552 s machine time, 0 overruns, 0 violations, refill slack min 0.000 ms (block 1), median 32.000 ms, max 32.000 ms\n", 0},
        {m + "--break-after-blocks=3 -- kestrel" + ten, 0, kRawOutput, "", 0},
        {m + "--clock=real -- kestrel" + ten, 0, kRawOutput, "", SIGINT},
        {m + "--clock=real -- kestrel" + ten, 0, kRawOutput, "", SIGTERM},
        {m + "--clock=real -- kestrel" + ten, 0, kRawOutput, "", SIGHUP},
        {m + "--clock=real --speed=4 -- kestrel" + ten, 128 + SIGKILL, kRawOutput, "", SIGKILL},
        {m + "--bogus -- kestrel" + half, 2, "", "kestrel-machine: unknown option '--bogus'\nTry 'kestrel-machine --help'.\n", 0},
        {m + "--help", 0, app::MachineUsage(), "", 0},
        {m + "--vers", 0, "kestrel-machine (kestrel) 1.0 (15.12.05)\n", "", 0},
        {"kestrel" + half + half, 100, "Usage: " + kKestrel + " filename\n", "", 0},
        {"kestrel --help", 0, app::KestrelUsage(), "", 0},
        {"kestrel --version", 0, "kestrel 1.0 (15.12.05)\n", "", 0},
        {"kestrel" + half, 0, kRawOutput, "", 0},
        {"kestrel" + ten, 0, kRawOutput, "", SIGINT},
        // clang-format on
    };
    for (const auto& [line, status, out, err, signal] : cases) {
        SCOPED_TRACE(line + " " + std::to_string(signal));
        std::filesystem::remove(dac);
        const Process run = Shell(line, signal);
        EXPECT_EQ(std::tie(run.status, run.out, run.err), std::tie(status, out, err));
        if (signal == SIGKILL) { // the header counts all but at most the last second
            const Bytes file = ReadFile(dac);
            ASSERT_GE(file.size(), 44u);
            EXPECT_LT(file.size() - 44 - LoadLE32(&file[40]), 192000u); // huge when it counts more
        } else if (line.starts_with(m) && out.ends_with(kPlaying)) {
            EXPECT_EQ(ParseWav(ReadFile(dac)).error, "");
            // The trace goes on to the teardown's last step, or the hang.
            const Bytes text = ReadFile(trace);
            EXPECT_TRUE(std::string(text.begin(), text.end())
                            .ends_with(status == 70 ? "task\"}\n" : "\"ac97mixer.library\"}\n"));
        }
    }
    // The player carries its version tag, NUL included.
    const Bytes binary = ReadFile(kKestrel);
    const std::string tag("$VER: kestrel 1.0 (15.12.05)", 29);
    EXPECT_NE(std::search(binary.begin(), binary.end(), tag.begin(), tag.end()), binary.end());
}

// Through the host's shell: on a terminal, a status line shows the run's
// progress and is cleared at the end; a pipe gives the player every byte the
// file does, as nothing reads ahead of it.
TEST(Programs, OnATerminalProgressShowsAndAPipePlaysAsTheFile) {
    if (!KESTREL_HOST_TOOLS) {
        GTEST_SKIP() << "no shell or pseudo-terminal through the emulator";
    }
    const std::string raw = WriteFile("second.raw", Pattern(192000));
    for (const std::string quiet : {"", "--quiet "}) {
        const Process run =
            RunProgram({"script", "-qec",
                        kKestrel + "-machine --clock=real --speed=4 " + quiet + "-- kestrel " + raw,
                        "/dev/null"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.find(" s of 1.0 s, ") != std::string::npos, quiet.empty()) << run.out;
        EXPECT_EQ(run.out.ends_with("overruns\r\033[K"), quiet.empty()) << run.out;
    }
    const std::string m = kKestrel + "-machine --dac-wav=" + ScratchPath("");
    ASSERT_EQ(RunProgram({"sh", "-c", m + "file.wav -- kestrel " + raw}).status, 0);
    ASSERT_EQ(RunProgram({"sh", "-c", "cat " + raw + " | " + m + "pipe.wav -- kestrel /dev/stdin"})
                  .status,
              0);
    EXPECT_TRUE(ReadFile(ScratchPath("pipe.wav")) == ReadFile(ScratchPath("file.wav")));
}

// The line out and the S/PDIF output reach the ALSA PCMs named for them, as
// captured. An IEC958 device gets the codec's channel status: non-audio for
// the bursts, the rate's code (32 kHz: 3). A PCM that does not open, or takes
// no channel status, is named in one line.
TEST(Programs, TheOutputsReachTheSoundDevices) {
    if (!(KESTREL_HOST_TOOLS && KESTREL_HAVE_ALSA)) {
        GTEST_SKIP() << "no ALSA in this build";
    }
    const std::string raw = " " + WriteFile("live", Pattern(48000));
    const std::string ac3 =
        " " + WriteFile("live.ac3", Concat({Ac3Frame(0, 24, 0x400, 1), Ac3Frame(0, 24, 0x400, 2)}));
    const std::string aiff = " " + WriteFile("live.aiff", Aiff(32000, Pattern(7000)));
    const std::string m = "kestrel-machine --dac-wav=" + ScratchPath("dac.wav") +
                          " --spdif-wav=" + ScratchPath("spdif.wav") + " ";
    const std::string why = ": cannot open ALSA PCM 'none': No such file or directory; playing "
                            "silently\n";
    // A command line, its environment and standard error, the capture the
    // device's stream equals, and the channel status (AES0 to AES3, from the
    // low byte) for an IEC958 device.
    const std::tuple<std::string, std::string, std::string, const char*, std::uint32_t> rows[] = {
        // clang-format off
        {m + "--live -- kestrel" + raw, "", "", "dac.wav", 0},
        {m + "--live=named -- kestrel" + raw, "", "", "dac.wav", 0},
        {m + "--live=none -- kestrel" + raw, "", "kestrel-machine: --live" + why, nullptr, 0},
        {"kestrel" + raw, "KESTREL_PCM=none", "kestrel" + why, nullptr, 0},
        {m + "--live-spdif=named -- kestrel" + ac3, "",
         "kestrel-machine: --live-spdif: cannot set the IEC958 channel status of ALSA PCM 'named'; sending the stream as it is\n", "spdif.wav", 0},
        {m + "--live-spdif=spdif -- kestrel" + ac3, "", "", "spdif.wav", 0x02000002},
        {m + "--live-spdif=spdif -- kestrel" + aiff, "", "", "spdif.wav", 0x03000000},
        {"kestrel" + ac3, "KESTREL_SPDIF_PCM=spdif", "", nullptr, 0x02000002},
        // clang-format on
    };
    for (const auto& [line, env, err, capture, status] : rows) {
        SCOPED_TRACE(line);
        std::filesystem::remove(ScratchPath("played.raw"));
        std::filesystem::remove(ScratchPath("subframes.raw"));
        const Process run = Shell(line, 0, Args(!env.empty(), env));
        EXPECT_EQ(std::pair(run.status, run.err), std::pair(0, err));
        Bytes played = ReadFile(ScratchPath("played.raw"));
        if (status != 0) {
            // 32-bit subframes: preamble in bits 0-3 (Z, 8, starts a block),
            // the sample in 12-27, the channel status bit in 30.
            const Bytes sub = ReadFile(ScratchPath("subframes.raw"));
            ASSERT_GE(sub.size(), 192u * 8);
            std::uint32_t cs = 0;
            for (std::size_t at = 0; at < sub.size(); at += 4) {
                const std::uint32_t word = LoadLE32(&sub[at]);
                played.insert(played.end(), {std::uint8_t(word >> 12), std::uint8_t(word >> 20)});
                cs |= at < 64 * 4 && at % 8 == 0 ? (word >> 30 & 1) << at / 8 : 0;
            }
            EXPECT_EQ(std::pair(sub[0] & 0xF, cs), std::pair(8, status));
        }
        EXPECT_TRUE(!capture || played == ParseWav(ReadFile(ScratchPath(capture))).data);
    }
}

TEST(Programs, TheTraceIsJsonLines) {
    const std::string trace = ScratchPath("trace.jsonl");
    // UTF-8 passes through; a byte that is not UTF-8 is escaped as its Latin-1 character.
    const std::string raw = WriteFile("t-\u00e9\xff.raw", Pattern(19200));
    ASSERT_EQ(Shell("kestrel-machine --trace=" + trace + " -- kestrel " + raw).status, 0);
    const Bytes bytes = ReadFile(trace);
    const Process jq = Shell("jq -c . " + trace);
    ASSERT_EQ(jq.status, 0) << jq.err;
    // Compact JSON objects, one a line, as jq writes them back, the escape
    // of the file name's last byte aside.
    std::string text(bytes.begin(), bytes.end());
    text.replace(text.find("\\u00ff"), 6, "\u00ff");
    EXPECT_EQ(jq.out, text);
    // The first event and its flag, the contexts, machine time never going
    // back, the number of lines.
    EXPECT_EQ(
        Shell("jq -s -c [.[0].ev,.[0].ok,(map(.ctx)|unique),(map(.t)|.==sort),length] " + trace)
            .out,
        "[\"library_open\",true,[\"int\",\"task\"],true," +
            std::to_string(std::count(bytes.begin(), bytes.end(), '\n')) + "]\n");
}

} // namespace
