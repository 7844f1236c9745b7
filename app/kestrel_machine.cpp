// kestrel-machine [OPTION]... -- COMMAND [ARG]...
//
// Runs the player on a machine configured by options: clock, codec power-on
// state, faults, scripted CTRL-C, and captures of the DAC and S/PDIF streams
// and of the trace. Standard output is only what the player printed; the
// machine's own words go to standard error.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "app/file_notes.h"
#include "app/host.h"
#include "app/options.h"
#include "app/outcome.h"
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

// Rewrites one line on standard error a few times a second until the run
// ends, then clears it.
void ShowProgress(const std::atomic<bool>& running, double seconds) {
    while (running) {
        machine::Report report;
        if (machine::Progress(&report)) {
            std::fprintf(stderr, "\r\033[K%.1f s of %.1f s, %llu blocks, %llu overruns",
                         static_cast<double>(report.timeUs) / 1e6, seconds,
                         static_cast<unsigned long long>(report.blocks),
                         static_cast<unsigned long long>(report.overruns));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    std::fputs("\r\033[K", stderr);
}

int BadOption(const std::string& why) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", app::kMachineProgram, why.c_str(),
                 app::kMachineProgram);
    return app::kExitBadOption;
}

std::unique_ptr<app::WavSink> CreateWav(const char* option, const std::string& path,
                                        std::string* error) {
    if (path.empty()) {
        return nullptr;
    }
    std::string why;
    std::unique_ptr<app::WavSink> sink = app::WavSink::Create(path, &why);
    if (!sink) {
        *error = std::string(option) + "=" + why;
    }
    return sink;
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
        // From the player's own "$VER: name version (date)", as GNU tools
        // print theirs: "kestrel-machine (name) version (date)".
        const std::string tag = kVersionTag + 6;
        const std::size_t space = tag.find(' ');
        std::printf("%s (%s) %s\n", app::kMachineProgram, tag.substr(0, space).c_str(),
                    tag.substr(space + 1).c_str());
        return 0;
    }

    machine::Config config = options.config;
    app::WireHost(config, app::kMachineProgram);

    std::string error;
    std::unique_ptr<app::WavSink> dacWav = CreateWav("--dac-wav", options.dacWav, &error);
    std::unique_ptr<app::WavSink> spdifWav = CreateWav("--spdif-wav", options.spdifWav, &error);
    if (!error.empty()) {
        return BadOption(error);
    }
    std::ofstream trace;
    if (!options.trace.empty()) {
        trace.open(options.trace, std::ios::trunc);
        if (!trace) {
            return BadOption("--trace=" + options.trace + ": cannot create");
        }
        config.traceSink = [&trace](const machine::TraceEvent& event) {
            trace << machine::TraceJson(event) << '\n';
        };
    }
    std::unique_ptr<app::TimelineFile> timeline;
    if (!options.timeline.empty()) {
        std::string why;
        timeline = app::StartTimelineFile(options.timeline, config, &why);
        if (!timeline) {
            return BadOption("--timeline=" + options.timeline + ": cannot create");
        }
    }
    std::unique_ptr<machine::AudioSink> speakers, receiver;
    if (options.live) {
        speakers = app::OpenHostOutput({.output = app::Output::LineOut,
                                        .pcm = options.livePcm,
                                        .who = std::string(app::kMachineProgram) + ": --live",
                                        .instead = "playing silently",
                                        .noAlsa = app::NoAlsa::Say});
    }
    if (!options.liveSpdifPcm.empty()) {
        receiver = app::OpenHostOutput({.output = app::Output::Spdif,
                                        .pcm = options.liveSpdifPcm,
                                        .who = std::string(app::kMachineProgram) + ": --live-spdif",
                                        .instead = "sending nothing",
                                        .noAlsa = app::NoAlsa::Say});
    }
    std::unique_ptr<TeeSink> dacTee, spdifTee;
    config.dacSink = Both(dacTee, dacWav.get(), speakers.get());
    config.spdifSink = Both(spdifTee, spdifWav.get(), receiver.get());
    config.report = options.report;

    if (options.command.size() == 2) {
        app::NoteAiffLayout(app::kMachineProgram, options.command[1]);
    }
    // The status line: only for a person watching a terminal.
    std::atomic<bool> running{true};
    std::thread progress;
    if (!options.quiet && isatty(STDERR_FILENO) != 0 && options.command.size() == 2) {
        progress =
            std::thread(ShowProgress, std::ref(running), app::EstimatedSeconds(options.command[1]));
    }
    const machine::Result result = machine::Run(config, PlayerMain, options.command);
    running = false;
    if (progress.joinable()) {
        progress.join();
    }

    // The machine may already have finished the sinks; finishing again is harmless.
    for (machine::AudioSink* sink :
         {static_cast<machine::AudioSink*>(dacWav.get()),
          static_cast<machine::AudioSink*>(spdifWav.get()), speakers.get(), receiver.get()}) {
        if (sink != nullptr) {
            sink->Finish();
        }
    }
    trace.close();
    if (timeline && !app::EndTimelineFile(*timeline)) {
        std::fputs("kestrel-machine: writing the timeline failed\n", stderr);
    }
    for (const app::WavSink* wav : {dacWav.get(), spdifWav.get()}) {
        if (wav != nullptr && wav->failed()) {
            std::fprintf(stderr, "%s: writing a WAV capture failed\n", app::kMachineProgram);
        }
    }
    for (const std::string& violation : result.violations) {
        std::fprintf(stderr, "%s: violation: %s\n", app::kMachineProgram, violation.c_str());
    }
    if (options.report) {
        std::fprintf(stderr, "%s: %s\n", app::kMachineProgram,
                     app::ReportLine(result, config.clock == machine::ClockKind::Real).c_str());
    }
    return app::ExitStatus(result);
}
