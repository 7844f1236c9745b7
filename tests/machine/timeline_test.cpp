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
using machine::ClockKind;

// One event of the timeline as jq reads it back. Its track is a counter's
// name, "global" for an instant across all, else its thread (the process's
// name: thread 0). Its kind is its phase and thread (metadata: its name), and
// after that the name of a task's span, "overrun" for an overrun's block, or
// "g" for an instant across all tracks.
struct Event {
    std::string track, kind, arg; // a counter's value, a Wait's signals received
    long long ts = 0, dur = 0;
};

std::vector<Event> Parsed(const std::string& text) {
    const Process jq = RunProgram(
        {"jq", "-r",
         R"(.[] | [if .ph == "C" then .name elif .s == "g" then "global" else .tid end, .ph + )"
         R"(if .ph == "M" then .name else (.tid | tostring) + if )"
         R"(.ph == "X" and .tid == 3 then .name elif (.name | startswith("overrun:")) then )"
         R"("overrun" elif .s == "g" then "g" else "" end end, .args.ms // .args.received )"
         R"(// 0, .ts // 0, .dur // 0] | @tsv)",
         WriteFile("timeline.json", Bytes(text.begin(), text.end()))});
    EXPECT_EQ(jq.status, 0) << jq.err;
    std::vector<Event> events;
    std::istringstream lines(jq.out);
    for (Event e; std::getline(lines, e.track, '\t') && std::getline(lines, e.kind, '\t') &&
                  std::getline(lines, e.arg, '\t') && lines >> e.ts >> e.dur;
         lines.ignore()) {
        events.push_back(e);
    }
    return events;
}

// The timeline parses whole and cut short, nests by track, and counts what
// the run did, on either clock.
TEST(Timeline, ParsesNestsAndCounts) {
    const Bytes ac3 = Concat({Ac3Frame(0, 24, 0x400, 1), Ac3Frame(0, 24, 0x400, 2)});
    const std::tuple<const char*, Bytes, machine::Config> rows[] = {
        {"aiff", Aiff(48000, Pattern(8 * 6144)), {}},
        {"ac3", Concat({ac3, ac3}), {}},
        {"slow read", Pattern(10 * 6144), {.slowReadMs = {{4, 60}}}},
        {"ctrl-c in a slow read",
         Pattern(20 * 6144),
         {.slowReadMs = {{4, 60}}, .breakAfterBlocks = 2}},
        {"hang", Pattern(6144), {.faults = {machine::Fault::IntServer}}},
    };
    std::set<std::string> traced;
    for (const ClockKind clock : {ClockKind::Virtual, ClockKind::Real}) {
        for (const auto& [name, file, rowConfig] : rows) {
            SCOPED_TRACE(std::string(name) + (clock == ClockKind::Real ? " real" : ""));
            std::string text;
            std::size_t writes = 0;
            machine::Timeline timeline;
            machine::StartTimeline(timeline, [&](std::string_view lines) {
                EXPECT_TRUE(lines.ends_with('\n')); // whole lines only
                text += lines;
                ++writes;
            });
            machine::Config config = rowConfig;
            config.clock = clock;
            config.speed = 4;
            config.report = true; // keeps the slack values for the median
            config.traceSink = [&](const machine::TraceEvent& e) {
                machine::AddToTimeline(timeline, e);
            };
            const std::string input = WriteFile("timeline.in", file);
            const machine::Result r = machine::Run(config, PlayerMain, {"kestrel", input});
            machine::FinishTimeline(timeline);
            for (const machine::TraceEvent& e : r.trace) {
                traced.insert(e.name);
            }

            // Cut after a line, as a killed run leaves it, it parses with "]" added.
            ASSERT_TRUE(text.ends_with("\n]\n"));
            const std::string cut = text.substr(0, text.find('\n', text.size() / 2) + 1) + "]";
            EXPECT_EQ(RunProgram({"jq", "-e", "length > 1",
                                  WriteFile("cut.json", {cut.begin(), cut.end()})})
                          .out,
                      "true\n");

            // Per track, in the file's order, no event ends before the one
            // before it; sorted by start, every span ends inside those it
            // starts in.
            std::map<std::string, std::vector<std::pair<long long, long long>>> spans;
            std::map<std::string, long long> lastEnd;
            std::map<std::string, std::size_t> count;
            std::vector<long long> slackUs;
            for (const Event& e : Parsed(text)) {
                EXPECT_GE(e.ts + e.dur, lastEnd[e.track]) << e.kind << " at " << e.ts;
                lastEnd[e.track] = e.ts + e.dur;
                spans[e.track].emplace_back(e.ts, -e.dur);
                ++count[e.kind];
                // A register's width: eight hex digits.
                EXPECT_TRUE(e.kind != "X3Wait" || e.arg.size() == 10) << e.arg;
                if (e.track == "refill slack") {
                    slackUs.push_back(std::llround(std::stod(e.arg) * 1000));
                }
            }
            for (auto& [track, starts] : spans) {
                std::sort(starts.begin(), starts.end());
                std::vector<long long> open; // ends of the spans enclosing this one
                for (const auto& [ts, minusDur] : starts) {
                    while (!open.empty() && open.back() <= ts) {
                        open.pop_back();
                    }
                    EXPECT_TRUE(open.empty() || ts - minusDur <= open.back()) << track << " " << ts;
                    open.push_back(ts - minusDur);
                }
            }
            const auto traceCount = [&](const char* kind) { return Events(r, {kind}).size(); };
            EXPECT_GT(traceCount("block"), 0u);
            EXPECT_EQ(count["X1"] + count["X1overrun"], traceCount("block"));
            EXPECT_EQ(traceCount("block_end"), r.report.blocks);
            EXPECT_EQ(count["X1overrun"], r.report.overruns);
            EXPECT_EQ(count["X2"], traceCount("irq"));
            EXPECT_EQ(count["i4"], traceCount("codec_write"));
            EXPECT_EQ(count["C1"], r.report.slackRefills + r.report.overruns);
            EXPECT_EQ(count["i0g"], traceCount("break") + traceCount("violation"));
            EXPECT_EQ(std::tuple(count["Mthread_name"], spans["0"].size(), count["X3setup"]),
                      std::tuple(4u, 1u, 1u));
            EXPECT_EQ(count["X3teardown"], traceCount("channel_stop"));
            EXPECT_NE(text.find("\"0x18 PCM Out Volume = 0x0808\""), std::string::npos);
            // An interrupt holds the status read and the bits acknowledged.
            EXPECT_EQ(text.find(R"("status":"0x81","acknowledged":"0x01")") != std::string::npos,
                      rowConfig.faults.empty());
            // Lines go out a buffer, or a quarter of a second of machine time, at a time.
            EXPECT_LE(writes, 2 + text.size() / machine::kTimelineFlushBytes +
                                  r.report.timeUs / machine::kTimelineFlushUs);
            // The report's slack figures are those the timeline draws; of an
            // even count, the median is the upper middle.
            std::sort(slackUs.begin(), slackUs.end());
            if (!slackUs.empty()) {
                EXPECT_EQ(slackUs.front(), r.report.slackMinUs);
                EXPECT_EQ(slackUs[slackUs.size() / 2], r.report.slackMedianUs);
                EXPECT_EQ(slackUs.back(), r.report.slackMaxUs);
            }
            // The Read outlasts a block.
            EXPECT_TRUE(count["X1overrun"] > 0 || rowConfig.slowReadMs.empty());
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
    // Slack as the timeline and the report write it: signed, three decimals.
    EXPECT_EQ(machine::Milliseconds(0) + " " + machine::Milliseconds(-1) + " " +
                  machine::Milliseconds(-31962),
              "0.000 -0.001 -31.962");
}

} // namespace
