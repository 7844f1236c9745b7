#include "machine/timeline.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "machine/ac97_registers.h"

namespace machine {

namespace {

enum Track : int { kDma = 1, kInterrupts = 2, kTask = 3, kCodec = 4 };

struct TrackName {
    Track tid;
    const char* name;
};

constexpr TrackName kTracks[] = {
    {kDma, "DMA channel"}, {kInterrupts, "Interrupts"}, {kTask, "Player task"}, {kCodec, "Codec"}};

std::string Hex(std::int64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

// One member of an "args" object.
std::string Num(const char* key, std::int64_t value) {
    return std::string("\"") + key + "\":" + std::to_string(value);
}
std::string Text(const char* key, std::string_view value) {
    return std::string("\"") + key + "\":\"" + JsonEscape(value) + "\"";
}

void Flush(Timeline& t) {
    if (!t.buffer.empty()) {
        t.write(t.buffer);
        t.buffer.clear();
    }
    t.flushedUs = t.lastUs;
}

void Emit(Timeline& t, const std::string& json) {
    t.buffer += t.lines++ == 0 ? '[' : ',';
    t.buffer += json;
    t.buffer += '\n';
    if (t.buffer.size() >= kTimelineFlushBytes || t.lastUs - t.flushedUs >= kTimelineFlushUs) {
        Flush(t);
    }
}

std::string Head(std::string_view name, const char* ph, int tid, std::uint64_t ts) {
    return "{\"name\":\"" + JsonEscape(name) + "\",\"ph\":\"" + ph +
           "\",\"pid\":1,\"tid\":" + std::to_string(tid) + ",\"ts\":" + std::to_string(ts);
}

void Span(Timeline& t, Track track, std::string_view name, std::uint64_t fromUs, std::uint64_t toUs,
          const std::string& args, const char* color = nullptr) {
    std::string json = Head(name, "X", track, fromUs) +
                       ",\"dur\":" + std::to_string(toUs > fromUs ? toUs - fromUs : 0);
    if (color != nullptr) {
        json += std::string(",\"cname\":\"") + color + "\"";
    }
    Emit(t, json + ",\"args\":{" + args + "}}");
}

// An instant on a track, or across them all (track 0).
void Instant(Timeline& t, int track, std::string_view name, std::uint64_t ts,
             const std::string& args) {
    Emit(t, Head(name, "i", track, ts) + ",\"s\":\"" + (track == 0 ? "g" : "t") + "\",\"args\":{" +
                args + "}}");
}

void Counter(Timeline& t, const char* name, std::uint64_t ts, const std::string& value) {
    Emit(t, Head(name, "C", kDma, ts) + ",\"args\":{" + value + "}}");
}

void Metadata(Timeline& t, const char* name, int tid, const std::string& args) {
    Emit(t, "{\"name\":\"" + std::string(name) + "\",\"ph\":\"M\",\"pid\":1,\"tid\":" +
                std::to_string(tid) + ",\"args\":{" + args + "}}");
}

void CloseBlock(Timeline& t, std::uint64_t toUs, const char* outcome, bool overrun) {
    if (!t.blockOpen) {
        return;
    }
    t.blockOpen = false;
    const std::string name = "buffer " + std::to_string(t.blockIndex);
    const std::string args = Num("index", t.blockIndex) + "," + Text("bus", Hex(t.blockBus, 8)) +
                             "," + Num("bytes", t.blockBytes) + "," + Text("refill", outcome);
    Span(t, kDma, overrun ? "overrun: " + name : name, t.blockStartUs, toUs, args,
         overrun ? "terrible" : nullptr);
}

void StartBlock(Timeline& t, const TraceEvent& e) {
    CloseBlock(t, e.timeUs, "restarted", false);
    if (!t.setupDone) {
        t.setupDone = true;
        Span(t, kTask, "setup", t.firstUs, e.timeUs, "");
    }
    t.stopped = false;
    t.blockOpen = true;
    t.blockStartUs = e.timeUs;
    t.blockIndex = e.Number("index");
    t.blockBus = e.Number("buffer");
    t.blockBytes = e.Number("bytes");
}

// Anything the task does ends the refill before it: the Read and the work on
// its data. With no work after the Read, the Read alone says it all (and a
// span of the same extent would leave viewers to guess which one is inside).
// A task step under way when the channel stopped moves the teardown's start
// to its end.
void TaskStep(Timeline& t, std::uint64_t startUs, std::uint64_t endUs) {
    if (t.refillOpen) {
        t.refillOpen = false;
        if (startUs > t.refillReadEndUs) {
            Span(t, kTask, "refill", t.refillUs, startUs, "");
        }
    }
    if (t.stopped && startUs < t.teardownUs) {
        t.teardownUs = std::max(t.teardownUs, endUs);
    }
}

const char* StatusName(std::int64_t status) {
    switch (status & 3) {
    case 1:
        return "interrupt (FLAG)";
    case 2:
        return "interrupt (EOL)";
    case 3:
        return "interrupt (FLAG+EOL)";
    default:
        return "interrupt";
    }
}

} // namespace

std::string Milliseconds(std::int64_t us) {
    const std::uint64_t magnitude = us < 0 ? 0 - static_cast<std::uint64_t>(us) : us;
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%03llu", us < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 1000),
                  static_cast<unsigned long long>(magnitude % 1000));
    return text;
}

void StartTimeline(Timeline& t, std::function<void(std::string_view)> write) {
    t = Timeline{};
    t.write = std::move(write);
    Metadata(t, "process_name", 0, Text("name", "kestrel"));
    for (const TrackName& track : kTracks) {
        Metadata(t, "thread_name", track.tid, Text("name", track.name));
        Metadata(t, "thread_sort_index", track.tid, Num("sort_index", track.tid));
    }
}

void AddToTimeline(Timeline& t, const TraceEvent& e) {
    const std::string_view name = e.name;
    const std::uint64_t now = e.timeUs;
    if (!t.seenEvent) {
        t.seenEvent = true;
        t.firstUs = now;
    }
    t.lastUs = std::max(t.lastUs, now);
    const std::int64_t sinceField = e.Number("since");
    const std::uint64_t since = sinceField >= 0 ? static_cast<std::uint64_t>(sinceField) : now;
    if (!e.interrupt) {
        TaskStep(t, since, now);
    }
    if (name == "block") {
        StartBlock(t, e);
    } else if (name == "block_end" || name == "channel_stop") {
        const bool overrun = e.Number("overrun") == 1;
        CloseBlock(t, now,
                   overrun               ? "overrun"
                   : name == "block_end" ? "in time"
                                         : "stopped",
                   overrun);
        if (overrun) {
            Counter(t, "overruns", now, Num("count", static_cast<std::int64_t>(++t.overruns)));
        }
        if (name == "channel_stop") {
            t.stopped = true;
            t.teardownUs = now;
        }
    } else if (name == "irq") {
        t.irqOpen = true;
        t.irqUs = now;
        t.irqStatus = e.Number("status");
    } else if (name == "irq_done" && t.irqOpen) {
        t.irqOpen = false;
        Span(t, kInterrupts, StatusName(t.irqStatus), t.irqUs, now,
             Text("status", Hex(t.irqStatus, 2)) + "," +
                 Text("acknowledged", Hex(e.Number("acked"), 2)));
    } else if (name == "wait") {
        Span(t, kTask, "Wait", since, now,
             Text("mask", Hex(e.Number("mask"), 8)) + "," +
                 Text("received", Hex(e.Number("received"), 8)));
    } else if (name == "file_read") {
        const std::int64_t bus = e.Number("bus");
        Span(t, kTask, "Read", since, now,
             Num("requested", e.Number("requested")) + "," + Num("count", e.Number("count")) + "," +
                 Text("bus", Hex(bus, 8)));
        if (bus > 0) {
            t.refillOpen = true;
            t.refillUs = since;
            t.refillReadEndUs = now;
        }
    } else if (name == "refill_slack") {
        Counter(t, "refill slack", now, "\"ms\":" + Milliseconds(e.Number("slack")));
    } else if (name == "delay") {
        Span(t, kTask, "Delay", since, now, Num("ticks", e.Number("ticks")));
    } else if (name == "codec_write") {
        const std::int64_t reg = e.Number("reg");
        const char* regName = ac97::RegisterName(static_cast<std::uint32_t>(reg));
        Instant(t, kCodec,
                Hex(reg, 2) + (regName != nullptr ? std::string(" ") + regName : "") + " = " +
                    Hex(e.Number("value"), 4),
                now, "");
    } else if (name == "break") {
        Instant(t, 0, "CTRL-C", now, "");
    } else if (name == "violation") {
        Instant(t, 0, "violation", now, Text("what", e.Text("what")));
    }
}

void FinishTimeline(Timeline& t) {
    if (t.finished) {
        return;
    }
    t.finished = true;
    const std::uint64_t end = t.lastUs;
    CloseBlock(t, end, "run ended", false);
    if (t.irqOpen) {
        Span(t, kInterrupts, StatusName(t.irqStatus), t.irqUs, end,
             Text("status", Hex(t.irqStatus, 2)));
    }
    TaskStep(t, end, end);
    if (t.stopped) {
        Span(t, kTask, "teardown", t.teardownUs, end, "");
    }
    t.buffer += t.lines == 0 ? "[]\n" : "]\n";
    Flush(t);
}

} // namespace machine
