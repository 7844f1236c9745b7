// What the host can tell a user about the file the player is given, which
// the player itself never says.
#pragma once

#include <string>

namespace app {

// For an AIFF file that the player will not play as its header describes
// (the common chunk not right after the 12-byte FORM header, or other than
// 16-bit stereo): one line saying what it will play instead and how to
// convert the file. Empty for any other file, and for anything but a regular
// file: a pipe's bytes are read once, by the player.
std::string AiffLayoutNote(const std::string& path);

// How long the player will play the file, in seconds, as the player will
// take it: an AIFF file at the rate in its header, an accepted AC-3 stream
// as one 32 ms burst a frame, anything else as 48 kHz 16-bit stereo. 0 when
// it cannot be read or is not a regular file.
double EstimatedSeconds(const std::string& path);

} // namespace app
