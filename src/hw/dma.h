// The VT8231 playback channel: descriptor table, start and stop.
#pragma once

#include <cstdint>

inline constexpr std::int32_t kStopSettleTicks = 2;

// CPU address of a channel register.
std::uintptr_t ChannelRegister(std::uint32_t offset);

// Lays the descriptor table and both transfer buffers into the DMA block that
// AllocVec returned, loads the table pointer and sets the buffer addresses.
void BuildDescriptorTable(void* dmaBlock);
void StartDma();
// Terminates the channel, turns off its interrupts and looping, and lets it settle.
void StopDma();
