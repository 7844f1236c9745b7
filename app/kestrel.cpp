// kestrel FILE: the player on the default machine, in real time, heard on the
// host's sound device when there is one and silent at the same pace when not.
// CTRL-C in the terminal is the player's CTRL-C. --help (-h) and --version are
// the host's; every other command line is the player's.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/help_text.h"
#include "app/host.h"
#include "app/options.h"
#include "app/outcome.h"
#include "app/output_file.h"
#include "app/status_line.h"
#include "app/timeline_file.h"
#include "frontend/entry.h"
#include "machine/machine.h"

namespace {

constexpr char kProgram[] = "kestrel";

// The host's settings come from the environment: the command line is the player's.
std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::fputs(app::KestrelUsage().c_str(), stdout);
        return 0;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::fputs(app::VersionText(kProgram).c_str(), stdout);
        return 0;
    }
    // The timeline may not be the file it plays: refused before anything
    // is written, and made only when the player can open its file.
    const std::string input = argc == 2 ? argv[1] : "";
    const std::string timelinePath = Environment("KESTREL_TIMELINE");
    const app::OutputPath outputs[] = {{"the player's input", input},
                                       {"KESTREL_TIMELINE", timelinePath}};
    if (const std::string clash = app::OutputClash(outputs); !clash.empty()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, clash.c_str());
        return app::kExitBadOption;
    }
    machine::Config config;
    config.clock = machine::ClockKind::Real;
    config.speed = 1.0;
    app::WireHost(config, kProgram);
    // On a terminal the progress line shares standard error: every line goes
    // through it.
    app::StatusLine status;
    const auto print = [&status](const std::string& line) { status.Print(stderr, line + "\n"); };
    const auto say = [&print](const std::string& line) {
        print(std::string(kProgram) + ": " + line);
    };
    config.hostNote = say;
    const std::string pcm = Environment("KESTREL_PCM");
    std::unique_ptr<app::DeviceFeed> speakers =
        app::OpenHostOutput({.output = app::Output::LineOut,
                             .pcm = pcm.empty() ? "default" : pcm,
                             .who = kProgram,
                             .instead = "playing silently",
                             .noAlsa = app::NoAlsa::Quiet,
                             .say = print});
    std::unique_ptr<app::DeviceFeed> receiver;
    if (const std::string spdif = Environment("KESTREL_SPDIF_PCM"); !spdif.empty()) {
        receiver = app::OpenHostOutput({.output = app::Output::Spdif,
                                        .pcm = spdif,
                                        .who = kProgram,
                                        .instead = "sending nothing over S/PDIF",
                                        .noAlsa = app::NoAlsa::Say,
                                        .say = print});
    }
    const double seconds = argc == 2 ? app::NoteFile(kProgram, argv[1], config).seconds : 0;
    config.dacSink = speakers.get();
    config.spdifSink = receiver.get();
    // The sound device keeps the time: the codec runs at its pace.
    config.deviceClock = speakers.get();
    std::unique_ptr<app::TimelineFile> timeline;
    if (!timelinePath.empty() && !input.empty() && app::InputOpens(input)) {
        timeline = app::StartTimelineFile(timelinePath, config, say);
    }

    const std::vector<std::string> args(argv, argv + argc);
    machine::Result result;
    {
        std::optional<app::Progress> progress;
        if (argc == 2) {
            progress.emplace(status, config, seconds);
        }
        result = machine::Run(config, PlayerMain, args);
    }
    speakers.reset(); // plays out, and closes the device
    receiver.reset();
    const bool outputFailed = timeline && !app::EndTimelineFile(*timeline);
    app::TellViolations(kProgram, result);
    // A violation outranks the player's code, as in kestrel-machine.
    return app::ExitStatus(result, outputFailed);
}
