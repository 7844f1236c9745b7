// Runs a piece of the player as the main task of an emulated machine, with
// the two transfer buffers in test-owned memory between guard bytes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "hw/dma_block.h"
#include "machine/machine.h"

namespace testing_support {

// Runs body as the main task of a machine configured so.
machine::Result RunOnMachine(const std::function<void()>& body, machine::Config config = {});

inline constexpr std::size_t kGuardSize = 64;
inline constexpr std::uint8_t kGuardByte = 0xA5;

// Both transfer buffers back to back, as in the DMA block, fenced by guards.
struct GuardedBuffers {
    alignas(16) std::array<std::uint8_t, kGuardSize + 2 * kTransferBufferSize + kGuardSize> bytes;

    GuardedBuffers();
    std::uint8_t* Buffer(unsigned index);
    // Points the player's buffer addresses here.
    void Install();
    bool GuardsIntact() const;
};

} // namespace testing_support
