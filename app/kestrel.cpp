// kestrel FILE: the player on the default machine, in real time, heard on the
// host's sound device when there is one and silent at the same pace when not.
// CTRL-C in the terminal is the player's CTRL-C.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/host.h"
#include "app/outcome.h"
#include "frontend/entry.h"
#include "machine/machine.h"

namespace {

constexpr char kProgram[] = "kestrel";

} // namespace

int main(int argc, char** argv) {
    machine::Config config;
    config.clock = machine::ClockKind::Real;
    config.speed = 1.0;
    app::WireHost(config, kProgram);
    // Opened only for a command line the player will act on, so that the
    // usage line does not wait for a sound card.
    std::unique_ptr<machine::AudioSink> speakers, receiver;
    std::unique_ptr<app::TimelineFile> timeline;
    if (argc == 2) {
        // The command line is the player's: the host's settings come from the environment.
        const char* pcm = std::getenv("KESTREL_PCM");
        speakers = app::OpenHostOutput({.output = app::Output::LineOut,
                                        .pcm = pcm != nullptr && *pcm != '\0' ? pcm : "default",
                                        .who = kProgram,
                                        .instead = "playing silently",
                                        .noAlsa = app::NoAlsa::Quiet});
        const char* spdif = std::getenv("KESTREL_SPDIF_PCM");
        if (spdif != nullptr && *spdif != '\0') {
            receiver = app::OpenHostOutput({.output = app::Output::Spdif,
                                            .pcm = spdif,
                                            .who = kProgram,
                                            .instead = "sending nothing over S/PDIF",
                                            .noAlsa = app::NoAlsa::Say});
        }
        const char* timelinePath = std::getenv("KESTREL_TIMELINE");
        if (timelinePath != nullptr && *timelinePath != '\0') {
            std::string why;
            timeline = app::StartTimelineFile(timelinePath, config, &why);
            if (!timeline) {
                std::fprintf(stderr,
                             "kestrel: KESTREL_TIMELINE: cannot create '%s': %s; playing without "
                             "a timeline\n",
                             timelinePath, why.c_str());
            }
        }
        app::NoteAiffLayout(kProgram, argv[1]);
    }
    config.dacSink = speakers.get();
    config.spdifSink = receiver.get();

    const std::vector<std::string> args(argv, argv + argc);
    const machine::Result result = machine::Run(config, PlayerMain, args);
    for (machine::AudioSink* sink : {speakers.get(), receiver.get()}) {
        if (sink != nullptr) {
            sink->Finish();
        }
    }
    if (timeline && !app::EndTimelineFile(*timeline)) {
        std::fputs("kestrel: writing the timeline failed\n", stderr);
    }
    for (const std::string& violation : result.violations) {
        std::fprintf(stderr, "%s: machine violation: %s\n", kProgram, violation.c_str());
    }
    // A violation outranks the player's code, as in kestrel-machine.
    return app::ExitStatus(result);
}
