#include "machine/refill_account.h"

#include <algorithm>
#include <limits>

#include "machine/memory.h"
#include "machine/state.h"
#include "machine/trace.h"

namespace machine {

namespace {

bool Overlaps(const LandedRefill& r, std::uint32_t bus, std::uint32_t length) {
    return BusRangesOverlap(r.bus, r.length, bus, length);
}

// deadline - landed, in µs rounded down: a Read that landed a nanosecond late
// has a slack below 0.
std::int64_t SlackUs(std::uint64_t deadlineNs, std::uint64_t landedNs) {
    const std::int64_t ns =
        static_cast<std::int64_t>(deadlineNs) - static_cast<std::int64_t>(landedNs);
    return ns >= 0 ? ns / 1000 : -((999 - ns) / 1000);
}

// A refill's slack is known: it goes to the report and the trace.
void CountSlack(Machine& m, std::uint64_t deadlineNs, std::uint64_t landedNs, std::uint64_t block) {
    const std::int64_t slackUs = SlackUs(deadlineNs, landedNs);
    Report& r = m.result.report;
    if (r.slackRefills == 0 || slackUs < r.slackMinUs) {
        r.slackMinUs = slackUs;
        r.slackMinBlock = block;
    }
    if (r.slackRefills == 0 || slackUs > r.slackMaxUs) {
        r.slackMaxUs = slackUs;
    }
    ++r.slackRefills;
    if (m.config.report) {
        m.refills.slackValues.push_back(static_cast<std::int32_t>(
            std::clamp<std::int64_t>(slackUs, std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::int32_t>::max())));
    }
    Trace(m, "refill_slack",
          {{"slack", slackUs}, {"block", block}, {"deadline", deadlineNs / 1000}});
}

} // namespace

void AccountStart(Machine& m, std::uint64_t startNs) {
    Channel& c = m.channel;
    RefillAccount& a = m.refills;
    BlockRefills& b = a.blocks[c.blockBus];
    b.length = c.blockLength;
    c.stale = b.started && !b.landed;
    if (c.stale && b.missedNs == kNever) {
        b.missedNs = startNs;
        b.missedBlock = c.blocksStarted;
    }
    b.started = true;
    b.landed = false;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < a.pendingCount; ++i) {
        const LandedRefill p = a.pending[i];
        if (Overlaps(p, c.blockBus, c.blockLength)) {
            CountSlack(m, startNs, p.landedNs, c.blocksStarted);
        } else {
            a.pending[kept++] = p;
        }
    }
    a.pendingCount = kept;
}

void NoteLanded(Machine& m, std::uint32_t bus, std::uint32_t length, std::uint64_t landedNs) {
    Channel& c = m.channel;
    RefillAccount& a = m.refills;
    if (c.blocksStarted == 0) {
        return; // the first fill: the player starts the channel when it is done
    }
    BlockRefills* missed = nullptr;
    for (auto& [start, block] : a.blocks) {
        if (BusRangesOverlap(start, block.length, bus, length)) {
            block.landed = true;
            if (block.missedNs != kNever) {
                missed = &block;
            }
        }
    }
    if (c.playing && BusRangesOverlap(c.blockBus, c.blockLength, bus, length)) {
        // It landed in the block playing, which started before its data.
        if (!c.overrunCounted) {
            c.overrunCounted = true;
            ++m.result.report.overruns;
        }
        BlockRefills& b = a.blocks[c.blockBus];
        const bool late = b.missedNs != kNever;
        CountSlack(m, late ? b.missedNs : c.blockStartNs, landedNs,
                   late ? b.missedBlock : c.blocksStarted);
        b.missedNs = kNever;
        return;
    }
    if (missed != nullptr) {
        // The Read meant for a start that has gone by without it.
        CountSlack(m, missed->missedNs, landedNs, missed->missedBlock);
        missed->missedNs = kNever;
        return;
    }
    if (a.pendingCount == RefillAccount::kPending) {
        std::copy(a.pending + 1, a.pending + a.pendingCount, a.pending); // the oldest goes
        --a.pendingCount;
    }
    a.pending[a.pendingCount++] = {bus, length, landedNs};
}

void FinishRefillAccount(Machine& m) {
    std::vector<std::int32_t>& values = m.refills.slackValues;
    if (!values.empty()) {
        const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
        std::nth_element(values.begin(), middle, values.end());
        m.result.report.slackMedianUs = *middle;
    }
}

} // namespace machine
