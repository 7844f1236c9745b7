#include "machine/vt8231_channel.h"

#include <algorithm>
#include <cstdio>

#include "machine/ac97_codec.h"
#include "machine/byte_order.h"
#include "machine/clock.h"
#include "machine/refill_account.h"
#include "machine/state.h"
#include "machine/trace.h"
#include "machine/vt8231_registers.h"

namespace machine {

namespace {

std::uint8_t StatusValue(const Channel& c) {
    return static_cast<std::uint8_t>(c.status | (c.active ? vt8231::kSgdStatusActive : 0));
}

bool Held(const Channel& c) {
    return c.holdBits != 0;
}

// reason: "terminate", "eol" (the EOL block ended without auto-start) or "fetch".
void Stop(Machine& m, const char* reason) {
    Channel& c = m.channel;
    if (c.active) {
        Trace(m, "channel_stop",
              {{"index", c.descriptor},
               {"reason", reason},
               {"overrun", c.playing && c.overrunCounted}});
    }
    c.active = false;
    c.playing = false;
    c.holdBits = 0;
    c.nextTickNs = kNever;
}

// Frames leave at the DAC rate; the remainder is carried so that block ends
// keep exact time over a long run.
std::uint64_t Duration(Channel& c, std::uint32_t frames, std::uint32_t rate) {
    const std::uint64_t total = std::uint64_t{frames} * 1000000000u + c.carryNs;
    c.carryNs = total % rate;
    return total / rate;
}

// A bus master cycle that no target claims: the controller aborts the channel.
void FetchFailed(Machine& m, const char* what, std::uint32_t bus) {
    char text[96];
    std::snprintf(text, sizeof text, "DMA fetch of %s from unmapped bus address 0x%08x", what,
                  static_cast<unsigned>(bus));
    Violation(m, text);
    Stop(m, "fetch");
}

// Fetches descriptor `index` of the table and starts playing its block at
// machine time startNs.
void StartBlock(Machine& m, std::uint32_t index, std::uint64_t startNs) {
    Channel& c = m.channel;
    const std::uint32_t at = c.tablePointer + index * vt8231::kSgdEntrySize;
    const std::uint8_t* table = BusToHost(m.memory, at, vt8231::kSgdEntrySize);
    if (table == nullptr) {
        FetchFailed(m, "a descriptor", at);
        return;
    }
    std::uint8_t descriptor[vt8231::kSgdEntrySize];
    BusMasterRead(descriptor, table, sizeof descriptor);
    const std::uint32_t word = Le32(descriptor + vt8231::kSgdEntryControl);
    c.descriptor = index;
    c.blockBus = Le32(descriptor + vt8231::kSgdEntryAddress);
    c.blockFlags = word & (vt8231::kSgdEntryEol | vt8231::kSgdEntryFlag);
    c.blockLength = vt8231::SgdEntryCount(word);
    c.offset = 0;
    c.overrunCounted = false;
    TraceAt(m, startNs, "block",
            {{"buffer", c.blockBus}, {"bytes", c.blockLength}, {"index", index}});
    c.playing = true;
    c.blockStartNs = startNs;
    ++c.blocksStarted;
    AccountStart(m, startNs);

    c.nextTickNs = startNs;
    if (c.blockLength < kFrameBytes) {
        // Not even one frame: the block still takes one frame time, so a
        // table of empty blocks cannot stop the clock.
        c.nextTickNs += Duration(c, 1, DacRate(m.codec));
    }
}

void Start(Machine& m) {
    Channel& c = m.channel;
    const std::uint16_t command = Le16(&m.device.config[vt8231::kCfgCommand]);
    if ((command & vt8231::kCommandBusMaster) == 0) {
        Violation(m, "channel started with PCI bus mastering disabled");
        return;
    }
    c.active = true;
    c.holdBits = 0;
    c.carryNs = 0;
    StartBlock(m, 0, NowNs(m));
    KickHardware(m);
}

void Control(Machine& m, std::uint8_t value) {
    // Terminate wins over start: both together leave the channel idle.
    if ((value & vt8231::kSgdControlTerminate) != 0) {
        Stop(m, "terminate");
    } else if ((value & vt8231::kSgdControlStart) != 0) {
        Start(m);
    }
}

// Write 1 to clear. Clearing what a FLAG or EOL block set lets the channel
// go on with the next block.
void Acknowledge(Machine& m, std::uint8_t value) {
    Channel& c = m.channel;
    c.status &= static_cast<std::uint8_t>(~(value & vt8231::kSgdStatusBlockEnds));
    if (Held(c) && (c.status & c.holdBits) == 0) {
        const std::uint32_t next = (c.holdBits & vt8231::kSgdStatusEol) != 0 ? 0 : c.descriptor + 1;
        c.holdBits = 0;
        StartBlock(m, next, NowNs(m));
        KickHardware(m);
    }
}

// Frames of the current block not fetched yet.
std::uint32_t FramesLeft(const Channel& c) {
    return c.blockLength / kFrameBytes - c.offset / kFrameBytes;
}

// Fetches the next slice of the block's frames, due at nextTickNs: 1 ms of
// them, or on the real clock all that are due by untilNs.
void FetchSlice(Machine& m, std::uint64_t untilNs) {
    Channel& c = m.channel;
    const std::uint64_t now = c.nextTickNs;
    const std::uint32_t rate = DacRate(m.codec);
    const std::uint32_t left = FramesLeft(c);
    std::uint64_t due = std::max(1u, rate / 1000);
    if (m.config.clock == ClockKind::Real && untilNs > now) {
        due = std::max(due, (untilNs - now) * rate / 1000000000u);
    }
    const auto slice = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, due));
    const std::uint32_t bus = c.blockBus + c.offset;
    const std::size_t size = std::size_t{slice} * kFrameBytes;
    const std::uint8_t* bytes = BusToHost(m.memory, bus, static_cast<std::uint32_t>(size));
    if (bytes == nullptr) {
        FetchFailed(m, "audio data", bus);
        return;
    }
    if (m.fetched.size() < size) {
        m.fetched.resize(size); // grows to the longest slice once, not zeroed per slice
    }
    BusMasterRead(m.fetched.data(), bytes, size);
    CodecPlay(m, m.fetched.data(), size, now);
    c.offset += slice * kFrameBytes;
    c.nextTickNs = now + Duration(c, slice, rate);
}

} // namespace

std::uint8_t ChannelRead8(Machine& m, std::uint32_t offset) {
    switch (offset) {
    case vt8231::kSgdStatus:
        return StatusValue(m.channel);
    case vt8231::kSgdControl:
        return 0; // start and terminate are write-only triggers
    case vt8231::kSgdType:
        return m.channel.type;
    default:
        return 0xFF;
    }
}

void ChannelWrite8(Machine& m, std::uint32_t offset, std::uint8_t value) {
    switch (offset) {
    case vt8231::kSgdStatus:
        Acknowledge(m, value);
        break;
    case vt8231::kSgdControl:
        Control(m, value);
        break;
    case vt8231::kSgdType:
        m.channel.type = value;
        break;
    default:
        break;
    }
}

void ChannelWrite32(Machine& m, std::uint32_t offset, std::uint32_t value) {
    switch (offset) {
    case vt8231::kSgdStatus:
        // One store to the four byte registers. Type is in place before a
        // start, and a terminate comes before the status clear so a held
        // channel does not move on to its next block on the way to idle.
        m.channel.type = static_cast<std::uint8_t>(value >> vt8231::kSgdDwordTypeShift);
        Control(m, static_cast<std::uint8_t>(value >> vt8231::kSgdDwordControlShift));
        Acknowledge(m, static_cast<std::uint8_t>(value));
        break;
    case vt8231::kSgdTablePointer:
        m.channel.tablePointer = value;
        break;
    default:
        break;
    }
}

bool ChannelTick(Machine& m, std::uint64_t untilNs) {
    Channel& c = m.channel;
    const std::uint64_t now = c.nextTickNs;
    if (FramesLeft(c) > 0) {
        FetchSlice(m, untilNs);
        return false;
    }

    ++m.result.report.blocks;
    if (c.stale && !c.overrunCounted) {
        ++m.result.report.overruns;
    }
    c.playing = false;
    TraceAt(m, now, "block_end",
            {{"index", c.descriptor}, {"overrun", c.stale || c.overrunCounted}});
    std::uint8_t bits = 0;
    if ((c.blockFlags & vt8231::kSgdEntryFlag) != 0) {
        bits |= vt8231::kSgdStatusFlag;
    }
    if ((c.blockFlags & vt8231::kSgdEntryEol) != 0) {
        bits |= vt8231::kSgdStatusEol;
    }
    c.status |= bits;
    const bool raise =
        ((bits & vt8231::kSgdStatusFlag) != 0 && (c.type & vt8231::kSgdTypeIntFlag) != 0) ||
        ((bits & vt8231::kSgdStatusEol) != 0 && (c.type & vt8231::kSgdTypeIntEol) != 0);
    if ((bits & vt8231::kSgdStatusEol) != 0 && (c.type & vt8231::kSgdTypeAutoStart) == 0) {
        Stop(m, "eol");
    } else if (bits != 0) {
        // The VT82C686-family SGD engine holds after a FLAG or EOL block until
        // the driver clears the status bit.
        c.holdBits = bits;
        c.nextTickNs = kNever;
    } else {
        StartBlock(m, c.descriptor + 1, now);
    }
    if (raise) {
        Trace(m, "irq", {{"status", StatusValue(c)}});
    }
    return raise;
}

void FetchDueFrames(Machine& m, std::uint64_t untilNs) {
    Channel& c = m.channel;
    while (c.active && !Held(c) && FramesLeft(c) > 0 && c.nextTickNs <= untilNs) {
        FetchSlice(m, untilNs);
    }
}

std::uint64_t BlockEndNs(const Machine& m) {
    const Channel& c = m.channel;
    if (!c.active || Held(c) || c.nextTickNs == kNever || FramesLeft(c) == 0) {
        return c.active && !Held(c) ? c.nextTickNs : kNever;
    }
    // The slices' durations, remainders carried, add up to this whatever
    // their sizes.
    const std::uint32_t rate = DacRate(m.codec);
    return c.nextTickNs + (std::uint64_t{FramesLeft(c)} * 1000000000u + c.carryNs) / rate;
}

bool ChannelRunning(const Machine& m) {
    return m.channel.active && !Held(m.channel) && m.channel.nextTickNs != kNever;
}

} // namespace machine
