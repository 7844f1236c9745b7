// kestrel-machine's command line, read by a function that runs no machine so
// that every option and every way of getting one wrong can be tested.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/host_device.h"
#include "machine/machine.h"

namespace app {

// The program's name, as its messages and --help give it.
inline constexpr char kMachineProgram[] = "kestrel-machine";

struct MachineOptions {
    machine::Config config; // everything but the sinks and the host wiring
    std::string dacWav;     // empty: no capture
    std::string spdifWav;
    std::string trace;
    std::string timeline; // Trace Event Format
    bool live = false;
    std::string livePcm = "default";         // the ALSA PCM that gets the line out
    std::string liveSpdifPcm;                // the ALSA PCM that gets the S/PDIF output, if any
    std::optional<SimulatedCrystal> liveSim; // the line out on a simulated device instead
    bool chaos = false;                      // random pauses at the machine's schedule points
    std::uint64_t chaosSeed = 0;
    bool report = false;
    bool quiet = false; // no progress line
    bool help = false;
    bool version = false;
    std::vector<std::string> command; // the player's argv, element 0 included
};

struct ParsedOptions {
    std::optional<MachineOptions> options;
    std::string error; // which argument and why, when options is empty
};

// args are the program's arguments without its own name. Two outputs named
// by paths that are one file are refused: it looks at the file system for that.
ParsedOptions ParseMachineOptions(const std::vector<std::string>& args);

// Each option as --help shows it, from the option table: "--clock=virtual|real"
// and what it does.
struct OptionHelp {
    std::string form;
    std::string help;
};
std::vector<OptionHelp> MachineOptionHelp();

} // namespace app
