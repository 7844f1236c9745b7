// The WAV writer: header layout, lengths kept right as the file grows, the
// rate taken from the stream.
#include <cstdint>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "app/wav_sink.h"
#include "platform/byteorder.h"
#include "support/files.h"
#include "wav_file.h"

namespace {

using app_testing::Bytes;
using app_testing::ParseWav;
using app_testing::ReadFileBytes;

std::string TempPath(const std::string& name) {
    return testing_support::ScratchPath(name);
}

machine::AudioChunk Chunk(const Bytes& bytes, std::uint32_t rate, bool muted = false) {
    return machine::AudioChunk{rate, muted, false, 0, bytes.data(), bytes.size()};
}

Bytes Counting(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i);
    }
    return b;
}

TEST(WavHeader, HoldsEveryFieldAtItsPlaceLittleEndian) {
    const auto h = app::WavHeader(44100, 0x01020304);
    const std::uint8_t expected[44] = {
        'R',  'I',  'F',  'F',  0x28, 0x03, 0x02, 0x01, // RIFF, 36 + data
        'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',  //
        16,   0,    0,    0,    1,    0,    2,    0,    // fmt size, PCM, 2 channels
        0x44, 0xAC, 0x00, 0x00,                         // 44100
        0x10, 0xB1, 0x02, 0x00,                         // 176400 bytes a second
        4,    0,    16,   0,                            // block align, bits
        'd',  'a',  't',  'a',  0x04, 0x03, 0x02, 0x01, // data length
    };
    EXPECT_EQ(Bytes(h.begin(), h.end()), Bytes(std::begin(expected), std::end(expected)));
}

TEST(WavHeader, LengthsStopAtWhatThirtyTwoBitsHold) {
    const struct {
        std::uint64_t dataBytes;
        std::uint32_t data;
    } cases[] = {
        {0, 0},
        {4, 4},
        {0xFFFFFFD8ull, 0xFFFFFFD8u},
        {0xFFFFFFDCull, 0xFFFFFFD8u},
        {0x100000000ull, 0xFFFFFFD8u},
    };
    for (const auto& c : cases) {
        const auto h = app::WavHeader(48000, c.dataBytes);
        EXPECT_EQ(LoadLE32(&h[40]), c.data) << c.dataBytes;
        EXPECT_EQ(LoadLE32(&h[4]), c.data + 36) << c.dataBytes;
        EXPECT_EQ(LoadLE32(&h[24]), 48000u);
        EXPECT_EQ(LoadLE32(&h[28]), 192000u);
    }
}

TEST(WavSink, AFileWithNoChunkIsAnEmptyWavAtThePowerOnRate) {
    const std::string path = TempPath("empty.wav");
    std::string error;
    auto sink = app::WavSink::Create(path, &error);
    ASSERT_TRUE(sink) << error;
    sink->Finish();
    const auto wav = ParseWav(ReadFileBytes(path));
    ASSERT_TRUE(wav.valid) << wav.why;
    EXPECT_EQ(wav.rate, app::kWavDefaultRate);
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.bits, 16);
    EXPECT_TRUE(wav.data.empty());
}

TEST(WavSink, IsValidAfterEveryWriteWithoutFinish) {
    const std::string path = TempPath("growing.wav");
    std::string error;
    auto sink = app::WavSink::Create(path, &error);
    ASSERT_TRUE(sink) << error;
    Bytes expected;
    const struct {
        std::size_t size;
        std::uint32_t rate;
        bool muted;
    } writes[] = {{4096, 44100, false}, {0, 44100, false}, {4, 22050, true}, {12288, 48000, false}};
    std::uint8_t seed = 0;
    for (const auto& w : writes) {
        const Bytes bytes = Counting(w.size, seed);
        seed = static_cast<std::uint8_t>(seed + 7);
        sink->Write(Chunk(bytes, w.rate, w.muted));
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        // Read back while the sink still has the file open, as after a kill.
        const auto wav = ParseWav(ReadFileBytes(path));
        ASSERT_TRUE(wav.valid) << wav.why;
        EXPECT_EQ(wav.rate, 44100u) << "the first chunk's rate stays";
        EXPECT_EQ(wav.data, expected);
    }
    EXPECT_EQ(sink->dataBytes(), expected.size());
    EXPECT_EQ(sink->rate(), 44100u);
    sink->Finish();
    sink->Finish();
    sink->Write(Chunk(Counting(8, 1), 44100));
    const auto wav = ParseWav(ReadFileBytes(path));
    ASSERT_TRUE(wav.valid) << wav.why;
    EXPECT_EQ(wav.data, expected) << "nothing is written after Finish";
    EXPECT_FALSE(sink->failed());
}

TEST(WavSink, CreateSaysWhyAFileCannotBeMade) {
    std::string error;
    const std::string path = TempPath("no-such-dir") + "/x/out.wav";
    EXPECT_FALSE(app::WavSink::Create(path, &error));
    EXPECT_EQ(error, path + ": No such file or directory");
}

} // namespace
