// The machine's trace as a timeline: Trace Event Format, JSON array form, as
// Perfetto's UI, chrome://tracing and speedscope open it. One process,
// "kestrel", with a track each for the DMA channel, the interrupt servers,
// the player task and the codec, and counters for the refill slack the
// machine reckons and for overruns.
// Timestamps are machine time in microseconds.
//
// Events go out as the trace comes in: the first line is "[" and the first
// event, every further line "," and one event, the last "]". Lines are written
// whole, a buffer at a time, so the file of a run killed midway parses once
// "]" is appended. The translator keeps only what is open (a block, an
// interrupt dispatch, a refill): its
// memory does not grow with the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "machine/trace.h"

namespace machine {

// Microseconds as milliseconds, exactly: "-1.250".
std::string Milliseconds(std::int64_t us);

struct Timeline {
    // Gets whole lines, a buffer at a time.
    std::function<void(std::string_view)> write;
    std::string buffer;
    std::size_t lines = 0;
    bool seenEvent = false;
    std::uint64_t firstUs = 0;
    std::uint64_t lastUs = 0;
    std::uint64_t flushedUs = 0; // lastUs when lines were last handed over

    // DMA channel: the block playing.
    bool blockOpen = false;
    std::uint64_t blockStartUs = 0;
    std::int64_t blockIndex = 0;
    std::int64_t blockBus = 0;
    std::int64_t blockBytes = 0;
    std::uint64_t overruns = 0;

    // Interrupts: the dispatch running.
    bool irqOpen = false;
    std::uint64_t irqUs = 0;
    std::int64_t irqStatus = 0;

    // Player task.
    bool refillOpen = false;
    std::uint64_t refillUs = 0;
    std::uint64_t refillReadEndUs = 0;
    bool setupDone = false;
    bool stopped = false; // the channel stopped: teardown from teardownUs
    std::uint64_t teardownUs = 0;

    bool finished = false;
};

// Lines are handed to `write` when this many bytes or this much machine time
// have gathered: a real-time run killed midway loses a moment of it at most.
inline constexpr std::size_t kTimelineFlushBytes = std::size_t{16} * 1024;
inline constexpr std::uint64_t kTimelineFlushUs = 250'000;

// A timeline that hands its lines to write; its track names are the first lines.
void StartTimeline(Timeline& t, std::function<void(std::string_view)> write);
// The next trace event, in the order the machine traced them.
void AddToTimeline(Timeline& t, const TraceEvent& event);
// Closes what is still open at the last event's time, ends the array and
// hands over the rest.
void FinishTimeline(Timeline& t);

} // namespace machine
