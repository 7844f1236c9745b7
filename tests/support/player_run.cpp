#include "support/player_run.h"

#include "frontend/entry.h"

namespace testing_support {

PlayerRun RunPlayerArgs(const std::vector<std::string>& argv, const machine::Config& config) {
    PlayerRun run;
    run.result = machine::Run(config, PlayerMain, argv);
    run.trace = ParseTrace(run.result.trace);
    return run;
}

PlayerRun RunPlayer(const Bytes& file, const machine::Config& config) {
    const std::string path = WriteTempFile("input.bin", file);
    return RunPlayerArgs({"kestrel", path}, config);
}

std::vector<std::string> Resources(const PlayerRun& run) {
    return Summary(run.trace, {"library_open", "library_close", "alloc", "free", "pci_config_write",
                               "int_server_add", "int_server_remove", "file_open", "file_close",
                               "signal_alloc", "signal_free"});
}

} // namespace testing_support
