// The whole player on the machine: every way setup can end, what reaches the
// DAC and the S/PDIF output, the end of the data, CTRL-C and failing reads.
#include <algorithm>
#include <csignal>
#include <optional>
#include <thread>
#include <tuple>

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
        const std::string what =
            name.starts_with("library")  ? (e.Text("name").starts_with("ac97") ? "mixer" : "pci")
            : name == "pci_config_write" ? "config" + std::to_string(e.Number("offset"))
                                         : std::string(name.substr(0, name.find('_')));
        const bool release =
            name.ends_with("close") || name.ends_with("free") || name.ends_with("remove");
        out += (out.empty() ? "" : " ") + std::string(release ? "-" : failed ? "!" : "+") + what;
    }
    return out;
}

TEST(Setup, EveryExitReleasesWhatCameBeforeIt) {
    const std::string file = WriteFile("input.bin", Pattern(kBuffer)), none = ScratchPath("none");
    const std::string kPlayed = "Transfering audio data\nPlaying file (CTRL-C to abort playing)\n";
    const std::string kStart = "+mixer +pci +alloc +config4 +int +config60 ";
    const std::string kEnd = "-int -free -pci -mixer";
    const std::string kUsage = "Usage: play filename\n";
    using Args = std::vector<std::string>;
    // The fault, the command line; the output, what was taken, the return code.
    const std::tuple<std::optional<machine::Fault>, Args, std::string, std::string, int> cases[] = {
        // clang-format off
        {machine::Fault::MixerLibrary, {"kestrel", file}, "Unable to open ac97mixer.library\n", "!mixer", 20},
        {machine::Fault::MixerLibraryOld, {"kestrel", file}, "Unable to open ac97mixer.library\n", "!mixer", 20},
        {machine::Fault::Mixer, {"kestrel", file}, "Can't find mixer\n", "+mixer -mixer", 20},
        {machine::Fault::PciLibrary, {"kestrel", file}, "Unable to open cybpci.library\n", "+mixer !pci -mixer", 20},
        {machine::Fault::Device, {"kestrel", file}, "Unable to find VIA8231 audio device\n", "+mixer +pci -pci -mixer", 20},
        {machine::Fault::Memory, {"kestrel", file}, "Unable to allocate fixed memory address\n", "+mixer +pci !alloc -pci -mixer", 20},
        {machine::Fault::IoWindow, {"kestrel", file}, "Unable to find VIA8231 audio device\n", "+mixer +pci +alloc +config4 -free -pci -mixer", 20},
        {std::nullopt, {"kestrel", none}, "", kStart + "!file " + kEnd, 20},
        {machine::Fault::Signal, {"kestrel", file}, "Transfering audio data\nUnable to allocate signal\n", kStart + "+file !signal -file " + kEnd, 20},
        {machine::Fault::IntServer, {"kestrel", file}, "failed to add int handler\n" + kPlayed, "+mixer +pci +alloc +config4 !int +config60 +file +signal -file -int -signal -free -pci -mixer", 0},
        {std::nullopt, {"kestrel", file}, kPlayed, kStart + "+file +signal -file -int -signal -free -pci -mixer", 0},
        // A usage error does nothing but say so, with the command's name.
        {std::nullopt, {}, "Usage: kestrel filename\n", "", 100},
        {std::nullopt, {"play"}, kUsage, "", 100},
        {std::nullopt, {"play", "a", "b"}, kUsage, "", 100},
        // clang-format on
    };
    const auto powerOn = OnMachine([] {}).codecRegisters;
    for (const auto& [fault, argv, output, taken, rc] : cases) {
        SCOPED_TRACE(taken);
        machine::Config config;
        config.breakAfterBlocks = 1; // the only way to end a run with no interrupt server
        if (fault) {
            config.faults.insert(*fault);
        }
        const machine::Result r = PlayArgs(argv, config);
        EXPECT_EQ(std::tie(r.output, r.returnCode), std::tie(output, rc));
        EXPECT_EQ(Taken(r), taken);
        EXPECT_TRUE(r.violations.empty()) << r.violations.front();
        EXPECT_EQ(r.codecRegisters, powerOn); // every exit puts the codec back
        EXPECT_EQ(r.trace.size() == 1, rc == 100);
        const std::vector<std::string> io = Summary(r, {"io_write", "io_read"});
        // No register before the file is open; the channel only starts to play.
        EXPECT_EQ(!io.empty(), taken.find("+file") != std::string::npos);
        EXPECT_EQ(std::count(io.begin(), io.end(), "io_write8 @01=80"), rc == 0 ? 1 : 0);
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

// Raw data plays to its end, to CTRL-C, or to a failing Read, which ends the
// data there: what the buffers hold plays out, nothing more is read. A Read
// slower than a buffer lasts is one overrun, and playback goes on.
TEST(Playback, RawDataToItsEndToABreakOrToAFailingRead) {
    using Row = std::tuple<std::string, std::size_t, long long, long long, int, int, std::uint64_t,
                           std::uint64_t, std::size_t>;
    // The file's size; CTRL-C after blocks or at a time in µs; the Read that
    // fails, the one that takes 40 ms; the blocks played, the overruns and the
    // bytes of the file heard.
    std::vector<Row> cases = {
        // clang-format off
        {"empty", 0, -1, -1, 0, 0, 1, 0, 0},
        {"100 bytes", 100, -1, -1, 0, 0, 1, 0, 100},
        {"two buffers", 2 * kBuffer, -1, -1, 0, 0, 2, 0, 2 * kBuffer},
        {"a buffer and 101 bytes", kBuffer + 101, -1, -1, 0, 0, 2, 0, kBuffer + 101},
        {"CTRL-C pending before playback", 5 * kBuffer, -1, 0, 0, 0, 5, 0, 5 * kBuffer},
        {"CTRL-C after no block, so before playback", 5 * kBuffer, 0, -1, 0, 0, 5, 0, 5 * kBuffer},
        {"CTRL-C in the first buffer", 5 * kBuffer, -1, 1000, 0, 0, 0, 0, 0},
        {"CTRL-C at a buffer end", 5 * kBuffer, 2, -1, 0, 0, 2, 0, 2 * kBuffer},
        {"CTRL-C in the middle", 5 * kBuffer, -1, 100000, 0, 0, 3, 0, 3 * kBuffer},
        {"a slow read", 4 * kBuffer, -1, -1, 0, 3, 4, 1, kBuffer},
        // clang-format on
    };
    // Reads: the header, five pieces, the empty one at the end.
    for (int k = 1; k <= 7; ++k) {
        const std::size_t pieces = k > 2 ? k - 2 : 0;
        cases.emplace_back("read " + std::to_string(k) + " fails", 5 * kBuffer, -1, -1, k, 0,
                           std::max<std::size_t>(1, pieces), 0, pieces * kBuffer);
    }
    for (const auto& [name, size, breakAfterBlocks, breakAtUs, failReadAt, slowRead, blocks,
                      overruns, played] : cases) {
        SCOPED_TRACE(name);
        const Bytes file = Pattern(size);
        machine::Config config;
        config.breakAfterBlocks = breakAfterBlocks, config.breakAtUs = breakAtUs;
        config.failReadAt = failReadAt, config.slowReadMs[slowRead] = slowRead != 0 ? 40 : 0;
        const machine::Result r = Play(file, config);
        EXPECT_EQ(r.returnCode, failReadAt != 0 ? 10 : 0);
        EXPECT_EQ(std::pair(r.report.blocks, r.report.overruns), std::pair(blocks, overruns));
        const bool broken = breakAfterBlocks >= 0 || breakAtUs >= 0;
        EXPECT_EQ(Events(r, {"break"}).size(), broken);
        const Bytes heard(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(played));
        if (broken || overruns != 0) {
            EXPECT_TRUE(std::equal(heard.begin(), heard.end(), r.dac.bytes.begin()));
        } else {
            ExpectPadded(r.dac, heard, blocks);
        }
        // Nothing is read after a Read that fails.
        EXPECT_EQ(failReadAt != 0 ? Events(r, {"file_read"}).size() : 0u, std::size_t(failReadAt));
        EXPECT_TRUE(r.violations.empty());
        EXPECT_EQ(Events(r, {"file_close"}).size(), 1u);
        EXPECT_EQ(r.codecRegisters.at(0x2A), 0x0005);
        EXPECT_EQ(r.dac.segments.at(0).rate, 48000u);
    }
    // Every platform call is traced, those that neither take nor touch anything too.
    const machine::Result r = Play(Pattern(100));
    std::string calls;
    for (const machine::TraceEvent& e :
         Events(r, {"find_mixer", "find_pci_device", "get_pci_device_attr", "get_pci_bus_address",
                    "seek", "find_task", "signal", "wait"})) {
        calls += std::string(e.name) + " ";
    }
    EXPECT_EQ(calls, "find_mixer find_pci_device get_pci_device_attr get_pci_bus_address "
                     "get_pci_bus_address get_pci_bus_address seek find_task signal wait ");
    EXPECT_EQ(Summary(r, {"find_mixer", "find_pci_device", "find_task"}),
              (std::vector<std::string>{"find_mixer ok", "find_pci_device ok", "find_task ok"}));
}

TEST(Playback, Ac3AsBurstsWithTheDacMuted) {
    const Bytes frame0 = Ac3Frame(0, 24, 0x400, 1), frame1 = Ac3Frame(0, 24, 0x400, 2);
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

TEST(Playback, APipePlaysExactlyAsTheSameFile) {
    std::signal(SIGPIPE, SIG_IGN); // a reader that stops early must not end the test
    const Bytes frames = Concat({Ac3Frame(0, 24, 0x400, 1), Ac3Frame(0, 24, 0x400, 2)});
    for (const Bytes& file :
         {Aiff(44100, Pattern(kBuffer)), frames, Pattern(kBuffer + 10), Bytes{0x7F}}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::thread writer([&] { // a blocking write to a pipe writes it all
            [[maybe_unused]] const ssize_t n = write(fds[1], file.data(), file.size());
            close(fds[1]);
        });
        const machine::Result piped = PlayArgs({"kestrel", "/dev/fd/" + std::to_string(fds[0])});
        writer.join();
        close(fds[0]);
        const machine::Result plain = Play(file);
        EXPECT_EQ(std::pair(piped.output, piped.returnCode), std::pair(plain.output, 0));
        EXPECT_TRUE(piped.dac.bytes == plain.dac.bytes && piped.spdif.bytes == plain.spdif.bytes);
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

} // namespace
