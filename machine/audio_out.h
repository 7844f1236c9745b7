// The codec's two outputs, the DAC's line out and the S/PDIF transmitter: kept
// in the result, and queued for the program's sinks, which are written with
// the machine unlocked so that a host device that blocks stalls no platform
// call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "machine/machine.h"

namespace machine {

struct Machine;

enum class Output { Dac, Spdif };

// Chunks waiting for one sink, merged while their settings stay the same.
struct SinkQueue {
    struct Piece {
        AudioChunk chunk; // bytes point nowhere; the piece starts at offset
        std::size_t offset;
    };
    std::vector<std::uint8_t> bytes;
    std::vector<Piece> pieces;
};

// What a sink is handed at least once per this many bytes queued.
inline constexpr std::size_t kFeedBytes = std::size_t{64} * 1024;

// Call with the machine locked.
void Emit(Machine& m, Output output, const AudioChunk& chunk);
bool SinksHungry(const Machine& m);

// Writes what is queued to the sinks, with `lock` released meanwhile. Only
// the thread that runs the devices feeds them (clock.cpp), and Run once the
// clock has stopped.
void FeedSinks(Machine& m, std::unique_lock<std::mutex>& lock);

} // namespace machine
