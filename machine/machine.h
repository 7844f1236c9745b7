// The emulated computer: exec, dos, cybpci.library with the VT8231 audio
// function, ac97mixer.library with its codec, a clock, captures, a trace and
// the machine's checks. One machine per process: Run boots it, runs an entry
// routine on its main task, and returns what happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "machine/trace.h"

namespace machine {

// A machine time that never comes.
inline constexpr std::uint64_t kNever = ~std::uint64_t{0};
// The latest machine time a clock represents, in ns: about 146 years. A
// break or an event beyond it never comes.
inline constexpr std::uint64_t kMaxMachineNs = std::uint64_t{1} << 62;

enum class ClockKind { Virtual, Real };

enum class Fault {
    MixerLibrary,    // ac97mixer.library missing
    MixerLibraryOld, // ac97mixer.library older than version 50
    Mixer,           // FindMixer finds nothing
    PciLibrary,      // cybpci.library missing
    Device,          // no VT8231 audio function on the bus
    Memory,          // AllocVec fails
    IntServer,       // AddPciIntServer fails
    IoWindow,        // the I/O base attribute reads 0
    Signal,          // no free signal bit
};

// The DAC stream and the S/PDIF output are frames of two 16-bit
// little-endian samples, left then right, as the channel fetches them.
inline constexpr std::uint32_t kFrameBytes = 4;

// What a sink is handed as the DAC or the S/PDIF transmitter plays.
struct AudioChunk {
    std::uint32_t rate;        // frames per second
    bool muted;                // DAC: bit 15 of PCM out volume
    bool nonAudio;             // S/PDIF: the /AUDIO bit of S/PDIF control
    std::uint64_t timeUs;      // machine time of the first frame
    const std::uint8_t* bytes; // 16-bit little-endian stereo frames
    std::size_t size;
    std::uint16_t spdifControl = 0; // S/PDIF: the codec's S/PDIF control register
};

// Where the machine's outputs go. Write is called with the machine unlocked,
// from the thread running the devices: a sink that blocks makes the devices
// late, so a live device keeps a queue and a thread of its own.
class AudioSink {
public:
    virtual ~AudioSink() = default;
    virtual void Write(const AudioChunk& chunk) = 0;
    // The run has ended; nothing more will be written.
    virtual void Finish() {}
};

// A live sound device, which has a crystal of its own: at speed 1 the real
// clock keeps the pace at which it plays the stream.
class DeviceClock {
public:
    virtual ~DeviceClock() = default;
    // The machine time (AudioChunk::timeUs, in ns) of the frame the device
    // plays now; kNever when it does not know, because it holds nothing it
    // has not played (it has no clock to speak of, or it is starved). Any
    // thread, with the machine locked: it may not block.
    virtual std::uint64_t PlayingNs() = 0;
};

// A stretch of a capture over which the stream's settings stayed the same.
struct Segment {
    std::size_t offset; // byte offset in Capture::bytes
    std::uint32_t rate;
    bool muted;
    bool nonAudio;
};

struct Capture {
    std::vector<std::uint8_t> bytes;
    std::vector<Segment> segments;
};

struct Config {
    ClockKind clock = ClockKind::Virtual;
    double speed = 1.0; // real clock only
    // Someone reads the report: account the main task's CPU time outside its
    // sleeps (real clock; two system calls a sleep), and keep every refill's
    // slack for the median.
    bool report = false;

    // Codec power-on state. The default machine has the S/PDIF transmitter and
    // variable-rate audio on; any register may be given another power-on value.
    bool spdifOn = true;
    bool vraOn = true;
    std::map<std::uint32_t, std::uint16_t> codecPowerOn{};

    std::set<Fault> faults{};
    int failReadAt = 0;                        // the n-th Read (from 1) fails
    std::map<int, std::uint32_t> slowReadMs{}; // n-th Read takes this much machine time
    long long breakAfterBlocks = -1;           // CTRL-C after this many block ends
    long long breakAtUs = -1;                  // CTRL-C at this machine time
    bool hostSigint = false;                   // SIGINT, SIGTERM and SIGHUP on the host are CTRL-C
    // Someone at a terminal can press CTRL-C: a Wait that only they can end
    // is waited out rather than reported as a hang.
    bool userAtTerminal = false;
    // A Wait that nothing has ended after the devices have run through this
    // much machine time, with no scripted break pending, is a hang.
    std::uint64_t hangTimeoutUs = 60'000'000;

    // Gets what the player prints, as it prints it (with the machine locked).
    std::function<void(const std::string&)> output{};
    bool captureAudio = true;                           // keep the DAC and S/PDIF streams in memory
    AudioSink* dacSink = nullptr;                       // not owned
    AudioSink* spdifSink = nullptr;                     // not owned
    DeviceClock* deviceClock = nullptr;                 // not owned; speed 1 only
    std::function<void(const TraceEvent&)> traceSink{}; // each event as it happens
    bool keepTrace = true; // also keep every event in Result::trace, for tests
    // Why the host refused the player a file: "NAME: reason", one line. The
    // player cannot say it; the program running the machine can.
    std::function<void(const std::string&)> hostNote{};
    // What the program read from a pipe before the run, to look at the file
    // it holds: a pipe gives each byte once, so dos's Reads of that pipe (the
    // same device and inode) hand these back first. The program keeps the
    // pipe open meanwhile, so its writer never finds it without a reader.
    struct Peeked {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::vector<std::uint8_t> bytes{};
    } peeked{};
};

struct Report {
    std::uint64_t blocks = 0; // blocks the channel played to their end
    std::uint64_t timeUs = 0; // machine time at the end of the run
    // Blocks that started before the Read into them landed: they played old
    // data again, or data that landed while they played.
    std::uint64_t overruns = 0;
    // Real clock: machine time the clock was held back because the host took
    // longer to run the devices than the time they covered (see clock.cpp).
    std::uint64_t hostHeldUs = 0;
    // With Config::report: CPU time of the main task's thread over the run
    // (real clock), and the part of it outside the machine's sleeps: what the
    // player itself ran.
    std::uint64_t taskThreadCpuUs = 0;
    std::uint64_t taskCpuUs = 0;
    // Refill slack: for each Read into DMA memory once the channel has
    // started (the first fill has no deadline but the player's own start),
    // the machine time the channel started the block it was meant for minus
    // the time it landed; below 0 exactly when that block was an overrun.
    // slackMinBlock is the number (from 1) of the block where the minimum
    // fell; the median needs Config::report.
    std::uint64_t slackRefills = 0;
    std::int64_t slackMinUs = 0;
    std::int64_t slackMedianUs = 0;
    std::int64_t slackMaxUs = 0;
    std::uint64_t slackMinBlock = 0;
};

struct Result {
    int returnCode = 0; // -1 when the machine ended the run (a hang)
    bool hung = false;
    std::string output; // everything the player printed
    std::vector<TraceEvent> trace;
    Capture dac;
    Capture spdif;
    std::vector<std::string> violations;
    Report report;
    // Codec register file after the run.
    std::map<std::uint32_t, std::uint16_t> codecRegisters;
    // PCI configuration space of the audio function after the run.
    std::vector<std::uint8_t> pciConfig;
};

using Entry = std::function<int(std::int32_t argc, char** argv)>;

// Boots a machine configured so, runs entry with argv on its main task, checks
// what the run left behind and returns it all. argv[0] is the command name.
Result Run(const Config& config, const Entry& entry, const std::vector<std::string>& argv);

// Machine time of the running machine, in microseconds. Only during Run.
std::uint64_t TimeUs();

// The report so far of the machine running now, from any thread; false when
// none is running.
bool Progress(Report* report);

// Sets bits of the playback channel's status register, as the device could
// present them to an interrupt server (several ends at once, a bit the driver
// does not own). ACTIVE still follows the channel. Only during Run.
void SetChannelStatusBits(std::uint8_t bits);

} // namespace machine
