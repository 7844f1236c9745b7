// kestrel-machine's command line, read by a pure function so that every option
// and every way of getting one wrong can be tested without running a machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

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
    std::string livePcm = "default"; // the ALSA PCM that gets the line out
    std::string liveSpdifPcm;        // the ALSA PCM that gets the S/PDIF output, if any
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

// args are the program's arguments without its own name.
ParsedOptions ParseMachineOptions(const std::vector<std::string>& args);

// --help's text, made from the option table.
std::string MachineUsage();

} // namespace app
