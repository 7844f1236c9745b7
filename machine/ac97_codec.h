// The AC'97 codec behind ac97mixer.library: its register file, variable-rate
// audio, the DAC and the S/PDIF transmitter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace machine {

struct Machine;
struct Config;

struct Codec {
    std::array<std::uint16_t, 64> registers{};
    std::array<std::uint16_t, 64> powerOn{};
    std::vector<std::uint8_t> lineOut; // the DAC stream after the output volume
};

void ResetCodec(Codec& codec, const Config& config);

std::uint16_t CodecRead(Machine& m, std::uint32_t reg);
void CodecWrite(Machine& m, std::uint32_t reg, std::uint16_t value);

// The rate at which the DAC takes frames, in Hz; never 0.
std::uint32_t DacRate(const Codec& codec);

// The rate the DAC plays once `value` is written to its rate register: the
// register keeps the low 16 bits, and with VRA holds the nearest rate the
// codec makes, 8000 to 48000 Hz; without VRA the converters run at 48000 Hz.
// A pure rule, for the codec and for a host telling what a file will play at.
std::uint32_t DacRateForWrite(std::uint32_t value, bool vra);

// The rate the S/PDIF transmitter sends at with `control` in its control
// register. A pure rule, for the codec and for a host telling what rate a
// file goes out marked with.
std::uint32_t SpdifRateForControl(std::uint16_t control);

// Frames fetched by the controller reach the DAC, and the line out through
// PCM Out Volume, and, when the transmitter is on, the S/PDIF output.
void CodecPlay(Machine& m, const std::uint8_t* bytes, std::size_t size, std::uint64_t timeNs);

} // namespace machine
