// The input side: stream headers, detection, the refill in each mode, and the
// burst preamble, each on the bytes the controller will read.
#include <bit>
#include <cmath>
#include <limits>
#include <tuple>

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
}

TEST(Headers, RateFromDoubleTruncatesAndSaturates) {
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
        machine::Config config;
        config.failReadAt = failRead;
        const machine::Result r = OnFile(
            file, [&](BPTR in) { f = DetectInput(in), at = Seek(in, 0, OFFSET_CURRENT); }, config);
        EXPECT_EQ(
            std::tie(f.playMode, f.playbackRate, f.swapBytes, f.payloadOffset, f.readSize, at),
            std::tie(want.playMode, want.playbackRate, want.swapBytes, want.payloadOffset,
                     want.readSize, position));
        EXPECT_EQ(r.output, "Transfering audio data\n" + output);
        EXPECT_EQ(gPlayerState.readFailed, failRead != 0);
        EXPECT_EQ(gPlayerState.lastReadCount,
                  failRead != 0 ? -1 : std::min<std::int32_t>(46, file.size()));
    }
}

// Header bytes a pipe gave up to detection lead the first refill.
TEST(Refill, FillsOneBufferInTheControllersOrder) {
    const InputFormat raw{PlayMode::Raw, 48000, false, 0, 6144, 6144},
        aiff{PlayMode::IffPcm, 48000, true, 0, 6144, 6144},
        ac3{PlayMode::Ac3, 48000, true, 8, 0x700, 0x700};
    const Bytes guard(8, kGuardByte);
    const auto zeros = [](std::size_t n) { return Bytes(n, 0); };
    const Bytes full = Pattern(6144 + 10);
    const Bytes piece(full.begin(), full.begin() + 6144);
    const Bytes odd = Pattern(101);
    const Bytes frame = Ac3Frame(0, 30, 0x700);
    const Bytes cut(frame.begin(), frame.begin() + 0x301);
    const Bytes afterFrame(6144 - 8 - 0x700, kGuardByte);
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
        machine::Config config;
        config.failReadAt = failRead;
        OnFile(
            file, [&](BPTR in) { got = FillTransferBuffer(in, format, index); }, config);
        EXPECT_EQ(std::tie(got, gPlayerState.fillLength[index]), std::tie(count, fillLength));
        EXPECT_EQ(gPlayerState.readFailed, failRead != 0);
        EXPECT_TRUE(buffers.Buffer(index) == buffer);
        EXPECT_EQ(buffers.Buffer(index ^ 1u), Bytes(6144, kGuardByte));
        EXPECT_TRUE(buffers.GuardsIntact());
    }
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
