// kestrel FILE: the player on the default machine, in real time, heard on the
// host's sound device when there is one and silent at the same pace when not.
// CTRL-C in the terminal is the player's CTRL-C.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/alsa_sink.h"
#include "app/file_notes.h"
#include "app/outcome.h"
#include "frontend/entry.h"
#include "machine/machine.h"

int main(int argc, char** argv) {
    machine::Config config;
    config.clock = machine::ClockKind::Real;
    config.speed = 1.0;
    config.echoOutput = true;
    config.captureAudio = false;
    config.keepTrace = false; // streamed to its file, if any: memory stays flat
    config.hostSigint = true;
    config.hostNote = [](const std::string& line) {
        std::fprintf(stderr, "%s: %s\n", "kestrel", line.c_str());
    };
    config.userAtTerminal = isatty(STDIN_FILENO) != 0;
    // Opened only for a command line the player will act on, so that the
    // usage line does not wait for a sound card.
    std::unique_ptr<machine::AudioSink> speakers, receiver;
    std::unique_ptr<app::TimelineFile> timeline;
    if (argc == 2) {
        // The command line is the player's: the host's settings come from the environment.
        const char* pcm = std::getenv("KESTREL_PCM");
        const std::string name = pcm != nullptr && *pcm != '\0' ? pcm : "default";
        std::string why;
        speakers = app::OpenAlsaSink(name, &why);
        if (!speakers && !why.empty()) {
            std::fprintf(stderr, "kestrel: cannot open ALSA PCM '%s': %s; playing silently\n",
                         name.c_str(), why.c_str());
        }
        const char* spdif = std::getenv("KESTREL_SPDIF_PCM");
        if (spdif != nullptr && *spdif != '\0') {
            why = "this build has no ALSA";
            receiver = app::OpenIec958Sink(spdif, "kestrel", &why);
            if (!receiver) {
                std::fprintf(stderr,
                             "kestrel: cannot open ALSA PCM '%s': %s; sending nothing over "
                             "S/PDIF\n",
                             spdif, why.c_str());
            }
        }
        const char* timelinePath = std::getenv("KESTREL_TIMELINE");
        if (timelinePath != nullptr && *timelinePath != '\0') {
            timeline = app::StartTimelineFile(timelinePath, config, &why);
            if (!timeline) {
                std::fprintf(stderr,
                             "kestrel: KESTREL_TIMELINE: cannot create '%s': %s; playing without "
                             "a timeline\n",
                             timelinePath, why.c_str());
            }
        }
        const std::string note = app::AiffLayoutNote(argv[1]);
        if (!note.empty()) {
            std::fprintf(stderr, "kestrel: %s\n", note.c_str());
        }
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
        std::fprintf(stderr, "kestrel: machine violation: %s\n", violation.c_str());
    }
    // A violation outranks the player's code, as in kestrel-machine.
    return app::ExitStatus(result);
}
