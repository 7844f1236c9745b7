// Fuzzes everything that reads the input file: the whole player on the
// emulated machine, with the fuzzer's bytes as the file, and the host's note
// on the same bytes. Any violation the machine finds, a hang, or a return code
// other than a played file's is a finding, as is anything the sanitizers
// report.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "app/file_notes.h"
#include "frontend/entry.h"
#include "machine/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/kestrel-fuzz-" + std::to_string(::getpid()) + ".bin";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    const machine::Config config{.captureAudio = false, .keepTrace = false};
    const machine::Result r = machine::Run(config, PlayerMain, {"kestrel", path});
    std::remove(path.c_str());
    for (const bool spdif : {true, false}) {
        app::NoteFor(path, {data, std::min(size, app::kNoteReadSize)}, size,
                     machine::Config{.spdifOn = spdif, .vraOn = false});
    }
    for (const std::string& v : r.violations) {
        std::fprintf(stderr, "violation: %s\n", v.c_str());
    }
    if (!r.violations.empty() || r.hung || (r.returnCode != 0 && r.returnCode != 10)) {
        std::fprintf(stderr, "return code %d%s\n", r.returnCode, r.hung ? ", hung" : "");
        std::abort();
    }
    return 0;
}
