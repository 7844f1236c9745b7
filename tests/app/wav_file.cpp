#include "wav_file.h"

#include <fstream>
#include <iterator>

#include "platform/byteorder.h"

namespace app_testing {

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

WavInfo ParseWav(const Bytes& file) {
    WavInfo info;
    auto tag = [&](std::size_t at, const char* want) {
        return std::string(file.begin() + static_cast<std::ptrdiff_t>(at),
                           file.begin() + static_cast<std::ptrdiff_t>(at) + 4) == want;
    };
    if (file.size() < 44) {
        info.why = "shorter than a header";
        return info;
    }
    if (!tag(0, "RIFF") || !tag(8, "WAVE") || !tag(12, "fmt ") || !tag(36, "data")) {
        info.why = "tags out of place";
        return info;
    }
    if (LoadLE32(&file[4]) != file.size() - 8) {
        info.why = "RIFF length " + std::to_string(LoadLE32(&file[4])) + " for a file of " +
                   std::to_string(file.size());
        return info;
    }
    if (LoadLE32(&file[40]) != file.size() - 44) {
        info.why = "data length " + std::to_string(LoadLE32(&file[40])) + " for a file of " +
                   std::to_string(file.size());
        return info;
    }
    if (LoadLE32(&file[16]) != 16 || LoadLE16(&file[20]) != 1) {
        info.why = "not a 16-byte PCM format chunk";
        return info;
    }
    info.channels = LoadLE16(&file[22]);
    info.rate = LoadLE32(&file[24]);
    info.bits = LoadLE16(&file[34]);
    const std::uint32_t align = info.channels * info.bits / 8u;
    if (LoadLE16(&file[32]) != align || LoadLE32(&file[28]) != info.rate * align) {
        info.why = "block align or byte rate inconsistent";
        return info;
    }
    info.data.assign(file.begin() + 44, file.end());
    info.valid = true;
    return info;
}

} // namespace app_testing
