// Whole files played on the machine: what reached the DAC and the S/PDIF
// output, the end of the data, CTRL-C, slow and failing reads.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/player_run.h"

using testing_support::Bytes;
using testing_support::PlayerRun;
using testing_support::RunPlayer;
using testing_support::Select;

namespace {

constexpr std::size_t kBuffer = 6144;
const std::string kTransfer = "Transfering audio data\n";
const std::string kPlaying = "Playing file (CTRL-C to abort playing)\n";

Bytes Swapped(Bytes b) {
    for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
        std::swap(b[i], b[i + 1]);
    }
    return b;
}

// data cut into buffers, each padded with silence to a whole buffer.
Bytes Buffers(const Bytes& data) {
    Bytes out = data;
    out.resize((data.size() + kBuffer - 1) / kBuffer * kBuffer, 0);
    return out;
}

// Bursts of AC-3 frames as the player lays them out.
Bytes Bursts(const Bytes& stream, std::size_t frameLength) {
    Bytes out;
    for (std::size_t at = 0; at < stream.size(); at += frameLength) {
        Bytes burst(kBuffer, 0);
        const std::uint16_t pd = static_cast<std::uint16_t>(frameLength * 8);
        const Bytes preamble = {0x72,
                                0xF8,
                                0x1F,
                                0x4E,
                                0x01,
                                0x00,
                                static_cast<std::uint8_t>(pd),
                                static_cast<std::uint8_t>(pd >> 8)};
        std::copy(preamble.begin(), preamble.end(), burst.begin());
        const std::size_t n = std::min(frameLength, stream.size() - at);
        Bytes frame(stream.begin() + static_cast<long>(at),
                    stream.begin() + static_cast<long>(at + n));
        frame.resize(frameLength, 0);
        frame = Swapped(frame);
        std::copy(frame.begin(), frame.end(), burst.begin() + 8);
        out.insert(out.end(), burst.begin(), burst.end());
    }
    return out;
}

// The capture starts with expected; what the channel fetched of the empty
// buffer after it, before it was stopped, is a start of that buffer: silence,
// or in AC-3 mode a burst preamble and silence.
::testing::AssertionResult CaptureIs(const machine::Capture& capture, const Bytes& expected,
                                     const Bytes& emptyBuffer = Bytes(kBuffer, 0)) {
    if (capture.bytes.size() < expected.size()) {
        return ::testing::AssertionFailure() << "capture holds " << capture.bytes.size()
                                             << " bytes, expected at least " << expected.size();
    }
    const auto diff = std::mismatch(expected.begin(), expected.end(), capture.bytes.begin());
    if (diff.first != expected.end()) {
        const auto at = diff.first - expected.begin();
        return ::testing::AssertionFailure()
               << "first difference at byte " << at << " (buffer " << at / 6144 << "): got "
               << int{*diff.second} << ", expected " << int{*diff.first};
    }
    const std::size_t tail = capture.bytes.size() - expected.size();
    if (tail > emptyBuffer.size()) {
        return ::testing::AssertionFailure() << tail << " bytes played after the data";
    }
    const auto after = std::mismatch(capture.bytes.begin() + static_cast<long>(expected.size()),
                                     capture.bytes.end(), emptyBuffer.begin());
    if (after.first != capture.bytes.end()) {
        return ::testing::AssertionFailure()
               << "unexpected byte after the data at " << after.first - capture.bytes.begin();
    }
    return ::testing::AssertionSuccess();
}

bool AllSegments(const machine::Capture& c, std::uint32_t rate, bool muted, bool nonAudio) {
    return !c.segments.empty() &&
           std::all_of(c.segments.begin(), c.segments.end(), [&](const machine::Segment& s) {
               return s.rate == rate && s.muted == muted && s.nonAudio == nonAudio;
           });
}

TEST(PlayIff, EveryRateReachesTheDacSwappedAndWhole) {
    const struct {
        double rate;
        std::size_t samples;
        std::uint32_t spdifRate;
    } cases[] = {{8000, 7000, 48000},
                 {22050, 6144 * 3, 48000},
                 {32000, 10000, 32000},
                 {44100, 20001, 44100},
                 {48000, 6144 * 2 - 8, 48000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        const Bytes samples = testing_support::Pattern(c.samples, 17);
        const Bytes file =
            testing_support::AiffFile(testing_support::ExtendedBytes(c.rate), samples);
        const PlayerRun run = RunPlayer(file);
        const auto rate = static_cast<std::uint32_t>(c.rate);
        EXPECT_EQ(run.result.output, kTransfer + "freq: " + std::to_string(rate) + "\n" + kPlaying);
        EXPECT_EQ(run.result.returnCode, 0);
        const Bytes data(file.begin() + 46, file.end());
        Bytes swapped = Swapped(data);
        EXPECT_TRUE(CaptureIs(run.result.dac, Buffers(swapped)));
        EXPECT_TRUE(AllSegments(run.result.dac, rate, false, false));
        EXPECT_TRUE(AllSegments(run.result.spdif, c.spdifRate, false, false));
        EXPECT_EQ(run.result.report.blocks, (data.size() + kBuffer - 1) / kBuffer);
        EXPECT_TRUE(run.result.violations.empty());
    }
}

TEST(PlayAc3, EveryAcceptedRateTravelsAsBursts) {
    const struct {
        unsigned code;
        unsigned kbit;
    } cases[] = {{24, 256}, {27, 320}, {28, 384}, {31, 448}, {32, 512}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kbit);
        const std::size_t length = c.kbit * 4;
        Bytes stream;
        for (std::uint8_t i = 0; i < 5; ++i) {
            const Bytes frame = testing_support::Ac3Frame(0, c.code, length, i);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        const PlayerRun run = RunPlayer(stream);
        EXPECT_EQ(run.result.output, kTransfer + "AC3 Stream SampleRate = 48000Hz BitRate = " +
                                         std::to_string(c.kbit) + "kbit\n" +
                                         "Transfering data in AC3 mode, freq: 48000\n" + kPlaying);
        EXPECT_EQ(run.result.returnCode, 0);
        EXPECT_TRUE(CaptureIs(run.result.spdif, Bursts(stream, length), Bursts(Bytes(1), length)));
        EXPECT_TRUE(AllSegments(run.result.spdif, 48000, false, true));
        EXPECT_TRUE(AllSegments(run.result.dac, 48000, true, false));
        EXPECT_EQ(run.result.report.blocks, 5u);
        EXPECT_TRUE(run.result.violations.empty());
    }
}

TEST(PlayAc3, ACutShortLastFrameIsPaddedWithSilence) {
    Bytes stream = testing_support::Concat(
        {testing_support::Ac3Frame(0, 24, 1024, 1), testing_support::Ac3Frame(0, 24, 1024, 2)});
    stream.resize(1024 + 333);
    const PlayerRun run = RunPlayer(stream);
    EXPECT_TRUE(CaptureIs(run.result.spdif, Bursts(stream, 1024), Bursts(Bytes(1), 1024)));
    EXPECT_EQ(run.result.report.blocks, 2u);
}

TEST(PlayRaw, RefusedAndUnknownStreamsPlayUnchangedAt48k) {
    const struct {
        const char* name;
        Bytes file;
        std::string messages;
    } cases[] = {
        {"refused AC-3", testing_support::Ac3Frame(1, 28, 9000),
         "Unsupported samplerate 44.1khz\n"},
        {"bad bit rate", testing_support::Ac3Frame(0, 20, 7000), "Unsupported bitrate (code 20)\n"},
        {"anything", testing_support::Pattern(6144 * 2 + 2, 4), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PlayerRun run = RunPlayer(c.file);
        EXPECT_EQ(run.result.output, kTransfer + c.messages + kPlaying);
        EXPECT_TRUE(CaptureIs(run.result.dac, Buffers(c.file)));
        EXPECT_TRUE(AllSegments(run.result.dac, 48000, false, false));
        EXPECT_TRUE(run.result.violations.empty());
    }
}

TEST(EndOfData, EveryPieceIsPlayedWhole) {
    const struct {
        const char* name;
        std::size_t size;
        std::uint64_t blocks;
    } cases[] = {
        {"no data", 0, 1},
        {"one piece", 100, 1},
        {"exact multiple", 3 * kBuffer, 3},
        {"short last piece", 3 * kBuffer + 5, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = testing_support::Pattern(c.size, 3);
        const PlayerRun run = RunPlayer(file);
        EXPECT_EQ(run.result.returnCode, 0);
        EXPECT_EQ(run.result.report.blocks, c.blocks);
        // With no data at all, buffer 0 still plays once, silent.
        const Bytes played = file.empty() ? Bytes(kBuffer, 0) : Buffers(file);
        EXPECT_TRUE(CaptureIs(run.result.dac, played));
        EXPECT_TRUE(run.result.violations.empty());
    }
}

TEST(Break, CtrlCStopsPlaybackCleanly) {
    const Bytes file = testing_support::Pattern(20 * kBuffer, 8);
    const struct {
        const char* name;
        long long atUs;
        long long afterBlocks;
        std::uint64_t blocks;
    } cases[] = {
        {"during the first buffer", 10'000, -1, 0},
        {"in the middle", 100'000, -1, 3},
        {"together with a buffer end", -1, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine::Config config;
        config.breakAtUs = c.atUs;
        config.breakAfterBlocks = c.afterBlocks;
        const PlayerRun run = RunPlayer(file, config);
        EXPECT_EQ(run.result.output, kTransfer + kPlaying);
        EXPECT_EQ(run.result.returnCode, 0);
        EXPECT_EQ(run.result.report.blocks, c.blocks);
        EXPECT_EQ(Select(run.trace, "delay").size(), 1u);
        EXPECT_EQ(Select(run.trace, "int_server_remove").size(), 1u);
        EXPECT_TRUE(run.result.violations.empty());
    }
}

TEST(Break, CtrlCBeforePlaybackIsCleared) {
    const Bytes file = testing_support::Pattern(4 * kBuffer, 8);
    machine::Config config;
    config.slowReadMs = {{1, 5}}; // the header read
    config.breakAtUs = 1'000;
    const PlayerRun run = RunPlayer(file, config);
    EXPECT_EQ(run.result.returnCode, 0);
    EXPECT_EQ(run.result.report.blocks, 4u);
    EXPECT_TRUE(CaptureIs(run.result.dac, Buffers(file)));
    EXPECT_TRUE(run.result.violations.empty());
}

TEST(Break, WithoutAnInterruptServerOnlyCtrlCEndsTheLoop) {
    machine::Config config;
    config.faults = {machine::Fault::IntServer};
    config.breakAtUs = 500'000;
    const PlayerRun run = RunPlayer(testing_support::Pattern(20 * kBuffer), config);
    EXPECT_EQ(run.result.output, "failed to add int handler\n" + kTransfer + kPlaying);
    EXPECT_EQ(run.result.returnCode, 0);
    // Nothing acknowledges the first buffer's end, so the channel holds there.
    EXPECT_EQ(run.result.report.blocks, 1u);
    EXPECT_GE(run.result.report.timeUs, 500'000u);
    EXPECT_TRUE(Select(run.trace, "signal_free").size() == 1);
    EXPECT_TRUE(run.result.violations.empty());
}

TEST(SlowRead, MissedBufferEndsDoNotStopPlayback) {
    machine::Config config;
    config.slowReadMs = {{4, 80}}; // longer than both buffers together
    const Bytes file = testing_support::Pattern(12 * kBuffer, 2);
    const PlayerRun run = RunPlayer(file, config);
    EXPECT_EQ(run.result.returnCode, 0);
    EXPECT_GT(run.result.report.overruns, 0u);
    EXPECT_GT(run.result.report.blocks, 12u);
    EXPECT_TRUE(run.result.violations.empty());
}

TEST(ReadFailure, EndsTheDataAndReturns10) {
    machine::Config config;
    config.failReadAt = 4;
    const Bytes file = testing_support::Pattern(12 * kBuffer, 2);
    const PlayerRun run = RunPlayer(file, config);
    EXPECT_EQ(run.result.returnCode, 10);
    EXPECT_EQ(run.result.output, kTransfer + kPlaying);
    // The header read, then buffers 0 and 1; the fourth read fails and is silence.
    const Bytes played(file.begin(), file.begin() + 2 * kBuffer);
    EXPECT_TRUE(CaptureIs(run.result.dac, played));
    EXPECT_EQ(run.result.report.blocks, 2u);
    EXPECT_EQ(Select(run.trace, "free").size(), 1u);
    EXPECT_TRUE(run.result.violations.empty());
}

} // namespace
