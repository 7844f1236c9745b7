// The host's sound devices: an ALSA PCM, or a simulated device with a crystal
// of its own for tests of the pacing. Each is written to by one thread only,
// a DeviceFeed's, never by the thread that runs the machine's devices.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "machine/machine.h"

namespace app {

class HostDevice {
public:
    virtual ~HostDevice() = default;
    // Plays a chunk of 16-bit stereo frames at chunk.rate, waiting while the
    // device has no room for it; false when the device has failed, *why
    // saying how.
    virtual bool Play(const machine::AudioChunk& chunk, std::string* why) = 0;
    // Frames written that the device has not played yet; 0 when it cannot
    // tell (a device with no clock of its own, such as a file).
    virtual std::uint64_t Queued() = 0;
    // Plays out what it holds, then closes.
    virtual void Drain() = 0;
    // What the device has to say of its run, for a report; empty: nothing.
    virtual std::string Summary() const { return {}; }
};

// An ALSA PCM, S16_LE stereo at each chunk's rate. For the S/PDIF output
// (iec958) the channel status follows the codec's S/PDIF control: the PCM is
// opened with AES0-AES3 parameters, or, on a sound card, its "IEC958 Playback
// Default" control is set; where neither takes, the stream goes out as it is
// and `who` (the program and option) says so once on standard error.
// nullptr when the PCM does not open, *why saying why; or when the build has
// no ALSA, *why left as it was.
std::unique_ptr<HostDevice> OpenAlsaDevice(const std::string& pcm, bool iec958,
                                           const std::string& who, std::string* why);

// A simulated sound device's crystal: its rate against the stream's, and
// its stalls.
struct SimulatedCrystal {
    double factor = 1;
    double everyS = 0;
    double stallS = 0;
};

// A device whose crystal runs at `factor` of the stream's rate by the host's
// monotonic clock. It holds 500 ms and starts to play once it holds 100 ms;
// every `everyS` seconds of playing it stalls for `stallS` seconds (0:
// never). It counts the silence it played for want of frames before more
// came (underruns).
std::unique_ptr<HostDevice> OpenSimulatedDevice(double factor, double everyS, double stallS);

// AES0 to AES3 of the consumer channel status that S/PDIF control `control`
// (register 0x3A) makes the codec transmit.
std::array<std::uint8_t, 4> Iec958Status(std::uint16_t control);

// "NAME:AES0=0x02,AES1=0x00,AES2=0x00,AES3=0x02", or with ',' when NAME has
// arguments already.
std::string WithAesParameters(const std::string& pcm, const std::array<std::uint8_t, 4>& status);

} // namespace app
