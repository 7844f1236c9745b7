// A stream written as a RIFF/WAVE file, 16-bit stereo PCM at the rate of the
// stream's first chunk. The header's lengths are brought up to date at the
// end and once a second of the stream before it, so a run that ends early
// still leaves a valid file, and a killed one a file valid up to its last
// second.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/output_file.h"
#include "machine/machine.h"

namespace app {

inline constexpr std::size_t kWavHeaderSize = 44;
// The RIFF length is 32 bits and counts 36 header bytes besides the samples;
// the data stops at the last whole frame that fits.
inline constexpr std::uint64_t kWavMaxDataBytes =
    (0xFFFFFFFFull - 36) & ~std::uint64_t{machine::kFrameBytes - 1};
// What a file says before any chunk has arrived: the DAC's power-on rate.
inline constexpr std::uint32_t kWavDefaultRate = 48000;

std::array<std::uint8_t, kWavHeaderSize> WavHeader(std::uint32_t rate, std::uint64_t dataBytes);

class WavSink : public machine::AudioSink {
public:
    // A file that cannot be created or written is reported as OutputFile
    // says; the sink then takes chunks and writes nothing.
    WavSink(const std::string& path, OutputFile::Report report);
    ~WavSink() override;
    WavSink(const WavSink&) = delete;
    WavSink& operator=(const WavSink&) = delete;

    void Write(const machine::AudioChunk& chunk) override;
    void Finish() override;

    std::uint32_t rate() const { return rate_; }
    std::uint64_t dataBytes() const { return dataBytes_; }
    bool failed() const { return file_.failed(); }

private:
    void UpdateHeader();

    OutputFile file_;
    std::uint32_t rate_ = 0; // 0 until the first chunk
    std::uint64_t dataBytes_ = 0;
    std::uint64_t headerBytes_ = 0; // data bytes the header on disk counts
    bool finished_ = false;
};

} // namespace app
