// The refill account: which Read landed in which block of the channel's
// table, and when, against when the channel started that block. A block
// that starts before the Read into it has landed is an overrun: it started
// with no new data (stale), or the data landed while it played. Each Read
// into DMA memory once the channel has started has a slack: the machine time
// its block started minus the time it landed, below 0 exactly when that
// block was an overrun. The slack goes to the report and the trace
// (`refill_slack`), and from there to the timeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "machine/machine.h"

namespace machine {

struct Machine;

// What the account knows of one block of the table, by bus address.
struct BlockRefills {
    std::uint32_t length = 0;
    bool started = false; // the channel has started it
    bool landed = false;  // a Read landed in it since it last started
    // A start that found no new data, until the Read meant for it lands.
    std::uint64_t missedNs = kNever;
    std::uint64_t missedBlock = 0;
};

// A Read's data in DMA memory, waiting for the channel to start its block.
struct LandedRefill {
    std::uint32_t bus = 0;
    std::uint32_t length = 0;
    std::uint64_t landedNs = 0;
};

// The player has two buffers: a few pending refills are plenty.
struct RefillAccount {
    std::map<std::uint32_t, BlockRefills> blocks;
    static constexpr std::size_t kPending = 4;
    LandedRefill pending[kPending];
    std::size_t pendingCount = 0;
    std::vector<std::int32_t> slackValues; // with Config::report, for the median
};

// The channel starts its current block at startNs: marks it stale when no
// Read landed in it since it last played, and counts the slack of every
// refill that landed in it meanwhile.
void AccountStart(Machine& m, std::uint64_t startNs);

// A Read's data has landed in bus range [bus, bus + length) at landedNs.
void NoteLanded(Machine& m, std::uint32_t bus, std::uint32_t length, std::uint64_t landedNs);

// The run is over: the report gets the median of the slack values kept.
void FinishRefillAccount(Machine& m);

} // namespace machine
