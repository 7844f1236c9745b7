// The input side: stream headers, detection, the refill in each mode, and the
// burst preamble, each on the bytes the controller will read.
#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "frontend/player_state.h"
#include "input/detect.h"
#include "input/headers.h"
#include "input/refill.h"
#include "platform/dos.h"
#include "spdif/data_burst.h"
#include "support/harness.h"

namespace {

using namespace harness;

TEST(Headers, ExtendedToDoubleSelectsBitsFromAnyAddress) {
    const double pi = 3.141592653589793;
    Bytes truncated = Extended(pi);
    truncated[9] = 0xFF; // mantissa bits below the double's are dropped, not rounded
    // clang-format off
    const struct {
        Bytes bytes;
        double value;
    } cases[] = {{Extended(8000), 8000}, {Extended(44100.75), 44100.75}, {Extended(-48000), -48000},
                 {Extended(pi), pi}, {truncated, pi}, {Extended(0), 0}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const Bytes unaligned = Concat({{0}, c.bytes});
        double value = 1;
        ExtendedToDouble(unaligned.data() + 1, &value);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(c.value));
    }
}

TEST(Headers, RateFromDoubleTruncatesAndSaturates) {
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    // clang-format off
    const struct {
        double value;
        std::int32_t rate;
    } cases[] = {{44100.75, 44100}, {-0.5, 0}, {NAN, 0}, {2147483647.5, kMax}, {2147483648.0, kMax},
                 {INFINITY, kMax}, {-2147483647.5, kMin + 1}, {-2147483648.5, kMin}, {-2147483649.0, kMin}, {-INFINITY, kMin}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(RateFromDouble(c.value), c.rate) << c.value;
    }
}

TEST(Detect, DecidesOnceFromTheHeader) {
    Bytes aiff = Aiff(22050, Pattern(64));
    aiff[4] = 0x7F; // "FORM" decides, whatever follows
    const struct {
        const char* name;
        Bytes file;
        int failRead;
        PlayMode mode;
        std::int32_t rate;
        std::uint32_t offset, readSize;
        bool swap;
        std::int32_t position;
        const char* output;
    } cases[] = {
        // clang-format off
        {"aiff", aiff, 0, PlayMode::IffPcm, 22050, 0, 6144, true, 46, "Transfering audio data\nfreq: 22050\n"},
        {"lower-case form", Concat({{'f', 'o', 'r', 'm'}, Bytes(aiff.begin() + 4, aiff.end())}), 0, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\n"},
        {"ac3 448", Ac3Frame(0, 30, 0x700), 0, PlayMode::Ac3, 48000, 8, 0x700, true, 0,
         "Transfering audio data\nAC3 Stream SampleRate = 48000Hz BitRate = 448kbit\nTransfering data in AC3 mode, freq: 48000\n"},
        {"ac3 code 24", Ac3Frame(0, 24, 0x400), 0, PlayMode::Ac3, 48000, 8, 0x400, true, 0,
         "Transfering audio data\nAC3 Stream SampleRate = 48000Hz BitRate = 256kbit\nTransfering data in AC3 mode, freq: 48000\n"},
        {"ac3 code 33", Ac3Frame(0, 33, 0x800), 0, PlayMode::Ac3, 48000, 8, 0x800, true, 0,
         "Transfering audio data\nAC3 Stream SampleRate = 48000Hz BitRate = 512kbit\nTransfering data in AC3 mode, freq: 48000\n"},
        {"ac3 code 23", Ac3Frame(0, 23, 0x700), 0, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\nUnsupported bitrate (code 23)\n"},
        {"ac3 code 34", Ac3Frame(0, 34, 0x700), 0, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\nUnsupported bitrate (code 34)\n"},
        {"ac3 44.1", Ac3Frame(1, 30, 0x700), 0, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\nUnsupported samplerate 44.1khz\n"},
        {"ac3 32", Ac3Frame(2, 30, 0x700), 0, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\nUnsupported samplerate 32khz\n"},
        {"ac3 fscod 3", Ac3Frame(3, 30, 0x700), 0, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\nUnsupported samplerate\n"},
        {"swapped sync", Swap16(Ac3Frame(0, 30, 0x700)), 0, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\n"},
        {"empty", {}, 0, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\n"},
        {"failed read", aiff, 1, PlayMode::Raw, 48000, 0, 6144, false, 0, "Transfering audio data\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GuardedBuffers buffers;
        InputFormat f;
        std::int32_t position = -1;
        machine::Config config;
        config.failReadAt = c.failRead;
        const machine::Result r = OnFile(
            c.file,
            [&](BPTR file) {
                f = DetectInput(file);
                position = Seek(file, 0, OFFSET_CURRENT);
            },
            config);
        EXPECT_EQ(f.playMode, c.mode);
        EXPECT_EQ(f.playbackRate, c.rate);
        EXPECT_EQ(f.payloadOffset, c.offset);
        EXPECT_EQ(f.readSize, c.readSize);
        EXPECT_EQ(f.swapBytes, c.swap);
        EXPECT_EQ(position, c.position);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(gPlayerState.readFailed, c.failRead != 0);
        EXPECT_EQ(gPlayerState.lastReadCount,
                  c.failRead != 0 ? -1 : std::min<std::int32_t>(46, c.file.size()));
    }
}

InputFormat Format(PlayMode mode, std::uint32_t frameLength = 6144) {
    InputFormat f;
    f.playMode = mode;
    f.swapBytes = mode != PlayMode::Raw;
    if (mode == PlayMode::Ac3) {
        f.payloadOffset = 8;
        f.readSize = f.frameLength = frameLength;
    }
    return f;
}

TEST(Refill, FillsOneBufferInTheControllersOrder) {
    const Bytes guard(8, kGuardByte);
    const auto zeros = [](std::size_t n) { return Bytes(n, 0); };
    const Bytes full = Pattern(6144 + 10);
    const Bytes piece(full.begin(), full.begin() + 6144);
    const Bytes odd = Pattern(101);
    const Bytes frame = Ac3Frame(0, 30, 0x700);
    const Bytes cut(frame.begin(), frame.begin() + 0x301);
    const Bytes afterFrame(6144 - 8 - 0x700, kGuardByte);
    const struct {
        const char* name;
        InputFormat format;
        Bytes file;
        int failRead;
        unsigned index;
        std::int32_t count, fillLength;
        Bytes buffer;
    } cases[] = {
        // clang-format off
        {"raw", Format(PlayMode::Raw), full, 0, 1, 6144, 6144, piece},
        {"raw odd", Format(PlayMode::Raw), odd, 0, 0, 101, 101, Concat({odd, zeros(6043)})},
        {"aiff", Format(PlayMode::IffPcm), full, 0, 1, 6144, 6144, Swap16(piece)},
        {"aiff odd", Format(PlayMode::IffPcm), odd, 0, 0, 101, 101, Concat({Swap16(odd), zeros(6043)})},
        {"raw failed", Format(PlayMode::Raw), full, 1, 1, -1, 0, zeros(6144)},
        {"ac3", Format(PlayMode::Ac3, 0x700), frame, 0, 0, 0x700, 6144, Concat({guard, Swap16(frame), afterFrame})},
        {"ac3 cut short", Format(PlayMode::Ac3, 0x700), cut, 0, 1, 0x301, 6144, Concat({guard, Swap16(Concat({cut, zeros(0x700 - 0x301)})), afterFrame})},
        {"ac3 empty", Format(PlayMode::Ac3, 0x700), {}, 0, 1, 0, 0, Concat({guard, zeros(0x700), afterFrame})},
        {"ac3 failed", Format(PlayMode::Ac3, 0x700), frame, 1, 0, -1, 0, Concat({guard, zeros(0x700), afterFrame})},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GuardedBuffers buffers;
        std::int32_t count = 0;
        machine::Config config;
        config.failReadAt = c.failRead;
        OnFile(
            c.file, [&](BPTR file) { count = FillTransferBuffer(file, c.format, c.index); },
            config);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(gPlayerState.fillLength[c.index], c.fillLength);
        EXPECT_EQ(gPlayerState.readFailed, c.failRead != 0);
        EXPECT_TRUE(buffers.Buffer(c.index) == c.buffer);
        EXPECT_EQ(buffers.Buffer(c.index ^ 1u), Bytes(6144, kGuardByte));
        EXPECT_TRUE(buffers.GuardsIntact());
    }
}

// Header bytes a pipe gave up to detection come first, once.
TEST(Refill, HeldHeaderBytesLeadTheFirstRefill) {
    GuardedBuffers buffers;
    gPlayerState.heldCount = 3;
    std::copy_n("abc", 3, gPlayerState.heldBytes);
    std::int32_t counts[2] = {};
    OnFile(Bytes{}, [&](BPTR file) {
        counts[0] = FillTransferBuffer(file, Format(PlayMode::Raw), 0);
        counts[1] = FillTransferBuffer(file, Format(PlayMode::Raw), 1);
    });
    EXPECT_EQ(counts[0], 3); // the file itself is empty
    EXPECT_EQ(counts[1], 0);
    EXPECT_EQ(buffers.Buffer(0), Concat({{'a', 'b', 'c'}, Bytes(6141, 0)}));
    EXPECT_EQ(gPlayerState.fillLength[1], 0);
}

TEST(Bursts, BothBuffersHoldAPreambleAndZeroStuffing) {
    GuardedBuffers buffers;
    PrepareBurstBuffers(0x800);
    const Bytes burst = Concat({BurstPreamble(0x800), Bytes(6144 - 8, 0)});
    EXPECT_EQ(buffers.Buffer(0), burst);
    EXPECT_EQ(buffers.Buffer(1), burst);
    EXPECT_TRUE(buffers.GuardsIntact());
}

} // namespace
