// What every test shares: input files, the scratch folder, runs on the
// machine, the trace, and the built programs run as a user runs them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"

namespace harness {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

// A path in this process's scratch folder, which goes when the process ends.
std::string ScratchPath(const std::string& name);
// Writes bytes to a scratch file; returns its path.
std::string WriteFile(const std::string& name, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

// The words of a command line split at spaces.
Strings Words(const std::string& line);

// A counting byte pattern that never repeats within a buffer.
Bytes Pattern(std::size_t length, std::uint8_t seed = 0);
Bytes Concat(const std::vector<Bytes>& parts);
// The first n bytes, or all when there are fewer.
Bytes Head(const Bytes& bytes, std::size_t n);
// Cut or padded with zeros to n bytes.
Bytes Padded(Bytes bytes, std::size_t n);
// Where got first differs from want, for a failure to name; "" when equal.
std::string Mismatch(const Bytes& got, const Bytes& want);
// The 10-byte big-endian 80-bit extended form of an exactly representable value.
Bytes Extended(double value);
// An AIFF file with the common chunk first: the rate at 28, the samples at 54.
Bytes Aiff(double rate, const Bytes& sound);
// An AC-3 frame with the given sync information, a counting pattern after it.
Bytes Ac3Frame(unsigned fscod, unsigned frmsizecod, std::size_t length, std::uint8_t seed = 0);
// The IEC 61937 preamble of an AC-3 burst as the controller reads it: Pa, Pb,
// Pc, Pd as little-endian words.
Bytes BurstPreamble(std::uint32_t frameLength);

// Runs body as the main task of a machine.
machine::Result OnMachine(const std::function<void()>& body, machine::Config config = {});

// The events of the given kinds, in order.
using Kinds = std::initializer_list<std::string_view>;
std::vector<machine::TraceEvent> Events(const machine::Result& result, Kinds kinds);
// The same as compact lines for comparing sequences: "codec_write 2a=0000",
// "io_write8 @01=80", and any other event with its fields in order:
// "barrier", "alloc 12320 65536 ok", "signal_free 31", "set_signal 0 80001000".
Strings Summary(const machine::Result& result, Kinds kinds);
// The same as one string, the lines separated by ", ".
std::string Log(const machine::Result& result, Kinds kinds);

// A built program run as a process; a cross build runs it through its emulator.
struct Process {
    // Exit status; 128 + N when signal N ended it.
    int status = -1;
    std::string out, err;
};
struct ProcessOptions {
    // NAME=VALUE added to the environment.
    Strings env;
    // Sends `signal` once standard output holds this.
    std::string signalAfterOutput;
    int signal = 2;
    // Seconds from the output to the signal.
    std::string signalDelay = "0";
};
// The first word, the program, is "kestrel" or "kestrel-machine", or a host
// tool found on PATH.
// The programs see an ALSA configuration of sound-card-free PCMs: "default" and
// "named" write what they play to ScratchPath("played.raw"); "spdif" is an
// IEC958 device taking AES0-AES3, writing IEC958 subframes to
// ScratchPath("subframes.raw").
Process RunProgram(const Strings& words, const ProcessOptions& options = {});

// A 16-bit stereo PCM WAV file whose header agrees with its size.
struct Wav {
    // Empty when valid.
    std::string error;
    std::uint32_t rate = 0;
    Bytes data;
};
Wav ParseWav(const Bytes& file);

} // namespace harness
