// Fuzzes header detection on its own, with the first refill of each buffer,
// and the host's note on the same file: faster than the whole player, so it
// reaches deeper into the headers. Any format outside what the refill can
// hold, a write beyond the buffers, or a violation is a finding.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "app/file_notes.h"
#include "input/detect.h"
#include "input/refill.h"
#include "machine/machine.h"
#include "state/player_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/kestrel-detect-fuzz-" + std::to_string(::getpid());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    // Exactly the two buffers, so that the sanitizer sees any byte beyond them.
    static auto* buffers = static_cast<std::uint8_t*>(std::malloc(2 * kTransferBufferSize));
    const machine::Config config{.captureAudio = false, .keepTrace = false};
    const auto detect = [](std::int32_t, char** argv) {
        ResetPlayerState();
        gPlayerState.bufferAddress[0] = reinterpret_cast<std::uintptr_t>(buffers);
        gPlayerState.bufferAddress[1] = gPlayerState.bufferAddress[0] + kTransferBufferSize;
        const BPTR file = Open(argv[1], MODE_OLDFILE);
        const InputFormat format = DetectInput(file);
        if (format.payloadOffset + format.frameLength > kTransferBufferSize ||
            format.readSize > kTransferBufferSize) {
            std::abort();
        }
        FillTransferBuffer(file, format, 0);
        FillTransferBuffer(file, format, 1);
        Close(file);
        return 0;
    };
    const machine::Result r = machine::Run(config, detect, {"detect", path});
    // The host's notes read the same bytes.
    for (const bool spdif : {true, false}) {
        app::NoteFor(path, {data, std::min(size, app::kNoteReadSize)}, size,
                     machine::Config{.spdifOn = spdif, .vraOn = false});
    }
    std::remove(path.c_str());
    if (!r.violations.empty()) {
        std::fprintf(stderr, "violation: %s\n", r.violations.front().c_str());
        std::abort();
    }
    return 0;
}
