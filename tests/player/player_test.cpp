// The player's pieces and the whole player, on the machine: stream headers,
// detection, the refill in each mode and the burst preamble, each on the bytes
// the controller will read; the descriptor table, start and stop, the interrupt
// server and the codec settings, as the machine sees them; then every way setup
// can end, what reaches the DAC and the S/PDIF output, the end of the data,
// CTRL-C and failing reads.
#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <limits>
#include <set>
#include <thread>
#include <tuple>

#include <unistd.h>

#include <gtest/gtest.h>

#include "frontend/entry.h"
#include "hw/codec.h"
#include "hw/dma.h"
#include "hw/interrupt.h"
#include "hw/vt8231.h"
#include "input/detect.h"
#include "input/headers.h"
#include "input/refill.h"
#include "platform/byteorder.h"
#include "platform/dos.h"
#include "spdif/data_burst.h"
#include "state/player_state.h"
#include "support/harness.h"

namespace {

using namespace harness;

constexpr std::size_t kBuffer = 6144; // a transfer buffer

// Every 16-bit word with its two bytes exchanged; an odd last byte stays.
Bytes Swap16(Bytes bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::swap(bytes[i], bytes[i + 1]);
    }
    return bytes;
}

// Runs body on a machine with a file holding bytes open for it, the
// failReadAt-th Read (from 1) failing.
machine::Result OnFile(const Bytes& bytes, const std::function<void(BPTR file)>& body,
                       int failReadAt) {
    const std::string path = WriteFile("input.bin", bytes);
    machine::Config config;
    config.failReadAt = failReadAt;
    const auto run = [&] {
        const BPTR file = Open(path.c_str(), MODE_OLDFILE);
        body(file);
        Close(file);
    };
    return OnMachine(run, config);
}

// Runs the whole player on a file holding bytes.
machine::Result Play(const Bytes& file, const machine::Config& config = {}) {
    return machine::Run(config, PlayerMain, {"kestrel", WriteFile("input.bin", file)});
}

// Both transfer buffers back to back between two guard areas as long as one,
// all guard bytes at first; installed as the player's buffers.
constexpr std::uint8_t kGuardByte = 0xA5;
struct GuardedBuffers {
    alignas(16) std::uint8_t bytes[4 * kBuffer];

    GuardedBuffers() {
        std::fill(std::begin(bytes), std::end(bytes), kGuardByte);
        ResetPlayerState();
        gPlayerState.bufferAddress[0] = reinterpret_cast<std::uintptr_t>(&bytes[kBuffer]);
        gPlayerState.bufferAddress[1] = gPlayerState.bufferAddress[0] + kBuffer;
    }
    // The guard before, buffer 0, buffer 1, the guard after.
    std::vector<Bytes> Areas() const {
        std::vector<Bytes> areas;
        for (const std::uint8_t* at = bytes; at != std::end(bytes); at += kBuffer) {
            areas.emplace_back(at, at + kBuffer);
        }
        return areas;
    }
};

// --- The input side ----------------------------------------------------------

// The AIFF rate: an 80-bit extended value read from any address, then the
// sample rate it gives, truncated and saturated.
TEST(Headers, AiffRateIsReadFromAnyAddressThenTruncatedAndSaturated) {
    for (const double want : {8000.0, 44100.75, -48000.0, 3.141592653589793, 0.0}) {
        // Mantissa bits below the double's are dropped, not rounded.
        for (const std::uint8_t low : {0x00, 0xFF}) {
            Bytes bytes = Concat({{0}, Extended(want)}); // at an odd address
            bytes[10] = low;
            double value = 1;
            ExtendedToDouble(bytes.data() + 1, &value);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(want))
                << want << " " << int{low};
        }
    }
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    // clang-format off
    const std::pair<double, std::int32_t> cases[] = {{44100.75, 44100}, {-0.5, 0}, {NAN, 0}, {2147483647.5, kMax}, {2147483648.0, kMax},
        {INFINITY, kMax}, {-2147483647.5, kMin + 1}, {-2147483648.5, kMin}, {-2147483649.0, kMin}, {-INFINITY, kMin}};
    // clang-format on
    for (const auto& [value, rate] : cases) {
        EXPECT_EQ(RateFromDouble(value), rate) << value;
    }
}

TEST(Detect, DecidesOnceFromTheHeader) {
    Bytes aiff = Aiff(22050, Pattern(64));
    aiff[4] = 0x7F; // "FORM" decides, whatever follows
    const Bytes lower = Concat({{'f', 'o', 'r', 'm'}, Bytes(aiff.begin() + 4, aiff.end())});
    const InputFormat raw{PlayMode::Raw, 48000, false, 0, 6144, 6144};
    const std::string ac3 = "Transfering data in AC3 mode, freq: 48000\n";
    // The file and the Read that fails; the format; the file position after;
    // the output after "Transfering audio data\n".
    const std::tuple<const char*, Bytes, int, InputFormat, std::int32_t, std::string> cases[] = {
        // clang-format off
        {"aiff", aiff, 0, {PlayMode::IffPcm, 22050, true, 0, 6144, 6144}, 46, "freq: 22050\n"},
        {"lower-case form", lower, 0, raw, 0, ""},
        {"ac3 448", Ac3Frame(0, 30, 0x700), 0, {PlayMode::Ac3, 48000, true, 8, 0x700, 0x700}, 0, "AC3 Stream SampleRate = 48000Hz BitRate = 448kbit\n" + ac3},
        {"ac3 code 24", Ac3Frame(0, 24, 0x400), 0, {PlayMode::Ac3, 48000, true, 8, 0x400, 0x400}, 0, "AC3 Stream SampleRate = 48000Hz BitRate = 256kbit\n" + ac3},
        {"ac3 code 33", Ac3Frame(0, 33, 0x800), 0, {PlayMode::Ac3, 48000, true, 8, 0x800, 0x800}, 0, "AC3 Stream SampleRate = 48000Hz BitRate = 512kbit\n" + ac3},
        {"ac3 code 23", Ac3Frame(0, 23, 0x700), 0, raw, 0, "Unsupported bitrate (code 23)\n"},
        {"ac3 code 34", Ac3Frame(0, 34, 0x700), 0, raw, 0, "Unsupported bitrate (code 34)\n"},
        {"ac3 44.1", Ac3Frame(1, 30, 0x700), 0, raw, 0, "Unsupported samplerate 44.1khz\n"},
        {"ac3 32", Ac3Frame(2, 30, 0x700), 0, raw, 0, "Unsupported samplerate 32khz\n"},
        {"ac3 fscod 3", Ac3Frame(3, 30, 0x700), 0, raw, 0, "Unsupported samplerate\n"},
        {"swapped sync", Swap16(Ac3Frame(0, 30, 0x700)), 0, raw, 0, ""},
        {"empty", {}, 0, raw, 0, ""},
        {"failed read", aiff, 1, raw, 0, ""},
        // clang-format on
    };
    for (const auto& [name, file, failRead, want, position, output] : cases) {
        SCOPED_TRACE(name);
        GuardedBuffers buffers;
        InputFormat f;
        std::int32_t at = -1;
        const machine::Result r = OnFile(
            file,
            [&](BPTR in) {
                f = DetectInput(in);
                at = Seek(in, 0, OFFSET_CURRENT);
            },
            failRead);
        EXPECT_EQ(
            std::tie(f.playMode, f.playbackRate, f.swapBytes, f.payloadOffset, f.readSize, at),
            std::tie(want.playMode, want.playbackRate, want.swapBytes, want.payloadOffset,
                     want.readSize, position));
        EXPECT_EQ(std::tie(r.output, gPlayerState.readFailed, gPlayerState.lastReadCount),
                  std::make_tuple("Transfering audio data\n" + output, failRead != 0,
                                  failRead != 0 ? -1 : std::min<std::int32_t>(46, file.size())));
    }
}

// The refill in each mode, into one buffer and nothing beyond it; header bytes
// a pipe gave up to detection lead the first refill.
TEST(Refill, FillsOneBufferInTheControllersOrder) {
    const InputFormat raw{PlayMode::Raw, 48000, false, 0, 6144, 6144},
        aiff{PlayMode::IffPcm, 48000, true, 0, 6144, 6144},
        ac3{PlayMode::Ac3, 48000, true, 8, 0x700, 0x700};
    const Bytes guard(8, kGuardByte);
    const auto zeros = [](std::size_t n) { return Bytes(n, 0); };
    const Bytes full = Pattern(6144 + 10), piece(full.begin(), full.begin() + 6144);
    const Bytes odd = Pattern(101), frame = Ac3Frame(0, 30, 0x700);
    const Bytes cut(frame.begin(), frame.begin() + 0x301), afterFrame(6144 - 8 - 0x700, kGuardByte);
    // The format, the file, the Read that fails, bytes held from detection;
    // the buffer, the count and the fill length, the buffer's bytes.
    const std::tuple<const char*, InputFormat, Bytes, int, std::string, unsigned, std::int32_t,
                     std::int32_t, Bytes>
        cases[] = {
            // clang-format off
        {"raw", raw, full, 0, "", 1, 6144, 6144, piece},
        {"raw odd", raw, odd, 0, "", 0, 101, 101, Concat({odd, zeros(6043)})},
        {"aiff", aiff, full, 0, "", 1, 6144, 6144, Swap16(piece)},
        {"aiff odd", aiff, odd, 0, "", 0, 101, 101, Concat({Swap16(odd), zeros(6043)})},
        {"raw failed", raw, full, 1, "", 1, -1, 0, zeros(6144)},
        {"held", raw, {}, 0, "abc", 0, 3, 3, Concat({{'a', 'b', 'c'}, zeros(6141)})},
        {"ac3", ac3, frame, 0, "", 0, 0x700, 6144, Concat({guard, Swap16(frame), afterFrame})},
        {"ac3 cut short", ac3, cut, 0, "", 1, 0x301, 6144, Concat({guard, Swap16(Concat({cut, zeros(0x700 - 0x301)})), afterFrame})},
        {"ac3 empty", ac3, {}, 0, "", 1, 0, 0, Concat({guard, zeros(0x700), afterFrame})},
        {"ac3 failed", ac3, frame, 1, "", 0, -1, 0, Concat({guard, zeros(0x700), afterFrame})},
            // clang-format on
        };
    for (const auto& [name, format, file, failRead, held, index, count, fillLength, buffer] :
         cases) {
        SCOPED_TRACE(name);
        GuardedBuffers buffers;
        std::copy(held.begin(), held.end(), gPlayerState.heldBytes);
        gPlayerState.heldCount = static_cast<std::uint32_t>(held.size());
        std::int32_t got = 0;
        OnFile(
            file, [&](BPTR in) { got = FillTransferBuffer(in, format, index); }, failRead);
        EXPECT_EQ(std::tie(got, gPlayerState.fillLength[index], gPlayerState.readFailed),
                  std::make_tuple(count, fillLength, failRead != 0));
        std::vector<Bytes> areas(4, Bytes(kBuffer, kGuardByte));
        areas[1 + index] = buffer;
        EXPECT_TRUE(buffers.Areas() == areas);
    }
}

TEST(Bursts, BothBuffersHoldAPreambleAndZeroStuffing) {
    GuardedBuffers buffers;
    PrepareBurstBuffers(0x800);
    const Bytes burst = Concat({BurstPreamble(0x800), Bytes(kBuffer - 8, 0)}),
                guard(kBuffer, kGuardByte);
    EXPECT_TRUE(buffers.Areas() == (std::vector<Bytes>{guard, burst, burst, guard}));
}

// --- The hardware side -------------------------------------------------------

// What setup does before the channel is touched: the device found, I/O
// decoding and bus mastering on, the window base known.
void OpenDevice() {
    PlayerState& s = gPlayerState;
    const TagItem tags[] = {
        {PCIFIND_VENDOR, vt8231::kVendorId}, {PCIFIND_DEVICE, vt8231::kDeviceId}, {TAG_DONE, 0}};
    s.pciDevice = FindPciDevice(s.pciLibrary = OpenLibrary("cybpci.library", 1), nullptr, tags);
    WritePciConfigLong(s.pciLibrary, s.pciDevice, vt8231::kPciCommand, 5);
    s.controllerBase =
        GetPciDeviceAttr(s.pciLibrary, s.pciDevice, PCIATTR_BASE0) & vt8231::kIoBaseMask;
}

TEST(Dma, TableAtTheFirst16ByteBoundaryThenStartAndStopWithTheirBarriers) {
    for (std::uintptr_t misalign = 0; misalign < 16; ++misalign) {
        SCOPED_TRACE(misalign);
        ResetPlayerState();
        std::uint8_t* table = nullptr;
        std::vector<std::uint32_t> bus, descriptors;
        const machine::Result r = OnMachine([&] {
            OpenDevice();
            auto* block = static_cast<std::uint8_t*>(AllocVec(kDmaBlockSize + 16, MEMF_CLEAR));
            // An address 16k + misalign, wherever AllocVec put the block.
            auto* start = block + ((misalign - reinterpret_cast<std::uintptr_t>(block)) & 15);
            BuildDescriptorTable(start);
            table = start + ((16 - misalign) & 15);
            for (std::uint8_t* p : {table, table + 0x10, table + 0x1810}) {
                bus.push_back(GetPciBusAddress(gPlayerState.pciLibrary, gPlayerState.pciDevice, p));
            }
            for (int at = 0; at < 16; at += 4) {
                descriptors.push_back(LoadLE32(table + at));
            }
            StartDma();
            StopDma();
            FreeVec(block);
            CloseLibrary(gPlayerState.pciLibrary);
        });
        EXPECT_EQ(gPlayerState.bufferAddress[0], reinterpret_cast<std::uintptr_t>(table) + 0x10);
        EXPECT_EQ(gPlayerState.bufferAddress[1], reinterpret_cast<std::uintptr_t>(table) + 0x1810);
        EXPECT_EQ(descriptors,
                  (std::vector<std::uint32_t>{bus[1], 0x40001800, bus[2], 0x80001800}));
        char pointer[32];
        std::snprintf(pointer, sizeof pointer, "io_write32 @04=%x", bus[0]);
        // clang-format off
        const std::vector<std::string> writes = {pointer, "io_write32 @00=ffffffff", "io_write8 @02=b3",
            "barrier", "io_write8 @01=80", "barrier", "io_write8 @01=40", "barrier", "io_write8 @02=0", "barrier", "delay 2 0"};
        // clang-format on
        EXPECT_EQ(Summary(r, {"io_write", "barrier", "delay"}), writes);
        EXPECT_TRUE(r.violations.empty());
    }
}

TEST(InterruptServer, AcknowledgesOwnBitsFlipsOncePerCallAndSignalsWhenArmed) {
    // The status, whether the task is armed, the bits acknowledged (0: no write).
    const std::tuple<std::uint8_t, bool, std::uint8_t> cases[] = {
        {0x00, true, 0},    {0x04, true, 0},    {0x01, true, 0x01},  {0x02, true, 0x02},
        {0x03, true, 0x03}, {0x07, true, 0x03}, {0x01, false, 0x01}, {0x03, false, 0x03}};
    for (const auto& [status, armed, ack] : cases) {
        SCOPED_TRACE(testing::Message() << int{status} << (armed ? " armed" : ""));
        ResetPlayerState();
        std::uint32_t received = 0;
        const machine::Result r = OnMachine([&] {
            OpenDevice();
            EXPECT_TRUE(!armed || PrepareSignals());
            machine::SetChannelStatusBits(status);
            EXPECT_EQ(AudioInterruptServer(), 0u); // the next server on the line runs too
            received = SetSignal(0, 0);
            FreeSignal(gPlayerState.signalBit != 0 ? gPlayerState.signalBit : -1);
            CloseLibrary(gPlayerState.pciLibrary);
        });
        std::vector<std::string> expected = {"io_read8 @00=" + std::to_string(status),
                                             "io_write8 @00=" + std::to_string(ack), "barrier"};
        expected.resize(ack != 0 ? 3 : 1);
        EXPECT_EQ(Summary(r, {"io_read", "io_write", "barrier"}), expected);
        const bool woken = armed && ack != 0;
        EXPECT_EQ(std::pair(gPlayerState.activeIndex.load(), received),
                  std::pair(woken ? 1u : 0u, woken ? 1u << 31 : 0u));
    }
    // Signals are cleared when armed; with none free the server stays unarmed.
    const machine::Result r = OnMachine([] { EXPECT_TRUE(PrepareSignals()); });
    EXPECT_EQ(Summary(r, {"signal_alloc", "set_signal"}),
              (std::vector<std::string>{"signal_alloc 31", "set_signal 0 80001000"}));
    machine::Config none;
    none.faults.insert(machine::Fault::Signal);
    ResetPlayerState();
    OnMachine([] { EXPECT_FALSE(PrepareSignals()); }, none);
    EXPECT_EQ(gPlayerState.playerTask.load(), nullptr);
}

TEST(Codec, SetupAndRestoreWriteSequences) {
    // The transmitter and VRA at power-on, the mode and rate, 0x2A bits set
    // between setup and restore (the last write before "|"), the writes of each.
    const std::tuple<bool, bool, PlayMode, std::int32_t, std::uint16_t, const char*> cases[] = {
        // clang-format off
        {true, true, PlayMode::IffPcm, 44100, 0,
         "2a=0000 3a=0000 6a=0000 18=0808 2a=0005 2c=ac44 32=ac44 2a=0005 | 2a=0001 3a=2000 6a=0a51 18=0a0a 2a=0005 2c=bb80 32=bb80"},
        {true, false, PlayMode::IffPcm, 32000, 0,
         "2a=0000 3a=3000 6a=0000 18=0808 2a=0005 2c=7d00 32=7d00 2a=0005 | 2a=0001 3a=2000 6a=0a51 18=0a0a 2a=0005 2c=bb80 32=bb80"},
        {true, true, PlayMode::Ac3, 48000, 0,
         "2a=0000 3a=2002 6a=0000 18=8000 2a=0004 2c=bb80 32=bb80 2a=0004 | 2a=0000 3a=2000 6a=0a51 18=0a0a 2a=0004 2c=bb80 32=bb80"},
        {false, true, PlayMode::Raw, 48000, 0, "2c=bb80 32=bb80 2a=0001 | 2c=bb80 32=bb80"},
        {false, true, PlayMode::IffPcm, 22050, 0x0004, "2c=5622 32=5622 2a=0005 | 2a=0001 3a=2000 2a=0005 2c=bb80 32=bb80"},
        // clang-format on
    };
    for (const auto& [spdif, vra, mode, rate, spdifAtRestore, writes] : cases) {
        SCOPED_TRACE(writes);
        // The user's volume, -3 dB, comes back.
        const machine::Config config{
            .spdifOn = spdif, .vraOn = vra, .codecPowerOn = {{0x18, 0x0A0A}}};
        const machine::Result r = OnMachine(
            [&] {
                Library* base = OpenLibrary("ac97mixer.library", 50);
                Mixer* mixer = FindMixer(base, nullptr, -1, nullptr);
                CodecSavedState saved;
                SetupCodec(base, mixer, mode, rate, &saved);
                WriteCodecRegister(base, mixer, 0x2A,
                                   ReadCodecRegister(base, mixer, 0x2A) | spdifAtRestore);
                Printf("|");
                RestoreCodec(base, mixer, &saved);
                CloseLibrary(base);
            },
            config);
        std::string got;
        for (const std::string& line : Summary(r, {"codec_write", "print"})) {
            got += (got.empty() ? "" : " ") + line.substr(line.find(' ') + 1);
        }
        EXPECT_EQ(got, writes);
        EXPECT_TRUE(r.violations.empty());
    }
}

// --- The whole player --------------------------------------------------------

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
    const std::string kStart = "+mixer +pci +alloc +config4 +int +config60 ",
                      kEnd = "-int -free -pci -mixer", kUsage = "Usage: play filename\n";
    // The fault, the command line; the output, what was taken, the return code.
    using Args = std::vector<std::string>;
    const std::tuple<std::set<machine::Fault>, Args, std::string, std::string, int> cases[] = {
        // clang-format off
        {{machine::Fault::MixerLibrary}, {"kestrel", file}, "Unable to open ac97mixer.library\n", "!mixer", 20},
        {{machine::Fault::MixerLibraryOld}, {"kestrel", file}, "Unable to open ac97mixer.library\n", "!mixer", 20},
        {{machine::Fault::Mixer}, {"kestrel", file}, "Can't find mixer\n", "+mixer -mixer", 20},
        {{machine::Fault::PciLibrary}, {"kestrel", file}, "Unable to open cybpci.library\n", "+mixer !pci -mixer", 20},
        {{machine::Fault::Device}, {"kestrel", file}, "Unable to find VIA8231 audio device\n", "+mixer +pci -pci -mixer", 20},
        {{machine::Fault::Memory}, {"kestrel", file}, "Unable to allocate fixed memory address\n", "+mixer +pci !alloc -pci -mixer", 20},
        {{machine::Fault::IoWindow}, {"kestrel", file}, "Unable to find VIA8231 audio device\n", "+mixer +pci +alloc +config4 -free -pci -mixer", 20},
        {{}, {"kestrel", none}, "", kStart + "!file " + kEnd, 20},
        {{machine::Fault::Signal}, {"kestrel", file}, "Transfering audio data\nUnable to allocate signal\n", kStart + "+file !signal -file " + kEnd, 20},
        {{machine::Fault::IntServer}, {"kestrel", file}, "failed to add int handler\n" + kPlayed, "+mixer +pci +alloc +config4 !int +config60 +file +signal -file -int -signal -free -pci -mixer", 0},
        {{}, {"kestrel", file}, kPlayed, kStart + "+file +signal -file -int -signal -free -pci -mixer", 0},
        // A usage error does nothing but say so, with the command's name.
        {{}, {}, "Usage: kestrel filename\n", "", 100},
        {{}, {"play"}, kUsage, "", 100},
        {{}, {"play", "a", "b"}, kUsage, "", 100},
        // clang-format on
    };
    const auto powerOn = OnMachine([] {}).codecRegisters;
    for (const auto& [faults, argv, output, taken, rc] : cases) {
        SCOPED_TRACE(taken);
        // One block ends a run with no interrupt server.
        const machine::Config config{.faults = faults, .breakAfterBlocks = 1};
        const machine::Result r = machine::Run(config, PlayerMain, argv);
        EXPECT_EQ(std::make_tuple(r.output, r.returnCode, Taken(r)), std::tie(output, rc, taken));
        EXPECT_TRUE(r.violations.empty()) << r.violations.front();
        EXPECT_EQ(r.codecRegisters, powerOn); // every exit puts the codec back
        EXPECT_EQ(r.trace.size() == 1, rc == 100);
        const std::vector<std::string> io = Summary(r, {"io_write", "io_read"});
        // No register before the file is open; the channel only starts to play.
        EXPECT_EQ(!io.empty(), taken.find("+file") != std::string::npos);
        EXPECT_EQ(std::count(io.begin(), io.end(), "io_write8 @01=80"), rc == 0 ? 1 : 0);
    }
}

// Raw data plays to its end, to CTRL-C, or to a failing Read, which ends the
// data there: what the buffers hold plays out, nothing more is read. A Read
// slower than a buffer lasts is one overrun, and playback goes on. Without an
// interrupt server buffer 0 plays, then only a user could end the wait: with
// nobody at a terminal, that is a hang.
TEST(Playback, RawDataToItsEndToABreakOrToAFailingRead) {
    using Row = std::tuple<std::string, std::size_t, long long, long long, int, int, bool,
                           std::uint64_t, std::uint64_t, std::size_t>;
    // The file's size; CTRL-C after blocks or at a time in µs; the Read that
    // fails, the one that takes 40 ms, no interrupt server; the blocks played,
    // the overruns and the bytes of the file heard.
    std::vector<Row> cases = {
        // clang-format off
        {"empty", 0, -1, -1, 0, 0, false, 1, 0, 0},
        {"100 bytes", 100, -1, -1, 0, 0, false, 1, 0, 100},
        {"two buffers", 2 * kBuffer, -1, -1, 0, 0, false, 2, 0, 2 * kBuffer},
        {"a buffer and 101 bytes", kBuffer + 101, -1, -1, 0, 0, false, 2, 0, kBuffer + 101},
        {"CTRL-C pending before playback", 5 * kBuffer, -1, 0, 0, 0, false, 5, 0, 5 * kBuffer},
        {"CTRL-C after no block, so before playback", 5 * kBuffer, 0, -1, 0, 0, false, 5, 0, 5 * kBuffer},
        {"CTRL-C in the first buffer", 5 * kBuffer, -1, 1000, 0, 0, false, 0, 0, 0},
        {"CTRL-C at a buffer end", 5 * kBuffer, 2, -1, 0, 0, false, 2, 0, 2 * kBuffer},
        {"CTRL-C in the middle", 5 * kBuffer, -1, 100000, 0, 0, false, 3, 0, 3 * kBuffer},
        {"a slow read", 4 * kBuffer, -1, -1, 0, 3, false, 4, 1, kBuffer},
        {"no interrupt server", 2 * kBuffer, -1, -1, 0, 0, true, 1, 0, kBuffer},
        // clang-format on
    };
    // Reads: the header, five pieces, the empty one at the end.
    for (int k = 1; k <= 7; ++k) {
        const std::size_t pieces = k > 2 ? k - 2 : 0;
        cases.emplace_back("read " + std::to_string(k) + " fails", 5 * kBuffer, -1, -1, k, 0, false,
                           std::max<std::size_t>(1, pieces), 0, pieces * kBuffer);
    }
    for (const auto& [name, size, breakAfterBlocks, breakAtUs, failReadAt, slowRead, noServer,
                      blocks, overruns, played] : cases) {
        SCOPED_TRACE(name);
        const Bytes file = Pattern(size);
        // Without a server, CTRL-C could end the wait, but nobody is at a terminal.
        const machine::Config config{.faults = noServer ? std::set{machine::Fault::IntServer}
                                                        : std::set<machine::Fault>{},
                                     .failReadAt = failReadAt,
                                     .slowReadMs = {{slowRead, slowRead != 0 ? 40 : 0}},
                                     .breakAfterBlocks = breakAfterBlocks,
                                     .breakAtUs = breakAtUs,
                                     .hostSigint = noServer};
        const machine::Result r = Play(file, config);
        EXPECT_EQ(r.returnCode, noServer ? -1 : failReadAt != 0 ? 10 : 0);
        EXPECT_EQ(r.hung, noServer);
        EXPECT_EQ(std::pair(r.report.blocks, r.report.overruns), std::pair(blocks, overruns));
        const bool broken = breakAfterBlocks >= 0 || breakAtUs >= 0;
        EXPECT_EQ(Events(r, {"break"}).size(), broken);
        // The line out carries what was heard; unless CTRL-C or an overrun cut
        // in, then silence: whole buffers, and at most what the channel fetches
        // after the last one before it is stopped, a millisecond of frames.
        const Bytes& dac = r.dac.bytes;
        const auto heard = static_cast<std::ptrdiff_t>(played);
        ASSERT_GE(dac.size(), played);
        EXPECT_TRUE(std::equal(file.begin(), file.begin() + heard, dac.begin()));
        if (!broken && overruns == 0) {
            EXPECT_TRUE(dac.size() >= blocks * kBuffer && dac.size() <= blocks * kBuffer + 48 * 4)
                << dac.size();
            EXPECT_TRUE(Bytes(dac.begin() + heard, dac.end()) == Bytes(dac.size() - played, 0));
        }
        // Nothing is read after a Read that fails.
        EXPECT_EQ(failReadAt != 0 ? Events(r, {"file_read"}).size() : 0u, std::size_t(failReadAt));
        EXPECT_EQ(r.violations, std::vector<std::string>(
                                    noServer, "hang: Wait with nothing that can wake the task"));
        EXPECT_EQ(Events(r, {"file_close"}).size(), noServer ? 0u : 1u);
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
    EXPECT_EQ(std::pair(r.returnCode, r.report.blocks), std::pair(0, std::uint64_t{3}));
    ASSERT_FALSE(r.spdif.segments.empty());
    EXPECT_TRUE(r.spdif.segments.back().nonAudio);
    // The transmitter plays each burst from its preamble on.
    const std::size_t start = r.spdif.segments.back().offset;
    ASSERT_GE(r.spdif.bytes.size(), start + bursts.size());
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
        const machine::Result piped =
            machine::Run({}, PlayerMain, {"kestrel", "/dev/fd/" + std::to_string(fds[0])});
        writer.join();
        close(fds[0]);
        const machine::Result plain = Play(file);
        EXPECT_EQ(std::pair(piped.output, piped.returnCode), std::pair(plain.output, 0));
        EXPECT_TRUE(piped.dac.bytes == plain.dac.bytes && piped.spdif.bytes == plain.spdif.bytes);
        EXPECT_TRUE(piped.violations.empty());
    }
}

} // namespace
