// IEC 61937 data bursts carrying AC-3 over S/PDIF.
//
// Terms: a data burst is a preamble of four 16-bit words (Pa, Pb: sync;
// Pc: burst info; Pd: payload length in bits), the payload, and zero
// stuffing up to the repetition period of the data type. An AC-3 frame
// stands for 1536 PCM frames, so its bursts repeat every 1536 stereo 16-bit
// frames: 6144 bytes, exactly one transfer buffer.
#pragma once

#include <cstdint>

#include "hw/dma_block.h"

namespace iec61937 {

inline constexpr std::uint16_t kSyncWord1 = 0xF872; // Pa
inline constexpr std::uint16_t kSyncWord2 = 0x4E1F; // Pb
inline constexpr std::uint16_t kDataTypeAc3 = 0x0001;
inline constexpr std::uint32_t kBurstHeaderSize = 8;
inline constexpr std::uint32_t kPaOffset = 0;
inline constexpr std::uint32_t kPbOffset = 2;
inline constexpr std::uint32_t kPcOffset = 4;
inline constexpr std::uint32_t kPdOffset = 6;

inline constexpr std::uint32_t kAc3FramesPerBurst = 1536;
inline constexpr std::uint32_t kAc3BurstSize = kAc3FramesPerBurst * kStereoFrameBytes;
static_assert(kAc3BurstSize == kTransferBufferSize);

// Pd: the payload length in bits.
constexpr std::uint16_t LengthCode(std::uint32_t frameLength) {
    return static_cast<std::uint16_t>(frameLength * 8);
}

} // namespace iec61937

// Writes one AC-3 burst's preamble and zero stuffing over a whole buffer.
void WriteBurstPreamble(std::uint8_t* buffer, std::uint32_t frameLength);

// Prepares both transfer buffers for AC-3 frames of frameLength bytes.
void PrepareBurstBuffers(std::uint32_t frameLength);
