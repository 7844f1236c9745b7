// Runs the whole player on an emulated machine.
#pragma once

#include <string>
#include <vector>

#include "machine/machine.h"
#include "support/files.h"
#include "support/trace.h"

namespace testing_support {

struct PlayerRun {
    machine::Result result;
    std::vector<TraceEvent> trace;
};

PlayerRun RunPlayerArgs(const std::vector<std::string>& argv, const machine::Config& config = {});
// Plays a file holding bytes.
PlayerRun RunPlayer(const Bytes& file, const machine::Config& config = {});

// What the player took and gave back, in order.
std::vector<std::string> Resources(const PlayerRun& run);

} // namespace testing_support
