// Reading back the WAV files the programs write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app_testing {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFileBytes(const std::string& path);

// The fields of a 44-byte 16-bit PCM header, each checked for its place.
struct WavInfo {
    bool valid = false;
    std::string why; // when not valid
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    Bytes data;
};

// Checks the tags, the format and that both lengths agree with the file size.
WavInfo ParseWav(const Bytes& file);

} // namespace app_testing
