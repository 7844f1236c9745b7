// What both programs do alike to run the machine in this process: its
// wiring to the terminal, the sound devices and the note about an AIFF file.
#pragma once

#include <memory>
#include <string>

#include "machine/machine.h"

namespace app {

// The player's output echoed on standard output, nothing kept in memory that
// a long run would grow, the host's SIGINT as the player's CTRL-C, and the
// machine's notes on standard error under the program's name.
void WireHost(machine::Config& config, const char* program);

enum class Output { LineOut, Spdif };

// Whether a build without ALSA says so when the PCM cannot be opened.
enum class NoAlsa { Quiet, Say };

// A machine output to play on an ALSA PCM. When the PCM does not open, one
// line on standard error says "WHO: cannot open ALSA PCM 'PCM': WHY; INSTEAD".
struct HostOutput {
    Output output;
    std::string pcm;
    std::string who;     // the program, and the option that named the PCM if one did
    std::string instead; // what the machine does without it
    NoAlsa noAlsa;
};

// nullptr when the PCM did not open. The S/PDIF output goes to an IEC958
// device that follows the codec's channel status.
std::unique_ptr<machine::AudioSink> OpenHostOutput(const HostOutput& output);

// Prints the note about an AIFF file the player will not play as its header
// describes, if there is one, under the program's name.
void NoteAiffLayout(const char* program, const std::string& path);

} // namespace app
