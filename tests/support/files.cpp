#include "support/files.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace testing_support {

namespace {

// One folder per test process, removed when the process ends.
std::filesystem::path ScratchDir() {
    static const struct Scratch {
        std::filesystem::path dir =
            std::filesystem::temp_directory_path() / ("kestrel-test-" + std::to_string(::getpid()));
        Scratch() { std::filesystem::create_directories(dir); }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    } scratch;
    return scratch.dir;
}

} // namespace

std::string ScratchPath(const std::string& name) {
    return (ScratchDir() / name).string();
}

std::string WriteTempFile(const std::string& name, const Bytes& bytes) {
    const std::filesystem::path path = ScratchDir() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

Bytes ExtendedBytes(double value) {
    Bytes out(10, 0);
    if (value == 0.0) {
        return out;
    }
    int exponent = 0;
    const double fraction =
        std::frexp(std::fabs(value), &exponent); // value = f * 2^e, f in [0.5, 1)
    const std::uint16_t biased = static_cast<std::uint16_t>(exponent - 1 + 16383);
    const std::uint16_t top = static_cast<std::uint16_t>((value < 0 ? 0x8000 : 0) | biased);
    // Mantissa with the explicit integer bit: f * 2^64.
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 64));
    out[0] = static_cast<std::uint8_t>(top >> 8);
    out[1] = static_cast<std::uint8_t>(top);
    for (int i = 0; i < 8; ++i) {
        out[2 + i] = static_cast<std::uint8_t>(mantissa >> (56 - 8 * i));
    }
    return out;
}

Bytes AiffFile(const Bytes& rateBytes, const Bytes& sound) {
    const auto be32 = [](Bytes& b, std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) {
            b.push_back(static_cast<std::uint8_t>(v >> s));
        }
    };
    Bytes b = {'F', 'O', 'R', 'M'};
    be32(b, static_cast<std::uint32_t>(4 + 26 + 16 + sound.size()));
    b.insert(b.end(), {'A', 'I', 'F', 'F', 'C', 'O', 'M', 'M'});
    be32(b, 18);
    b.insert(b.end(), {0, 2});                             // channels
    be32(b, static_cast<std::uint32_t>(sound.size() / 4)); // frames
    b.insert(b.end(), {0, 16});                            // sample size
    b.insert(b.end(), rateBytes.begin(), rateBytes.end());
    b.insert(b.end(), {'S', 'S', 'N', 'D'});
    be32(b, static_cast<std::uint32_t>(8 + sound.size()));
    // The header ends here, at 46; the chunk's offset and block size follow.
    be32(b, 0);
    be32(b, 0);
    b.insert(b.end(), sound.begin(), sound.end());
    return b;
}

Bytes Ac3Frame(unsigned fscod, unsigned frmsizecod, std::size_t length, std::uint8_t seed) {
    Bytes frame = Pattern(length, seed);
    frame[0] = 0x0B;
    frame[1] = 0x77;
    frame[2] = 0xAB; // CRC1, never examined
    frame[3] = 0xCD;
    frame[4] = static_cast<std::uint8_t>(((fscod & 3u) << 6) | (frmsizecod & 0x3Fu));
    return frame;
}

Bytes Pattern(std::size_t length, std::uint8_t seed) {
    Bytes b(length);
    for (std::size_t i = 0; i < length; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    }
    return b;
}

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

} // namespace testing_support
