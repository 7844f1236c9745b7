// The audio function's I/O window as the CPU sees it. It is not host memory:
// only the register functions of platform/io.h reach it.
#pragma once

#include <cstdint>

struct PciDevice;

namespace machine {

// Where the firmware placed the window; bit 0 of BAR0 marks it as I/O space.
inline constexpr std::uint32_t kIoWindowBase = 0xFE00E400;

void ResetPciDevice(PciDevice& device);

} // namespace machine
