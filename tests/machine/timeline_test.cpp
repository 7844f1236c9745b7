// The run as a timeline, on either clock: the file parses whole and when cut
// after any line, its spans nest on their own tracks, and it counts what the
// trace and the report count. And docs/trace.md names every event the machine
// traces, and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "frontend/entry.h"
#include "machine/timeline.h"
#include "support/harness.h"

namespace {

using namespace harness;

struct Row {
    const char* name;
    Bytes file;
    machine::Config config;
};

// One event of the timeline as jq reads it back.
struct Event {
    std::string ph, tid, scope, name, ms;
    long long ts = 0, dur = 0;
};

std::vector<Event> Parsed(const std::string& path) {
    const Process jq = RunProgram(
        {"jq", "-r", ".[] | [.ph, .tid, .s, .name, .args.ms, .ts, .dur] | map(. // 0) | @tsv",
         path});
    EXPECT_EQ(jq.status, 0) << jq.err;
    std::vector<Event> events;
    std::istringstream lines(jq.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Event e;
        for (std::string* text : {&e.ph, &e.tid, &e.scope, &e.name, &e.ms}) {
            std::getline(fields, *text, '\t');
        }
        fields >> e.ts >> e.dur;
        events.push_back(e);
    }
    return events;
}

TEST(Timeline, ParsesWholeOrCutNestsByTrackAndCountsWhatTheRunDid) {
    const Bytes ac3 = Concat({Ac3Frame(0, 24, 0x400, 1), Ac3Frame(0, 24, 0x400, 2)});
    const Row rows[] = {
        {.name = "aiff", .file = Aiff(48000, Pattern(8 * 6144)), .config = {}},
        {.name = "ac3", .file = Concat({ac3, ac3}), .config = {}},
        {.name = "slow read", .file = Pattern(10 * 6144), .config = {.slowReadMs = {{4, 60}}}},
        {.name = "ctrl-c in a slow read",
         .file = Pattern(20 * 6144),
         .config = {.slowReadMs = {{4, 60}}, .breakAfterBlocks = 2}},
        {.name = "hang", .file = Pattern(6144), .config = {.faults = {machine::Fault::IntServer}}},
    };
    std::set<std::string> traced;
    for (const machine::ClockKind clock : {machine::ClockKind::Virtual, machine::ClockKind::Real}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) +
                         (clock == machine::ClockKind::Real ? " real" : ""));
            std::string text;
            machine::Timeline timeline;
            machine::StartTimeline(timeline, [&](std::string_view lines) {
                EXPECT_TRUE(lines.ends_with('\n')); // whole lines only
                text += lines;
            });
            machine::Config config = row.config;
            config.clock = clock;
            config.speed = 4;
            config.traceSink = [&](const machine::TraceEvent& e) {
                machine::AddToTimeline(timeline, e);
            };
            const std::string input = WriteFile("timeline.in", row.file);
            const machine::Result r = machine::Run(config, PlayerMain, {"kestrel", input});
            machine::FinishTimeline(timeline);
            for (const machine::TraceEvent& e : r.trace) {
                traced.insert(e.name);
            }

            // Cut after a line, as a killed run leaves it, it parses with "]" added.
            const std::size_t lines = std::count(text.begin(), text.end(), '\n');
            std::string cuts;
            for (const std::size_t keep : {std::size_t{1}, lines / 2, lines - 1}) {
                std::size_t end = 0;
                for (std::size_t i = 0; i < keep; ++i) {
                    end = text.find('\n', end) + 1;
                }
                cuts += text.substr(0, end) + "]\n";
            }
            const Process cut =
                RunProgram({"jq", "-e", "length > 0",
                            WriteFile("cuts.json", Bytes(cuts.begin(), cuts.end()))});
            EXPECT_EQ(cut.out, "true\ntrue\ntrue\n") << cut.err;
            ASSERT_TRUE(text.ends_with("\n]\n"));

            // Per track, spans nest and ends never go back in the file's order.
            std::map<std::string, std::vector<Event>> tracks;
            std::map<std::string, long long> lastEnd;
            std::map<std::string, std::size_t> count;
            long long slackMinUs = 1LL << 62;
            for (const Event& e :
                 Parsed(WriteFile("timeline.json", Bytes(text.begin(), text.end())))) {
                const std::string track = e.ph == "C" ? e.name : e.scope == "g" ? "global" : e.tid;
                if (e.ph == "M") {
                    continue;
                }
                EXPECT_TRUE(e.ph == "X" || e.ph == "i" || e.ph == "C") << e.ph;
                EXPECT_GE(e.ts + e.dur, lastEnd[track]) << e.name << " at " << e.ts;
                lastEnd[track] = e.ts + e.dur;
                if (e.ph == "X") {
                    tracks[track].push_back(e);
                }
                ++count[e.ph + e.tid + (e.name.starts_with("overrun:") ? "overrun" : "")];
                if (e.name == "refill slack") {
                    slackMinUs = std::min(slackMinUs, std::llround(std::stod(e.ms) * 1000));
                }
            }
            for (auto& [track, spans] : tracks) {
                std::stable_sort(spans.begin(), spans.end(), [](const Event& a, const Event& b) {
                    return a.ts != b.ts ? a.ts < b.ts : a.dur > b.dur;
                });
                std::vector<long long> open; // ends of the spans enclosing this one
                for (const Event& s : spans) {
                    while (!open.empty() && open.back() <= s.ts) {
                        open.pop_back();
                    }
                    EXPECT_TRUE(open.empty() || s.ts + s.dur <= open.back())
                        << "track " << track << ": " << s.name << " at " << s.ts;
                    open.push_back(s.ts + s.dur);
                }
            }
            const auto traceCount = [&](const char* name) { return Events(r, {name}).size(); };
            EXPECT_EQ(count["X1"] + count["X1overrun"], traceCount("block"));
            EXPECT_EQ(traceCount("block_end"), r.report.blocks);
            EXPECT_EQ(count["X1overrun"], r.report.overruns);
            EXPECT_EQ(count["X2"], traceCount("irq"));
            EXPECT_EQ(count["i4"], traceCount("codec_write"));
            EXPECT_EQ(count["C1"], r.report.slackRefills + r.report.overruns);
            if (r.report.slackRefills > 0) {
                EXPECT_EQ(slackMinUs, r.report.slackMinUs);
            }
            if (!row.config.slowReadMs.empty()) {
                EXPECT_GT(count["X1overrun"], 0u); // the Read outlasts a block
            }
        }
    }

    // docs/trace.md: a line "- `event` ..." for each event, no more.
    std::ifstream doc(KESTREL_TRACE_DOC);
    std::set<std::string> documented;
    const std::regex item("^- `([a-z_0-9]+)`");
    for (std::string line; std::getline(doc, line);) {
        std::smatch match;
        if (std::regex_search(line, match, item)) {
            documented.insert(match[1]);
        }
    }
    EXPECT_EQ(documented, traced);
}

} // namespace
