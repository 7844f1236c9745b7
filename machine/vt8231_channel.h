// The VT8231 AC'97 controller's SGD playback channel: registers at offsets
// 0x00 to 0x07 of the I/O window, a descriptor walker over the PCI bus, and
// the stream of 16-bit stereo frames it feeds the codec.
#pragma once

#include <cstdint>

#include "machine/machine.h"

namespace machine {

struct Machine;

struct Channel {
    std::uint8_t status = 0; // FLAG and EOL; ACTIVE is derived from `active`
    std::uint8_t type = 0;
    std::uint32_t tablePointer = 0;

    bool active = false;
    // After a FLAG or EOL block the channel holds until software clears the
    // status bits that block set: those bits, 0 while it plays on.
    std::uint8_t holdBits = 0;

    std::uint32_t descriptor = 0; // index of the block being played
    std::uint32_t blockBus = 0;
    std::uint32_t blockLength = 0;
    std::uint32_t blockFlags = 0;
    std::uint32_t offset = 0; // bytes of the block fetched so far
    bool overrunCounted = false;
    // The block started with no Read landed in it since it last played: it
    // plays its old data again. Played to its end, that is an overrun; the
    // driver stopping the channel in it at the end of the data is not.
    bool stale = false;
    // The block has started and not ended yet.
    bool playing = false;
    std::uint64_t blockStartNs = 0;
    std::uint64_t blocksStarted = 0; // the number of the block playing, from 1

    std::uint64_t nextTickNs = kNever;
    std::uint64_t carryNs = 0; // remainder of frame timing, in ns * rate
};

// Register accesses by offset; the caller has checked offset and width.
std::uint8_t ChannelRead8(Machine& m, std::uint32_t offset);
void ChannelWrite8(Machine& m, std::uint32_t offset, std::uint8_t value);
void ChannelWrite32(Machine& m, std::uint32_t offset, std::uint32_t value);

// Runs the channel's event due at nextTickNs, taking the frames due by
// untilNs on the real clock. Returns true when it raised the interrupt, so the
// caller calls the interrupt servers.
bool ChannelTick(Machine& m, std::uint64_t untilNs);

// Fetches the frames of the current block due by untilNs, as they are in
// memory now; never ends a block.
void FetchDueFrames(Machine& m, std::uint64_t untilNs);

// Machine time of the current block's end event; kNever when none is coming.
std::uint64_t BlockEndNs(const Machine& m);

// Whether the channel is running and will reach another block end by itself.
bool ChannelRunning(const Machine& m);

} // namespace machine
