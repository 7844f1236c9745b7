// Layout of the one DMA block that holds the descriptor table and both
// transfer buffers.
#pragma once

#include <cstdint>

// The unit of every transfer and of the DAC stream: one 16-bit stereo frame.
inline constexpr std::uint32_t kStereoFrameBytes = 4;
inline constexpr std::uint32_t kTransferBufferFrames = 1536;
inline constexpr std::uint32_t kTransferBufferSize = kTransferBufferFrames * kStereoFrameBytes;
inline constexpr std::uint32_t kTransferBufferCount = 2;
inline constexpr std::uint32_t kDescriptorTableSize = 0x10;
inline constexpr std::uint32_t kDmaAlignment = 16;

inline constexpr std::uint32_t kTableOffset = 0x0000;
inline constexpr std::uint32_t kBuffer0Offset = kTableOffset + kDescriptorTableSize;
inline constexpr std::uint32_t kBuffer1Offset = kBuffer0Offset + kTransferBufferSize;
inline constexpr std::uint32_t kDmaBlockUsed = kBuffer1Offset + kTransferBufferSize;
// The spare bytes let the table base be rounded up to a multiple of 16.
inline constexpr std::uint32_t kDmaBlockSize = kDmaBlockUsed + kDmaAlignment;

static_assert(kTransferBufferSize == 0x1800);
static_assert(kBuffer1Offset == 0x1810);
static_assert(kDmaBlockUsed == 0x3010);
static_assert(kDmaBlockSize == 0x3020);
