// The interrupt server and the wake-up signal it sends the main task.
#pragma once

#include <cstdint>

// Acknowledges the channel's buffer ends, follows the playing buffer and wakes
// the main task. Runs in interrupt context; always returns 0.
std::uint32_t AudioInterruptServer();

// What wakes the main task while it plays: the server's signal and CTRL-C.
std::uint32_t WakeSignals();

// Allocates the wake-up signal and arms the server. Returns false when no
// signal is free; the server then stays unarmed.
bool PrepareSignals();
