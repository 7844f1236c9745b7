// What both programs do alike to run the machine in this process: its
// wiring to the terminal, the sound devices and the note on the file.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/device_feed.h"
#include "app/file_notes.h"
#include "machine/machine.h"

namespace app {

// The player's output echoed on standard output, nothing kept in memory that
// a long run would grow, the host's SIGINT as the player's CTRL-C, and the
// machine's notes on standard error under the program's name. A file size
// limit makes a write fail with EFBIG, for the program to report, rather
// than end the process.
void WireHost(machine::Config& config, const char* program);

enum class Output { LineOut, Spdif };

// Whether a build without ALSA says so when the PCM cannot be opened.
enum class NoAlsa { Quiet, Say };

// A machine output to play on an ALSA PCM, or on a simulated device. When the
// device does not open, one line "WHO: cannot open ALSA PCM 'PCM': WHY;
// INSTEAD" goes to `say`, or to standard error when there is none.
struct HostOutput {
    Output output;
    std::string pcm;
    std::string who;     // the program, and the option that named the PCM if one did
    std::string instead; // what the machine does without it
    NoAlsa noAlsa;
    std::function<void(const std::string&)> say{};
    std::optional<SimulatedCrystal> simulated{};
};

// The device is opened on its feed's thread when the first audio is due, so
// that a run that never plays never waits for, or speaks of, a sound device.
// The S/PDIF output goes to an IEC958 device that follows the codec's channel
// status.
std::unique_ptr<DeviceFeed> OpenHostOutput(const HostOutput& output);

// Whether the player's Open of path will succeed: the file opens for reading
// and is not a directory. Nothing is read, so a pipe loses nothing. The
// programs create their outputs only when it does, so a run that cannot
// start leaves no file behind.
bool InputOpens(const std::string& path);

// Prints the note on the file the player is given, if there is one, under
// the program's name; returns it for the length it gives. What it took from
// a pipe goes to config.peeked.
FileNote NoteFile(const char* program, const std::string& path, machine::Config& config);

} // namespace app
