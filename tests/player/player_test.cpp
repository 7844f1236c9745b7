// The player's pieces and the whole player, on the machine: stream headers,
// detection, the refill in each mode and the burst preamble, each on the bytes
// the controller will read; the descriptor table, start and stop, the interrupt
// server and the codec settings, as the machine sees them; then every way setup
// can end, what reaches the DAC and the S/PDIF output, the end of the data,
// CTRL-C and failing reads.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <csignal>
#include <limits>
#include <set>
#include <thread>
#include <tuple>

#include <sys/stat.h>
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
#include "state/player_state.h"
#include "support/harness.h"

namespace {

using namespace harness;
using Fault = machine::Fault;

// A transfer buffer.
constexpr std::size_t kBuffer = 6144;

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
    const auto run = [&] {
        const BPTR file = Open(path.c_str(), MODE_OLDFILE);
        body(file);
        Close(file);
    };
    return OnMachine(run, {.failReadAt = failReadAt});
}

// Runs the whole player on a file holding bytes.
machine::Result Play(const Bytes& file, const machine::Config& config = {}) {
    return machine::Run(config, PlayerMain, {"kestrel", WriteFile("input.bin", file)});
}

// Both transfer buffers back to back between two guard areas as long as one,
// all guard bytes at first; installed as the player's buffers.
constexpr std::uint8_t kGuardByte = 0xA5;
const Bytes kGuard(kBuffer, kGuardByte);
struct GuardedBuffers {
    alignas(16) std::uint8_t bytes[4 * kBuffer];

    GuardedBuffers() {
        std::fill(std::begin(bytes), std::end(bytes), kGuardByte);
        ResetPlayerState();
        gPlayerState.bufferAddress[0] = reinterpret_cast<std::uintptr_t>(&bytes[kBuffer]);
        gPlayerState.bufferAddress[1] = gPlayerState.bufferAddress[0] + kBuffer;
    }
    // The buffers hold these, and both guards are untouched.
    void Expect(const Bytes& buffer0, const Bytes& buffer1) const {
        const Bytes* want[] = {&kGuard, &buffer0, &buffer1, &kGuard};
        for (std::size_t i = 0; i < 4; ++i) {
            const Bytes area(&bytes[i * kBuffer], &bytes[(i + 1) * kBuffer]);
            EXPECT_EQ(Mismatch(area, *want[i]), "") << "guard, buffer 0, buffer 1, guard: " << i;
        }
    }
};

// --- The input side ----------------------------------------------------------

// The AIFF rate: an 80-bit extended value read from any address, then the
// sample rate it gives, truncated and saturated.
TEST(Headers, AiffRate) {
    for (const double want : {8000.0, 44100.75, -48000.0, 3.141592653589793, 1 + 0x1p-15, 0.0}) {
        // Mantissa bits below the double's are dropped, not rounded.
        for (const std::uint8_t low : {0x00, 0xFF}) {
            // At an odd address.
            Bytes bytes = Concat({{0}, Extended(want)});
            bytes[10] = low;
            double value = 1;
            ExtendedToDouble(bytes.data() + 1, &value);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(want))
                << want << " " << int{low};
        }
    }
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    // Each value and the rate it gives.
    const double values[] = {44100.75, -0.5,      NAN,           2147483647.5,  2147483648.0,
                             INFINITY, -INFINITY, -2147483647.5, -2147483648.5, -2147483649.0};
    const std::int32_t rates[] = {44100, 0, 0, kMax, kMax, kMax, kMin, kMin + 1, kMin, kMin};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(RateFromDouble(values[i]), rates[i]) << values[i];
    }
}

// The A/52 sync information: fscod's rate, and frmsizecod's bit rate, two
// codes a rate; the notes and the refusals quote both.
TEST(Headers, Ac3SyncInfo) {
    const std::int32_t kbits[] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                  192, 224, 256, 320, 384, 448, 512, 576, 640, 0};
    for (std::uint32_t code = 0; code < 40; ++code) {
        EXPECT_EQ(Ac3BitRate(code), kbits[code / 2]) << code;
    }
    const std::int32_t rates[] = {48000, 44100, 32000, -1};
    for (std::uint8_t fscod = 0; fscod < 4; ++fscod) {
        const std::uint8_t header[] = {0x0B, 0x77, 0, 0,
                                       static_cast<std::uint8_t>(fscod << 6 | 23)};
        const Ac3HeaderInfo info = ParseAc3SyncInfo(header);
        EXPECT_EQ(info.sampleRate, rates[fscod]);
        EXPECT_EQ(info.frameSizeCode, 23u);
        EXPECT_EQ(info.bitRate, 0); // 23 is below the codes passed through
    }
}

// AC-3 as detection accepts it: each frame after a burst preamble.
InputFormat Ac3(std::uint32_t n) {
    return {.playMode = PlayMode::Ac3,
            .swapBytes = true,
            .payloadOffset = 8,
            .readSize = n,
            .frameLength = n};
}

// Detection decides once, from the header.
TEST(Detect, FromTheHeader) {
    Bytes aiff = Aiff(22050, Pattern(64));
    // "FORM" decides, whatever follows.
    aiff[4] = 0x7F;
    const Bytes lower = Concat({{'f', 'o', 'r', 'm'}, Bytes(aiff.begin() + 4, aiff.end())});
    const InputFormat pcm{.playMode = PlayMode::IffPcm, .playbackRate = 22050, .swapBytes = true};
    const auto frame = [](unsigned fscod, unsigned code) { return Ac3Frame(fscod, code, 0x700); };
    const auto ac3 = [](int kbps) {
        return "AC3 Stream SampleRate = 48000Hz BitRate = " + std::to_string(kbps) +
               "kbit\nTransfering data in AC3 mode, freq: 48000\n";
    };
    // What detection makes of a file: the format (raw at 48000 Hz by default),
    // what it prints after "Transfering audio data\n", the file position after.
    struct Row {
        const char* name;
        Bytes in{};
        InputFormat want{};
        std::string says{};
        std::int32_t at = 0;
        int failRead = 0;
    };
    const Row rows[] = {
        {.name = "aiff", .in = aiff, .want = pcm, .says = "freq: 22050\n", .at = 46},
        {.name = "lower-case form", .in = lower},
        {.name = "ac3 24", .in = frame(0, 24), .want = Ac3(0x400), .says = ac3(256)},
        {.name = "ac3 33", .in = frame(0, 33), .want = Ac3(0x800), .says = ac3(512)},
        {.name = "ac3 23", .in = frame(0, 23), .says = "Unsupported bitrate (code 23)\n"},
        {.name = "ac3 34", .in = frame(0, 34), .says = "Unsupported bitrate (code 34)\n"},
        {.name = "ac3 44.1", .in = frame(1, 30), .says = "Unsupported samplerate 44.1khz\n"},
        {.name = "ac3 32", .in = frame(2, 30), .says = "Unsupported samplerate 32khz\n"},
        {.name = "ac3 fscod 3", .in = frame(3, 30), .says = "Unsupported samplerate\n"},
        {.name = "swapped sync", .in = Swap16(frame(0, 30))},
        {.name = "empty"},
        {.name = "failed read", .in = aiff, .failRead = 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        GuardedBuffers buffers;
        InputFormat f;
        std::int32_t at = -1;
        const auto detect = [&](BPTR in) {
            f = DetectInput(in);
            at = Seek(in, 0, OFFSET_CURRENT);
        };
        const machine::Result r = OnFile(row.in, detect, row.failRead);
        const auto fields = [](const InputFormat& g) {
            return std::tuple(g.playMode, g.playbackRate, g.swapBytes, g.payloadOffset, g.readSize,
                              g.frameLength);
        };
        EXPECT_EQ(fields(f), fields(row.want));
        EXPECT_EQ(at, row.at);
        EXPECT_EQ(r.output, "Transfering audio data\n" + row.says);
        EXPECT_EQ(gPlayerState.readFailed, row.failRead != 0);
        EXPECT_EQ(gPlayerState.lastReadCount,
                  row.failRead != 0 ? -1 : std::min<std::int32_t>(46, row.in.size()));
        // The header lands in buffer 0, and nothing beyond it.
        const Bytes header = Head(row.in, row.failRead != 0 ? 0 : 46);
        buffers.Expect(Concat({header, Bytes(kBuffer - header.size(), kGuardByte)}), kGuard);
    }
}

// The refill in each mode, into one buffer and nothing beyond it; header bytes
// a pipe gave up to detection lead the first refill. What was read lands as
// the controller plays it: PCM swapped when the file is big-endian, then
// silence; an AC-3 frame swapped with its silent padding, after the burst
// preamble, the rest of the buffer not touched.
TEST(Refill, OneBufferInTheControllersOrder) {
    const InputFormat raw, aiff{.playMode = PlayMode::IffPcm, .swapBytes = true}, ac3 = Ac3(0x700);
    const Bytes full = Pattern(kBuffer + 10), odd = Pattern(101), frame = Ac3Frame(0, 30, 0x700);
    const Bytes cut = Head(frame, 0x301), one = Head(frame, 1);
    // The format, the file, the buffer; what the refill returns, the buffer's
    // fill length; bytes held from detection, the Read that fails.
    struct Row {
        const char* name;
        InputFormat in;
        Bytes file{};
        unsigned index = 0;
        std::int32_t count = 0;
        std::int32_t fill = 0;
        std::string held{};
        int failRead = 0;
    };
    const Row rows[] = {
        {.name = "raw", .in = raw, .file = full, .index = 1, .count = 6144, .fill = 6144},
        {.name = "raw odd", .in = raw, .file = odd, .count = 101, .fill = 101},
        {.name = "aiff", .in = aiff, .file = full, .index = 1, .count = 6144, .fill = 6144},
        {.name = "aiff odd", .in = aiff, .file = odd, .count = 101, .fill = 101},
        {.name = "raw failed", .in = raw, .file = full, .index = 1, .count = -1, .failRead = 1},
        {.name = "held", .in = raw, .count = 3, .fill = 3, .held = "abc"},
        {.name = "ac3", .in = ac3, .file = frame, .count = 0x700, .fill = 6144},
        {.name = "ac3 cut short", .in = ac3, .file = cut, .index = 1, .count = 0x301, .fill = 6144},
        {.name = "ac3 one byte", .in = ac3, .file = one, .count = 1, .fill = 6144},
        {.name = "ac3 empty", .in = ac3, .index = 1},
        {.name = "ac3 failed", .in = ac3, .file = frame, .count = -1, .failRead = 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        GuardedBuffers buffers;
        std::copy(row.held.begin(), row.held.end(), gPlayerState.heldBytes);
        gPlayerState.heldCount = static_cast<std::uint32_t>(row.held.size());
        std::int32_t got = 0;
        const auto fill = [&](BPTR in) { got = FillTransferBuffer(in, row.in, row.index); };
        OnFile(row.file, fill, row.failRead);
        EXPECT_EQ(got, row.count);
        EXPECT_EQ(gPlayerState.fillLength[row.index], row.fill);
        EXPECT_EQ(gPlayerState.readFailed, row.failRead != 0);
        const Bytes read = Head(Concat({{row.held.begin(), row.held.end()}, row.file}),
                                static_cast<std::size_t>(std::max(row.count, 0)));
        const Bytes buffer = row.in.playMode != PlayMode::Ac3
                                 ? Padded(row.in.swapBytes ? Swap16(read) : read, kBuffer)
                                 : Concat({Bytes(8, kGuardByte), Swap16(Padded(read, 0x700)),
                                           Bytes(kBuffer - 8 - 0x700, kGuardByte)});
        buffers.Expect(row.index == 0 ? buffer : kGuard, row.index == 1 ? buffer : kGuard);
    }
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

// The table at the first 16-byte boundary, then start and stop with their
// barriers.
TEST(Dma, TableStartAndStop) {
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
        EXPECT_EQ(Log(r, {"io_write", "barrier", "delay"}),
                  pointer + std::string(", io_write32 @00=ffffffff, io_write8 @02=b3, barrier, "
                                        "io_write8 @01=80, barrier, io_write8 @01=40, barrier, "
                                        "io_write8 @02=0, barrier, delay 2 0"));
        EXPECT_EQ(r.violations, Strings{});
    }
}

// The server acknowledges its own bits, flips once per call and signals the
// task when it is armed.
TEST(InterruptServer, AcknowledgesFlipsAndSignals) {
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
            // The next server on the line runs too.
            EXPECT_EQ(AudioInterruptServer(), 0u);
            received = SetSignal(0, 0);
            FreeSignal(gPlayerState.signalBit != 0 ? gPlayerState.signalBit : -1);
            CloseLibrary(gPlayerState.pciLibrary);
        });
        EXPECT_EQ(Log(r, {"io_read", "io_write", "barrier"}),
                  "io_read8 @00=" + std::to_string(status) +
                      (ack != 0 ? ", io_write8 @00=" + std::to_string(ack) + ", barrier" : ""));
        const bool woken = armed && ack != 0;
        EXPECT_EQ(gPlayerState.activeIndex.load(), woken ? 1u : 0u);
        EXPECT_EQ(received, woken ? 1u << 31 : 0u);
    }
    // Signals are cleared when armed; with none free the server stays unarmed.
    const machine::Result r = OnMachine([] { EXPECT_TRUE(PrepareSignals()); });
    EXPECT_EQ(Log(r, {"signal_alloc", "set_signal"}), "signal_alloc 31, set_signal 0 80001000");
    ResetPlayerState();
    OnMachine([] { EXPECT_FALSE(PrepareSignals()); }, {.faults = {Fault::Signal}});
    EXPECT_EQ(gPlayerState.playerTask.load(), nullptr);
}

// The codec writes of setup and of the restore.
TEST(Codec, SetupAndRestore) {
    // Setup's codec writes, then the test's 0x2A write, "|", restore's; the
    // transmitter and VRA at power-on; 0x2A bits the test sets before the restore.
    struct Row {
        std::string writes;
        std::int32_t rate;
        PlayMode mode = PlayMode::IffPcm;
        bool spdif = true, vra = true;
        std::uint16_t setBefore = 0;
    };
    // The restore after PCM with the transmitter on: the user's volume comes back.
    const std::string restored = "2a=0001 3a=2000 6a=0a51 18=0a0a 2a=0005 2c=bb80 32=bb80";
    // In the fields' order.
    const Row rows[] = {
        {"2a=0000 3a=0000 6a=0000 18=0808 2a=0005 2c=ac44 32=ac44 2a=0005 | " + restored, 44100},
        {"2a=0000 3a=3000 6a=0000 18=0808 2a=0005 2c=7d00 32=7d00 2a=0005 | " + restored, 32000,
         PlayMode::IffPcm, true, false},
        {"2a=0000 3a=2002 6a=0000 18=8000 2a=0004 2c=bb80 32=bb80 2a=0004 | "
         "2a=0000 3a=2000 6a=0a51 18=0a0a 2a=0004 2c=bb80 32=bb80",
         48000, PlayMode::Ac3},
        {"2c=bb80 32=bb80 2a=0001 | 2c=bb80 32=bb80", 48000, PlayMode::Raw, false},
        {"2c=5622 32=5622 2a=0005 | 2a=0001 3a=2000 2a=0005 2c=bb80 32=bb80", 22050,
         PlayMode::IffPcm, false, true, 0x0004},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.writes);
        // The user's volume, -3 dB, comes back.
        const machine::Config config{
            .spdifOn = row.spdif, .vraOn = row.vra, .codecPowerOn = {{0x18, 0x0A0A}}};
        const machine::Result r = OnMachine(
            [&] {
                Library* base = OpenLibrary("ac97mixer.library", 50);
                Mixer* mixer = FindMixer(base, nullptr, -1, nullptr);
                CodecSavedState saved;
                SetupCodec(base, mixer, row.mode, row.rate, &saved);
                WriteCodecRegister(base, mixer, 0x2A,
                                   ReadCodecRegister(base, mixer, 0x2A) | row.setBefore);
                Printf("|");
                RestoreCodec(base, mixer, &saved);
                CloseLibrary(base);
            },
            config);
        std::string got;
        for (const std::string& line : Summary(r, {"codec_write", "print"})) {
            got += (got.empty() ? "" : " ") + line.substr(line.find(' ') + 1);
        }
        EXPECT_EQ(got, row.writes);
        EXPECT_EQ(r.violations, Strings{});
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

// Every exit releases what came before it.
TEST(Setup, EveryExitReleases) {
    WriteFile("input.bin", Pattern(kBuffer));
    const std::string played = "Transfering audio data\nPlaying file (CTRL-C to abort playing)\n";
    const std::string start = "+mixer +pci +alloc +config4 +int +config60 ",
                      end = "-int -free -pci -mixer", usage = "Usage: play filename\n";
    // What the player printed, and took and released; which part is missing.
    struct Row {
        std::string says{}, taken{};
        int rc = 20;
        std::set<Fault> faults{};
        Strings argv = {"kestrel", ScratchPath("input.bin")};
    };
    using enum Fault;
    const std::string noMixer = "Unable to open ac97mixer.library\n",
                      noDev = "Unable to find VIA8231 audio device\n", pci = "+mixer +pci ";
    const Row rows[] = {
        {.says = noMixer, .taken = "!mixer", .faults = {MixerLibrary}},
        {.says = noMixer, .taken = "!mixer", .faults = {MixerLibraryOld}},
        {.says = "Can't find mixer\n", .taken = "+mixer -mixer", .faults = {Mixer}},
        {.says = "Unable to open cybpci.library\n",
         .taken = "+mixer !pci -mixer",
         .faults = {PciLibrary}},
        {.says = noDev, .taken = pci + "-pci -mixer", .faults = {Device}},
        {.says = "Unable to allocate fixed memory address\n",
         .taken = "+mixer +pci !alloc -pci -mixer",
         .faults = {Memory}},
        {.says = noDev, .taken = pci + "+alloc +config4 -free -pci -mixer", .faults = {IoWindow}},
        {.taken = start + "!file " + end, .argv = {"kestrel", ScratchPath("none")}},
        {.says = "Transfering audio data\nUnable to allocate signal\n",
         .taken = start + "+file !signal -file " + end,
         .faults = {Signal}},
        {.says = "failed to add int handler\n" + played,
         .taken = "+mixer +pci +alloc +config4 !int +config60 +file +signal -file -int -signal "
                  "-free -pci -mixer",
         .rc = 0,
         .faults = {IntServer}},
        {.says = played,
         .taken = start + "+file +signal -file -int -signal -free -pci -mixer",
         .rc = 0},
        // A usage error does nothing but say so, with the command's name.
        {.says = "Usage: kestrel filename\n", .rc = 100, .argv = {}},
        {.says = usage, .rc = 100, .argv = {"play"}},
        {.says = usage, .rc = 100, .argv = {"play", "a", "b"}},
    };
    const auto powerOn = OnMachine([] {}).codecRegisters;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        // One block ends a run with no interrupt server.
        const machine::Config config{.faults = row.faults, .breakAfterBlocks = 1};
        const machine::Result r = machine::Run(config, PlayerMain, row.argv);
        EXPECT_EQ(r.output, row.says);
        EXPECT_EQ(r.returnCode, row.rc);
        EXPECT_EQ(Taken(r), row.taken);
        EXPECT_EQ(r.violations, Strings{});
        // Every exit puts the codec back.
        EXPECT_EQ(r.codecRegisters, powerOn);
        EXPECT_EQ(r.trace.size() == 1, row.rc == 100);
        const Strings io = Summary(r, {"io_write", "io_read"});
        // No register before the file is open; the channel only starts to play.
        EXPECT_EQ(!io.empty(), row.taken.find("+file") != std::string::npos);
        EXPECT_EQ(std::count(io.begin(), io.end(), "io_write8 @01=80"), row.rc == 0 ? 1 : 0);
    }
}

// Raw data plays to its end, to CTRL-C, or to a failing Read, which ends the
// data there: what the buffers hold plays out, nothing more is read. A Read
// slower than a buffer lasts is one overrun, and playback goes on. Without an
// interrupt server buffer 0 plays, then only a user could end the wait: with
// nobody at a terminal, that is a hang.
TEST(Playback, RawData) {
    // The blocks played, the file's size, the buffers of it heard (-1: all).
    struct Row {
        std::string name;
        std::uint64_t blocks;
        std::size_t size = 5 * kBuffer;
        int heard = -1;
        std::uint64_t overruns = 0;
        machine::Config config{};
    };
    // Without a server, CTRL-C could end the wait, but nobody is at a terminal.
    const machine::Config noServer{.faults = {Fault::IntServer}, .hostSigint = true};
    std::vector<Row> rows = {
        {.name = "empty", .blocks = 1, .size = 0},
        {.name = "two buffers", .blocks = 2, .size = 2 * kBuffer},
        {.name = "a buffer and 101 bytes", .blocks = 2, .size = kBuffer + 101},
        {.name = "CTRL-C pending at the start", .blocks = 5, .config = {.breakAtUs = 0}},
        {.name = "CTRL-C after 0 blocks", .blocks = 5, .config = {.breakAfterBlocks = 0}},
        {.name = "CTRL-C in block 1", .blocks = 0, .heard = 0, .config = {.breakAtUs = 1000}},
        {.name = "2 blocks, CTRL-C", .blocks = 2, .heard = 2, .config = {.breakAfterBlocks = 2}},
        {.name = "CTRL-C in block 4", .blocks = 3, .heard = 3, .config = {.breakAtUs = 100000}},
        {.name = "no server", .blocks = 1, .size = 2 * kBuffer, .heard = 1, .config = noServer},
        // A slow Read is an overrun.
        {.name = "a slow read",
         .blocks = 4,
         .size = 4 * kBuffer,
         .heard = 1,
         .overruns = 1,
         .config = {.slowReadMs = {{3, 40}}}},
    };
    // Reads: the header, five pieces, the empty one at the end.
    for (int k = 1; k <= 7; ++k) {
        const int pieces = k > 2 ? k - 2 : 0;
        rows.push_back({.name = "read " + std::to_string(k) + " fails",
                        .blocks = std::max<std::uint64_t>(1, pieces),
                        .heard = pieces,
                        .config = {.failReadAt = k}});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const machine::Config& c = row.config;
        const bool hangs = c.faults.contains(Fault::IntServer), fails = c.failReadAt != 0;
        const bool broken = c.breakAfterBlocks >= 0 || c.breakAtUs >= 0;
        const Bytes file = Pattern(row.size);
        const machine::Result r = Play(file, c);
        EXPECT_EQ(r.returnCode, hangs ? -1 : fails ? 10 : 0);
        EXPECT_EQ(r.hung, hangs);
        EXPECT_EQ(r.report.blocks, row.blocks);
        EXPECT_EQ(r.report.overruns, row.overruns);
        EXPECT_EQ(Events(r, {"break"}).size(), broken);
        // The line out carries what was heard; unless CTRL-C or an overrun cut
        // in, then silence: whole buffers, and at most what the channel fetches
        // after the last one before it is stopped, a millisecond of frames.
        const Bytes heard = Head(file, row.heard < 0 ? file.size() : row.heard * kBuffer);
        const Bytes& dac = r.dac.bytes;
        if (broken || row.overruns != 0) {
            EXPECT_EQ(Mismatch(Head(dac, heard.size()), heard), "");
        } else {
            EXPECT_GE(dac.size(), row.blocks * kBuffer);
            EXPECT_LE(dac.size(), row.blocks * kBuffer + 48 * 4);
            EXPECT_EQ(Mismatch(dac, Padded(heard, dac.size())), "");
        }
        // Nothing is read after a Read that fails.
        EXPECT_EQ(fails ? Events(r, {"file_read"}).size() : 0u, std::size_t(c.failReadAt));
        EXPECT_EQ(r.violations, Strings(hangs, "hang: Wait with nothing that can wake the task"));
        EXPECT_EQ(Events(r, {"file_close"}).size(), hangs ? 0u : 1u);
    }
}

// AC-3 plays as bursts on S/PDIF with the line out muted.
TEST(Playback, Ac3Bursts) {
    const Bytes frame0 = Ac3Frame(0, 24, 0x400, 1), frame1 = Ac3Frame(0, 24, 0x400, 2);
    const Bytes cut(frame1.begin(), frame1.begin() + 0x101);
    const machine::Result r = Play(Concat({frame0, frame1, cut}));
    const auto burst = [](const Bytes& frame) {
        return Padded(Concat({BurstPreamble(0x400), Swap16(Padded(frame, 0x400))}), kBuffer);
    };
    const Bytes bursts = Concat({burst(frame0), burst(frame1), burst(cut)});
    EXPECT_EQ(r.returnCode, 0);
    EXPECT_EQ(r.report.blocks, 3u);
    ASSERT_EQ(r.spdif.segments.size(), 1u);
    EXPECT_TRUE(r.spdif.segments.back().nonAudio);
    // The transmitter plays each burst from its preamble on.
    const std::size_t start = r.spdif.segments.back().offset;
    EXPECT_EQ(
        Mismatch(Head({r.spdif.bytes.begin() + start, r.spdif.bytes.end()}, bursts.size()), bursts),
        "");
    ASSERT_EQ(r.dac.segments.size(), 1u);
    EXPECT_TRUE(r.dac.segments[0].muted);
    EXPECT_EQ(r.codecRegisters.at(0x3A), 0x2000);
}

// A pipe plays exactly as the same file.
TEST(Playback, APipeAsTheFile) {
    // A reader that stops early must not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    const Bytes frames = Concat({Ac3Frame(0, 24, 0x400, 1), Ac3Frame(0, 24, 0x400, 2)});
    // The program may have taken a look at the pipe's first bytes: the
    // machine gives them back.
    const std::pair<Bytes, std::size_t> rows[] = {{Aiff(44100, Pattern(kBuffer)), 0},
                                                  {frames, 0},
                                                  {Pattern(kBuffer + 10), 0},
                                                  {Bytes{0x7F}, 0},
                                                  {frames, 1000},
                                                  {Pattern(kBuffer + 10), kBuffer + 10}};
    for (const auto& [file, peek] : rows) {
        SCOPED_TRACE(std::to_string(file.size()) + " bytes, " + std::to_string(peek) + " peeked");
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        // A blocking write to a pipe writes it all.
        std::thread writer([&] {
            EXPECT_EQ(write(fds[1], file.data(), file.size()), ssize_t(file.size()));
            close(fds[1]);
        });
        machine::Config config;
        struct stat st {};
        fstat(fds[0], &st);
        config.peeked = {st.st_dev, st.st_ino, Bytes(peek)};
        for (std::size_t got = 0; got < peek;) {
            const ssize_t n = read(fds[0], config.peeked.bytes.data() + got, peek - got);
            ASSERT_GT(n, 0);
            got += static_cast<std::size_t>(n);
        }
        const machine::Result piped =
            machine::Run(config, PlayerMain, {"kestrel", "/dev/fd/" + std::to_string(fds[0])});
        writer.join();
        close(fds[0]);
        const machine::Result plain = Play(file);
        EXPECT_EQ(piped.output, plain.output);
        EXPECT_EQ(piped.returnCode, 0);
        EXPECT_EQ(plain.returnCode, 0);
        EXPECT_EQ(Mismatch(piped.dac.bytes, plain.dac.bytes), "");
        EXPECT_EQ(Mismatch(piped.spdif.bytes, plain.spdif.bytes), "");
        EXPECT_EQ(piped.violations, Strings{});
    }
}

// A host slower than the speed: every block's servers take 2 ms of wall time,
// 200 ms of machine time at speed 100, for a block of 32 ms. Each round of the
// devices would start further behind than the last, and the run would never
// end; the clock is held back instead, and what was late is still counted.
TEST(RealClock, ASlowHostStillEnds) {
    const Hook hook([](machine::SchedulePoint p) {
        if (p == machine::SchedulePoint::ServersUnlocked) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const auto r = machine::Run({.clock = machine::ClockKind::Real, .speed = 100}, PlayerMain,
                                {"kestrel", WriteFile("slow.raw", Pattern(16 * kBuffer))});
    EXPECT_EQ(r.returnCode, 0);
    EXPECT_GT(r.report.hostHeldUs, 0u);
    EXPECT_GT(r.report.overruns, 0u);
    EXPECT_EQ(Disagreement(r), "");
}

} // namespace
