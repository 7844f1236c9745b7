// kestrel-machine [OPTION]... -- COMMAND [ARG]...
//
// Runs the player on a machine configured by options: clock, codec power-on
// state, faults, scripted CTRL-C, and captures of the DAC and S/PDIF streams
// and of the trace. Standard output is only what the player printed; the
// machine's own words go to standard error. A capture or trace that cannot be
// written is named there at once, and the run ends with status 74.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/chaos.h"
#include "app/help_text.h"
#include "app/host.h"
#include "app/options.h"
#include "app/outcome.h"
#include "app/output_file.h"
#include "app/status_line.h"
#include "app/timeline_file.h"
#include "app/wav_sink.h"
#include "frontend/entry.h"
#include "machine/machine.h"

namespace {

// Hands each chunk to two sinks: the DAC stream goes to a file and the speakers.
class TeeSink : public machine::AudioSink {
public:
    TeeSink(machine::AudioSink* a, machine::AudioSink* b) : a_(a), b_(b) {}
    void Write(const machine::AudioChunk& chunk) override {
        a_->Write(chunk);
        b_->Write(chunk);
    }
    void Finish() override {
        a_->Finish();
        b_->Finish();
    }

private:
    machine::AudioSink* a_;
    machine::AudioSink* b_;
};

// a and b, either of which may be missing, as one sink.
machine::AudioSink* Both(std::unique_ptr<TeeSink>& tee, machine::AudioSink* a,
                         machine::AudioSink* b) {
    if (a == nullptr || b == nullptr) {
        return a != nullptr ? a : b;
    }
    tee = std::make_unique<TeeSink>(a, b);
    return tee.get();
}

int BadOption(const std::string& why) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", app::kMachineProgram, why.c_str(),
                 app::kMachineProgram);
    return app::kExitBadOption;
}

} // namespace

int main(int argc, char** argv) {
    const app::ParsedOptions parsed =
        app::ParseMachineOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        return BadOption(parsed.error);
    }
    const app::MachineOptions& options = *parsed.options;
    if (options.help) {
        std::fputs(app::MachineUsage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(app::VersionText(app::kMachineProgram).c_str(), stdout);
        return 0;
    }

    if (options.chaos) {
        app::StartChaos(options.chaosSeed);
    }
    machine::Config config = options.config;
    app::WireHost(config, app::kMachineProgram);
    app::StatusLine status;
    const auto print = [&status](const std::string& line) { status.Print(stderr, line + "\n"); };
    const auto say = [&print](const std::string& line) {
        print(std::string(app::kMachineProgram) + ": " + line);
    };
    config.hostNote = say;

    // The outputs are created only when the player can open its file; one
    // that fails is named at once, and the run goes on without it.
    const bool starts = options.command.size() == 2 && app::InputOpens(options.command[1]);
    std::unique_ptr<app::WavSink> dacWav, spdifWav;
    if (starts && !options.dacWav.empty()) {
        dacWav = std::make_unique<app::WavSink>(options.dacWav, say);
    }
    if (starts && !options.spdifWav.empty()) {
        spdifWav = std::make_unique<app::WavSink>(options.spdifWav, say);
    }
    std::unique_ptr<app::OutputFile> trace;
    if (starts && !options.trace.empty()) {
        trace = std::make_unique<app::OutputFile>(options.trace, say);
        config.traceSink = [&trace](const machine::TraceEvent& event) {
            std::string line = machine::TraceJson(event);
            line += '\n';
            trace->Write(line.data(), line.size());
        };
    }
    std::unique_ptr<app::TimelineFile> timeline;
    if (starts && !options.timeline.empty()) {
        timeline = app::StartTimelineFile(options.timeline, config, say);
    }
    std::unique_ptr<app::DeviceFeed> speakers, receiver;
    if (options.live || options.liveSim) {
        speakers = app::OpenHostOutput({.output = app::Output::LineOut,
                                        .pcm = options.livePcm,
                                        .who = std::string(app::kMachineProgram) +
                                               (options.liveSim ? ": --live-sim" : ": --live"),
                                        .instead = "playing silently",
                                        .noAlsa = app::NoAlsa::Say,
                                        .say = print,
                                        .simulated = options.liveSim});
    }
    if (!options.liveSpdifPcm.empty()) {
        receiver = app::OpenHostOutput({.output = app::Output::Spdif,
                                        .pcm = options.liveSpdifPcm,
                                        .who = std::string(app::kMachineProgram) + ": --live-spdif",
                                        .instead = "sending nothing",
                                        .noAlsa = app::NoAlsa::Say,
                                        .say = print});
    }
    std::unique_ptr<TeeSink> dacTee, spdifTee;
    config.dacSink = Both(dacTee, dacWav.get(), speakers.get());
    config.spdifSink = Both(spdifTee, spdifWav.get(), receiver.get());
    // The line out's device keeps the time, else the S/PDIF output's.
    config.deviceClock = speakers ? speakers.get() : receiver.get();
    config.report = options.report;

    double seconds = 0;
    if (options.command.size() == 2) {
        seconds = app::NoteFile(app::kMachineProgram, options.command[1], config).seconds;
    }
    machine::Result result;
    {
        // The progress line: only for a person watching a terminal.
        std::optional<app::Progress> progress;
        if (!options.quiet && options.command.size() == 2) {
            progress.emplace(status, config, seconds);
        }
        result = machine::Run(config, PlayerMain, options.command);
    }

    // The machine may already have finished the sinks; finishing again is harmless.
    for (machine::AudioSink* sink : {static_cast<machine::AudioSink*>(dacWav.get()),
                                     static_cast<machine::AudioSink*>(spdifWav.get()),
                                     static_cast<machine::AudioSink*>(speakers.get()),
                                     static_cast<machine::AudioSink*>(receiver.get())}) {
        if (sink != nullptr) {
            sink->Finish();
        }
    }
    if (trace) {
        trace->Close();
    }
    const bool timelineFailed = timeline && !app::EndTimelineFile(*timeline);
    const bool outputFailed = (dacWav && dacWav->failed()) || (spdifWav && spdifWav->failed()) ||
                              (trace && trace->failed()) || timelineFailed;
    app::TellViolations(app::kMachineProgram, result);
    if (options.report) {
        std::fprintf(stderr, "%s: %s\n", app::kMachineProgram,
                     app::ReportLine(result, config.clock == machine::ClockKind::Real).c_str());
        for (const app::DeviceFeed* feed : {speakers.get(), receiver.get()}) {
            if (const std::string summary = feed != nullptr ? feed->Summary() : "";
                !summary.empty()) {
                std::fprintf(stderr, "%s: %s\n", app::kMachineProgram, summary.c_str());
            }
        }
    }
    return app::ExitStatus(result, outputFailed);
}
