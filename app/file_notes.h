// What the host can tell a user about the file the player is given, which
// the player itself never says: that it will misplay the file, how, and how to
// convert the file so that it plays right; and how long it will play.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "machine/machine.h"

namespace app {

// How much of a file a note looks at: enough to find an AC-3 stream's first
// sync word behind whatever precedes it.
inline constexpr std::size_t kNoteReadSize = std::size_t{64} * 1024;
// How long a note waits for a pipe's writer to give that much.
inline constexpr std::chrono::milliseconds kPipeWait{500};

struct FileNote {
    // "PATH: what the file is; the player does this with it. Convert it with:
    // COMMAND", one line; empty when the player plays the file as it is.
    std::string text;
    std::uint32_t rate = 0; // the DAC's rate while the player plays the file, Hz
    double seconds = 0;     // how long the player plays it
};

// The note on a file of `size` bytes that starts with `head` (its first
// kNoteReadSize bytes, or all of a shorter file), played on a machine that
// config describes: its S/PDIF transmitter and variable-rate audio at power-on
// decide the rates the codec plays. path only names the file.
FileNote NoteFor(const std::string& path, std::span<const std::uint8_t> head, std::uint64_t size,
                 const machine::Config& config);

// The note on a file by name: a regular file, or a pipe, whose bytes the
// note takes go to config.peeked for the player's Reads, its descriptor left
// open for the process's life so its writer never finds it without a reader.
// Anything else, or a file that does not open, gets no note and a length of
// 0, as does a pipe that gave nothing yet.
FileNote NoteForFile(const std::string& path, machine::Config& config);

// path as one word of a POSIX shell, after "./" when it would read as an
// option: in single quotes, each ' as '\''; with a control character in it,
// on one line as "$(printf '...')" with each character escaped.
std::string ShellQuoted(const std::string& path);

} // namespace app
