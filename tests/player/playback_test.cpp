// The whole player on the machine: every way setup can end, what reaches the
// DAC and the S/PDIF output, the end of the data, CTRL-C and failing reads.
#include <algorithm>
#include <csignal>
#include <optional>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using namespace harness;

constexpr std::size_t kBuffer = 6144;
// After its last buffer the channel goes on fetching until it is stopped:
// at most a millisecond of 48 kHz stereo frames.
constexpr std::size_t kMaxTail = 48 * 4;

// What the player took (+), failed to take (!) and gave back (-), in order.
std::string Taken(const machine::Result& r) {
    std::string out;
    for (const machine::TraceEvent& e :
         Events(r, {"library_open", "library_close", "alloc", "free", "int_server_add",
                    "int_server_remove", "file_open", "file_close", "signal_alloc", "signal_free",
                    "pci_config_write"})) {
        const std::string_view name = e.name;
        const bool failed = e.Number("ok") == 0 || (name == "signal_alloc" && e.Number("bit") < 0);
        std::string what(name.substr(0, name.find('_')));
        if (name.starts_with("library")) {
            what = e.Text("name").starts_with("ac97") ? "mixer" : "pci";
        } else if (name == "pci_config_write") {
            what = "config" + std::to_string(e.Number("offset"));
        }
        const bool release =
            name.ends_with("close") || name.ends_with("free") || name.ends_with("remove");
        out += (out.empty() ? "" : " ") + std::string(release ? "-" : failed ? "!" : "+") + what;
    }
    return out;
}

TEST(Setup, EveryExitReleasesWhatCameBeforeIt) {
    const Bytes file = Pattern(kBuffer);
    const std::string kPlayed = "Transfering audio data\nPlaying file (CTRL-C to abort playing)\n";
    const std::string kStart = "+mixer +pci +alloc +config4 +int +config60 ";
    const std::string kEnd = "-int -free -pci -mixer";
    const struct {
        std::optional<machine::Fault> fault; // none and 20: the file is missing
        std::string output, taken;
        int rc;
    } cases[] = {
        // clang-format off
        {machine::Fault::MixerLibrary, "Unable to open ac97mixer.library\n", "!mixer", 20},
        {machine::Fault::MixerLibraryOld, "Unable to open ac97mixer.library\n", "!mixer", 20},
        {machine::Fault::Mixer, "Can't find mixer\n", "+mixer -mixer", 20},
        {machine::Fault::PciLibrary, "Unable to open cybpci.library\n", "+mixer !pci -mixer", 20},
        {machine::Fault::Device, "Unable to find VIA8231 audio device\n", "+mixer +pci -pci -mixer", 20},
        {machine::Fault::Memory, "Unable to allocate fixed memory address\n", "+mixer +pci !alloc -pci -mixer", 20},
        {machine::Fault::IoWindow, "Unable to find VIA8231 audio device\n", "+mixer +pci +alloc +config4 -free -pci -mixer", 20},
        {std::nullopt, "", kStart + "!file " + kEnd, 20},
        {machine::Fault::Signal, "Transfering audio data\nUnable to allocate signal\n", kStart + "+file !signal -file " + kEnd, 20},
        {machine::Fault::IntServer, "failed to add int handler\n" + kPlayed, "+mixer +pci +alloc +config4 !int +config60 +file +signal -file -int -signal -free -pci -mixer", 0},
        {std::nullopt, kPlayed, kStart + "+file +signal -file -int -signal -free -pci -mixer", 0},
        // clang-format on
    };
    const auto powerOn = OnMachine([] {}).codecRegisters;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.taken);
        machine::Config config;
        config.breakAfterBlocks = 1; // the only way to end a run with no interrupt server
        if (c.fault) {
            config.faults.insert(*c.fault);
        }
        const machine::Result r = !c.fault && c.rc == 20
                                      ? PlayArgs({"kestrel", ScratchPath("none")}, config)
                                      : Play(file, config);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(Taken(r), c.taken);
        EXPECT_EQ(r.returnCode, c.rc);
        EXPECT_TRUE(r.violations.empty()) << r.violations.front();
        EXPECT_EQ(r.codecRegisters, powerOn); // every exit puts the codec back
        const std::vector<std::string> io = Summary(r, {"io_write", "io_read"});
        // No register before the file is open; the channel only starts to play.
        EXPECT_EQ(!io.empty(), c.taken.find("+file") != std::string::npos);
        EXPECT_EQ(std::count(io.begin(), io.end(), "io_write8 @01=80"), c.rc == 0 ? 1 : 0);
    }
}

TEST(Setup, UsageNamesTheCommand) {
    const struct {
        std::vector<std::string> argv;
        const char* output;
    } cases[] = {{{}, "Usage: kestrel filename\n"},
                 {{"play"}, "Usage: play filename\n"},
                 {{"play", "a", "b"}, "Usage: play filename\n"}};
    for (const auto& c : cases) {
        const machine::Result r = PlayArgs(c.argv);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(r.returnCode, 100);
        EXPECT_TRUE(r.trace.size() == 1 && r.trace[0].name == std::string_view("print"));
    }
}

// The capture holds expected, then silence: whole buffers, and at most the
// channel's fetches after the last one.
void ExpectPadded(const machine::Capture& capture, const Bytes& expected, std::size_t buffers) {
    ASSERT_GE(capture.bytes.size(), buffers * kBuffer);
    EXPECT_LE(capture.bytes.size(), buffers * kBuffer + kMaxTail);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), capture.bytes.begin()));
    EXPECT_TRUE(std::all_of(capture.bytes.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                            capture.bytes.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(Playback, RawDataToItsEnd) {
    for (std::size_t size : {std::size_t{0}, std::size_t{100}, 2 * kBuffer, kBuffer + 101}) {
        SCOPED_TRACE(size);
        const Bytes file = Pattern(size);
        const machine::Result r = Play(file);
        const std::size_t buffers = std::max<std::size_t>(1, (size + kBuffer - 1) / kBuffer);
        EXPECT_EQ(r.returnCode, 0);
        EXPECT_EQ(r.report.blocks, buffers);
        EXPECT_EQ(r.report.overruns, 0u);
        ExpectPadded(r.dac, file, buffers);
        EXPECT_EQ(r.dac.segments.at(0).rate, 48000u);
        EXPECT_TRUE(r.violations.empty());
    }
    // Every platform call is traced, those that neither take nor touch anything too.
    const machine::Result r = Play(Pattern(100));
    std::vector<std::string> calls;
    for (const machine::TraceEvent& e :
         Events(r, {"find_mixer", "find_pci_device", "get_pci_device_attr", "get_pci_bus_address",
                    "seek", "find_task", "signal", "wait"})) {
        calls.emplace_back(e.name);
    }
    EXPECT_EQ(Summary(r, {"find_mixer", "find_pci_device", "find_task"}),
              (std::vector<std::string>{"find_mixer ok", "find_pci_device ok", "find_task ok"}));
    EXPECT_EQ(calls, (std::vector<std::string>{"find_mixer", "find_pci_device",
                                               "get_pci_device_attr", "get_pci_bus_address",
                                               "get_pci_bus_address", "get_pci_bus_address", "seek",
                                               "find_task", "signal", "wait"}));
}

TEST(Playback, Ac3AsBurstsWithTheDacMuted) {
    const Bytes frame0 = Ac3Frame(0, 24, 0x400, 1);
    const Bytes frame1 = Ac3Frame(0, 24, 0x400, 2);
    const Bytes cut(frame1.begin(), frame1.begin() + 0x101);
    const machine::Result r = Play(Concat({frame0, frame1, cut}));
    const Bytes stuffing(kBuffer - 8 - 0x400, 0);
    const Bytes bursts = Concat(
        {BurstPreamble(0x400), Swap16(frame0), stuffing, BurstPreamble(0x400), Swap16(frame1),
         stuffing, BurstPreamble(0x400), Swap16(Concat({cut, Bytes(0x400 - 0x101, 0)})), stuffing});
    EXPECT_EQ(r.returnCode, 0);
    ASSERT_FALSE(r.spdif.segments.empty());
    EXPECT_TRUE(r.spdif.segments.back().nonAudio);
    EXPECT_EQ(r.report.blocks, 3u);
    // The transmitter plays each burst from its preamble on.
    const std::size_t start = r.spdif.segments.back().offset;
    EXPECT_TRUE(std::equal(bursts.begin(), bursts.end(), r.spdif.bytes.begin() + start));
    EXPECT_TRUE(std::all_of(r.dac.segments.begin(), r.dac.segments.end(),
                            [](const machine::Segment& s) { return s.muted; }));
    EXPECT_EQ(r.codecRegisters.at(0x3A), 0x2000);
}

TEST(Playback, BreaksAndFailingReads) {
    const Bytes file = Pattern(5 * kBuffer);
    struct Case {
        std::string name;
        long long breakAfterBlocks, breakAtUs;
        int failReadAt;
        std::uint64_t blocks;
        std::size_t played; // bytes of the file heard
    };
    std::vector<Case> cases = {
        {"CTRL-C pending before playback", -1, 0, 0, 5, 5 * kBuffer},
        {"CTRL-C after no block, so before playback", 0, -1, 0, 5, 5 * kBuffer},
        {"CTRL-C in the first buffer", -1, 1000, 0, 0, 0},
        {"CTRL-C at a buffer end", 2, -1, 0, 2, 2 * kBuffer},
        {"CTRL-C in the middle", -1, 100000, 0, 3, 3 * kBuffer},
    };
    // Reads: the header, five pieces, the empty one at the end. A failure
    // ends the data there: what the buffers hold plays out, nothing more is read.
    for (int k = 1; k <= 7; ++k) {
        const std::size_t pieces = k > 2 ? k - 2 : 0;
        cases.push_back({"read " + std::to_string(k) + " fails", -1, -1, k,
                         std::max<std::uint64_t>(1, pieces), pieces * kBuffer});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine::Config config;
        config.breakAfterBlocks = c.breakAfterBlocks;
        config.breakAtUs = c.breakAtUs;
        config.failReadAt = c.failReadAt;
        const machine::Result r = Play(file, config);
        EXPECT_EQ(r.returnCode, c.failReadAt != 0 ? 10 : 0);
        EXPECT_EQ(r.report.blocks, c.blocks);
        EXPECT_EQ(r.report.overruns, 0u);
        EXPECT_EQ(Events(r, {"break"}).size(), c.breakAfterBlocks >= 0 || c.breakAtUs >= 0);
        const Bytes heard(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(c.played));
        if (c.failReadAt != 0) {
            ExpectPadded(r.dac, heard, c.blocks);
            EXPECT_EQ(Events(r, {"file_read"}).size(), std::size_t(c.failReadAt));
        } else {
            EXPECT_TRUE(std::equal(heard.begin(), heard.end(), r.dac.bytes.begin()));
        }
        EXPECT_TRUE(r.violations.empty());
        EXPECT_EQ(Events(r, {"file_close"}).size(), 1u);
        EXPECT_EQ(r.codecRegisters.at(0x2A), 0x0005);
    }
}

TEST(Playback, APipePlaysExactlyAsTheSameFile) {
    std::signal(SIGPIPE, SIG_IGN); // a reader that stops early must not end the test
    const Bytes frames = Concat({Ac3Frame(0, 24, 0x400, 1), Ac3Frame(0, 24, 0x400, 2)});
    for (const Bytes& file :
         {Aiff(44100, Pattern(kBuffer)), frames, Pattern(kBuffer + 10), Bytes{0x7F}}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::thread writer([&] {
            for (std::size_t at = 0; at < file.size();) {
                const ssize_t n = write(fds[1], file.data() + at, file.size() - at);
                at = n > 0 ? at + static_cast<std::size_t>(n) : file.size();
            }
            close(fds[1]);
        });
        const machine::Result piped = PlayArgs({"kestrel", "/dev/fd/" + std::to_string(fds[0])});
        writer.join();
        close(fds[0]);
        const machine::Result plain = Play(file);
        EXPECT_EQ(piped.output, plain.output);
        EXPECT_TRUE(piped.dac.bytes == plain.dac.bytes);
        EXPECT_TRUE(piped.spdif.bytes == plain.spdif.bytes);
        EXPECT_EQ(piped.returnCode, 0);
        EXPECT_TRUE(piped.violations.empty());
    }
}

TEST(Playback, WithoutAServerBufferZeroPlaysThenOnlyAUserCouldEndTheWait) {
    machine::Config config;
    config.faults.insert(machine::Fault::IntServer);
    config.hostSigint = true; // but nobody at a terminal: that wait is a hang
    const Bytes file = Pattern(2 * kBuffer);
    const machine::Result r = Play(file, config);
    EXPECT_TRUE(r.hung);
    EXPECT_EQ(r.violations,
              std::vector<std::string>{"hang: Wait with nothing that can wake the task"});
    EXPECT_EQ(r.report.blocks, 1u);
    ExpectPadded(r.dac, Bytes(file.begin(), file.begin() + kBuffer), 1);
}

TEST(Playback, ASlowReadIsAnOverrunAndPlaybackGoesOn) {
    machine::Config config;
    config.slowReadMs[3] = 40; // a buffer lasts 32 ms at 48 kHz
    const machine::Result r = Play(Pattern(4 * kBuffer), config);
    EXPECT_EQ(r.returnCode, 0);
    EXPECT_EQ(r.report.overruns, 1u); // once, however long the Read overlaps it
    EXPECT_EQ(r.report.blocks, 4u);
    EXPECT_TRUE(r.violations.empty());
}

} // namespace
