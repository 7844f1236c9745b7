// Golden end-to-end runs: ffmpeg and sox make the input files, kestrel-machine
// plays them, and the captures of the DAC and the S/PDIF output are held
// against what those tools make of the same files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/trace.h"
#include "wav_file.h"

namespace golden {

using Bytes = std::vector<std::uint8_t>;

// One 6144-byte transfer buffer: 1536 stereo frames of 16-bit words, which is
// also the IEC 61937 repetition period of one AC-3 frame.
inline constexpr std::size_t kBufferBytes = 6144;
inline constexpr std::size_t kBurstBytes = kBufferBytes;
inline constexpr std::size_t kSamplesPerAc3Frame = 1536;
inline constexpr std::size_t kBytesPerStereoFrame = 4;
// After the last whole buffer the channel keeps fetching from the next one
// until the player stops it: at most a millisecond of 48 kHz stereo frames.
inline constexpr std::size_t kMaxTailBytes = 48 * kBytesPerStereoFrame;
// Where an AIFF file's bytes start to be played: after the FORM header and a
// common chunk that directly follows it.
inline constexpr std::size_t kAiffSampleOffset = 46;

enum class Spdif { On, Off };

// Which codec write sequence a run should show.
enum class CodecUse { Ac3, Pcm };

struct PlayRun {
    int status = -1;
    int signal = 0; // what ended the machine, if it did not exit
    std::string out;
    std::string err; // the --report line
    std::string dacPath;
    std::string spdifPath;
    app_testing::WavInfo dac;
    app_testing::WavInfo spdif;
    std::vector<testing_support::TraceEvent> trace;
};

// Each test works in a fresh directory of its own under the build tree,
// removed again when the test passes.
class GoldenTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string Path(const std::string& name) const;

    // Plays a file on the machine, capturing both outputs and the trace.
    PlayRun Play(const std::string& file, Spdif spdif, const std::string& tag);

private:
    std::string dir_;
};

// Exit status 0, and the machine's report names no overrun and no violation.
testing::AssertionResult CleanRun(const PlayRun& run);

// Runs a tool and returns its standard output; a failure to run it fails the
// test with the tool's standard error.
std::string Tool(const std::vector<std::string>& argv);
Bytes ToolBytes(const std::vector<std::string>& argv);

// ffmpeg with a lavfi sine source of the given length, stereo at the rate,
// and then the output options.
void FfmpegSine(double seconds, int rate, const std::vector<std::string>& output);

// What ffmpeg decodes a file to, as 16-bit little-endian stereo.
Bytes DecodeS16(const std::string& file);

// Up to size bytes from offset on, as many as there are.
Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size = SIZE_MAX);

// Every 16-bit word with its two bytes exchanged; an odd last byte stays.
Bytes SwapWords(Bytes bytes);

// Empty when equal; else where they first differ, counted in units of the
// given size ("burst", "buffer", "sample frame", ...), or how the sizes differ.
std::string FirstDifference(const Bytes& actual, const Bytes& expected, std::size_t unit,
                            const std::string& unitName);

// Checks that a capture begins with the expected bytes and goes on with
// zeros only, whole buffers and at most kMaxTailBytes beyond them.
void ExpectPaddedCapture(const Bytes& capture, const Bytes& expected, const std::string& what);

// The codec writes of one run, as testing_support::Summary writes them.
std::vector<std::string> CodecWrites(const std::vector<testing_support::TraceEvent>& trace);

// The codec writes the player must make for the mode, rate and transmitter
// state, with the values it read from the codec (taken from the same trace).
std::vector<std::string> ExpectedCodecWrites(const std::vector<testing_support::TraceEvent>& trace,
                                             CodecUse use, int rate, Spdif spdif);

std::string SpdifName(Spdif spdif);

} // namespace golden
