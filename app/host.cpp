#include "app/host.h"

#include <cstdio>

#include <unistd.h>

#include "app/alsa_sink.h"
#include "app/file_notes.h"

namespace app {

void WireHost(machine::Config& config, const char* program) {
    config.echoOutput = true;
    config.captureAudio = false;
    config.keepTrace = false; // streamed to its file, if any: memory stays flat
    config.hostSigint = true;
    config.hostNote = [program](const std::string& line) {
        std::fprintf(stderr, "%s: %s\n", program, line.c_str());
    };
    config.userAtTerminal = isatty(STDIN_FILENO) != 0;
}

std::unique_ptr<machine::AudioSink> OpenHostOutput(const HostOutput& output) {
    std::string why = output.noAlsa == NoAlsa::Say ? "this build has no ALSA" : "";
    std::unique_ptr<machine::AudioSink> sink = output.output == Output::LineOut
                                                   ? OpenAlsaSink(output.pcm, &why)
                                                   : OpenIec958Sink(output.pcm, output.who, &why);
    if (!sink && !why.empty()) {
        std::fprintf(stderr, "%s: cannot open ALSA PCM '%s': %s; %s\n", output.who.c_str(),
                     output.pcm.c_str(), why.c_str(), output.instead.c_str());
    }
    return sink;
}

void NoteAiffLayout(const char* program, const std::string& path) {
    const std::string note = AiffLayoutNote(path);
    if (!note.empty()) {
        std::fprintf(stderr, "%s: %s\n", program, note.c_str());
    }
}

} // namespace app
