#include "app/file_notes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "hw/dma_block.h"
#include "input/headers.h"
#include "input/input_format.h"
#include "platform/byteorder.h"
#include "spdif/data_burst.h"

namespace app {

namespace {

constexpr std::size_t kCommonSize = 26; // chunk header and the fields read here

} // namespace

std::string AiffLayoutNote(const std::string& path) {
    // A pipe or a terminal gives each byte once: those are the player's.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(std::size_t{64} * 1024);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (bytes.size() < kHeaderReadSize || std::string(bytes.begin(), bytes.begin() + 4) != "FORM") {
        return {};
    }
    // Walk the chunks after the FORM header to the common chunk.
    std::uint64_t at = 12;
    while (at + kCommonSize <= bytes.size() &&
           std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       bytes.begin() + static_cast<std::ptrdiff_t>(at) + 4) != "COMM") {
        at += 8 + ((std::uint64_t{LoadBE32(&bytes[at + 4])} + 1) & ~std::uint64_t{1});
    }
    std::string why;
    if (at != 12) {
        why = "its common chunk does not follow the FORM header";
    } else if (LoadBE16(&bytes[at + 8]) != 2 || LoadBE16(&bytes[at + 14]) != 16) {
        why = "it holds " + std::to_string(LoadBE16(&bytes[at + 8])) + " channel(s) of " +
              std::to_string(LoadBE16(&bytes[at + 14])) + "-bit samples";
    } else {
        return {};
    }
    double rate = 0;
    ExtendedToDouble(&bytes[kIffRateOffset], &rate);
    return path + ": " + why + "; the player plays it as 16-bit stereo from byte " +
           std::to_string(kHeaderReadSize) + ", at the " + std::to_string(RateFromDouble(rate)) +
           " Hz it reads at byte " + std::to_string(kIffRateOffset) + ". Convert it with: sox '" +
           path + "' -b 16 -c 2 --comment \"\" out.aiff";
}

double EstimatedSeconds(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return 0;
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const auto size = static_cast<double>(std::max<std::streamoff>(in.tellg(), 0));
    std::uint8_t header[kHeaderReadSize] = {};
    in.seekg(0);
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (std::string(header, header + 4) == "FORM") {
        double rate = 0;
        ExtendedToDouble(&header[kIffRateOffset], &rate);
        const std::int32_t hz = RateFromDouble(rate);
        return hz > 0 ? std::max(size - kHeaderReadSize, 0.0) / (hz * double{kStereoFrameBytes})
                      : 0;
    }
    if (LoadBE16(header) == kAc3SyncWord) {
        const Ac3HeaderInfo info = ParseAc3SyncInfo(header);
        if (info.refusal == Ac3Refusal::None) {
            // One burst a frame.
            return std::ceil(size / info.frameLength) * iec61937::kAc3FramesPerBurst /
                   info.sampleRate;
        }
    }
    return size / (kDefaultRate * double{kStereoFrameBytes});
}

} // namespace app
