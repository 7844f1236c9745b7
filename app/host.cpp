#include "app/host.h"

#include <csignal>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/host_device.h"

namespace app {

void WireHost(machine::Config& config, const char* program) {
    std::signal(SIGXFSZ, SIG_IGN);
    config.output = [](const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    };
    config.captureAudio = false;
    config.keepTrace = false; // streamed to its file, if any: memory stays flat
    config.hostSigint = true;
    config.hostNote = [program](const std::string& line) {
        std::fprintf(stderr, "%s: %s\n", program, line.c_str());
    };
    config.userAtTerminal = isatty(STDIN_FILENO) != 0;
}

std::unique_ptr<DeviceFeed> OpenHostOutput(const HostOutput& output) {
    DeviceFeed::Opener open = [output](std::string* why) {
        if (output.simulated) {
            const SimulatedCrystal& c = *output.simulated;
            return OpenSimulatedDevice(c.factor, c.everyS, c.stallS);
        }
        *why = output.noAlsa == NoAlsa::Say ? "this build has no ALSA" : "";
        return OpenAlsaDevice(output.pcm, output.output == Output::Spdif, output.who, why);
    };
    DeviceFeed::Say say = [who = output.who, to = output.say](const std::string& line) {
        if (to) {
            to(who + ": " + line);
        } else {
            std::fprintf(stderr, "%s: %s\n", who.c_str(), line.c_str());
        }
    };
    const std::string name =
        output.simulated ? "the simulated device" : "ALSA PCM '" + output.pcm + "'";
    return std::make_unique<DeviceFeed>(std::move(open), std::move(say), name, output.instead);
}

bool InputOpens(const std::string& path) {
    // Not blocking: a named pipe with no writer yet would hold the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool directory = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    close(fd);
    return !directory;
}

FileNote NoteFile(const char* program, const std::string& path, machine::Config& config) {
    FileNote note = NoteForFile(path, config);
    if (!note.text.empty()) {
        std::fprintf(stderr, "%s: %s\n", program, note.text.c_str());
    }
    return note;
}

} // namespace app
