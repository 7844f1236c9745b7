#include "app/host.h"

#include <csignal>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/alsa_sink.h"

namespace app {

namespace {

class LazyHostSink : public machine::AudioSink {
public:
    explicit LazyHostSink(HostOutput output) : output_(std::move(output)) {}

    void Write(const machine::AudioChunk& chunk) override {
        if (!opened_) {
            opened_ = true;
            Open();
        }
        if (sink_) {
            sink_->Write(chunk);
        }
    }

    void Finish() override {
        if (sink_) {
            sink_->Finish();
        }
    }

private:
    void Open() {
        const HostOutput& o = output_;
        std::string why = o.noAlsa == NoAlsa::Say ? "this build has no ALSA" : "";
        sink_ = o.output == Output::LineOut ? OpenAlsaSink(o.pcm, &why)
                                            : OpenIec958Sink(o.pcm, o.who, &why);
        if (sink_ || why.empty()) {
            return;
        }
        const std::string line =
            o.who + ": cannot open ALSA PCM '" + o.pcm + "': " + why + "; " + o.instead;
        if (o.say) {
            o.say(line);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }

    HostOutput output_;
    std::unique_ptr<machine::AudioSink> sink_;
    bool opened_ = false;
};

} // namespace

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

std::unique_ptr<machine::AudioSink> OpenHostOutput(const HostOutput& output) {
    return std::make_unique<LazyHostSink>(output);
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
