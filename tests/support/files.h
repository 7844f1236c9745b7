// Input files for tests: written into a fresh temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// A path in this process's scratch directory, which goes when the process ends.
std::string ScratchPath(const std::string& name);

// Writes bytes to a new file in this process's scratch directory; returns its path.
std::string WriteTempFile(const std::string& name, const Bytes& bytes);

// The 10-byte big-endian 80-bit extended value of an exactly representable rate.
Bytes ExtendedBytes(double value);

// An AIFF file with the common chunk first, as many writers make it: the rate
// bytes at 28, the header ending at 46, then the sound-data chunk's offset and
// block size (both 0) and the samples.
Bytes AiffFile(const Bytes& rateBytes, const Bytes& sound);

// An AC-3 frame whose sync information has the given fscod and frmsizecod;
// the rest of the frame is a counting pattern starting from seed.
Bytes Ac3Frame(unsigned fscod, unsigned frmsizecod, std::size_t length, std::uint8_t seed = 0);

// A counting byte pattern.
Bytes Pattern(std::size_t length, std::uint8_t seed = 0);

Bytes Concat(const std::vector<Bytes>& parts);

} // namespace testing_support
