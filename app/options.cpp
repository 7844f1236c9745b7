#include "app/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include <getopt.h>

#include "app/output_file.h"

namespace app {

namespace {

// Beyond these the real clock keeps no pace: a block would take days of wall
// time, or less than the host takes to wake.
constexpr double kMinSpeed = 0.01;
constexpr double kMaxSpeed = 1000;

struct FaultName {
    std::string_view name;
    machine::Fault fault;
};

constexpr FaultName kFaultNames[] = {
    {"mixer-library", machine::Fault::MixerLibrary},
    {"mixer-library-old", machine::Fault::MixerLibraryOld},
    {"mixer", machine::Fault::Mixer},
    {"pci-library", machine::Fault::PciLibrary},
    {"device", machine::Fault::Device},
    {"memory", machine::Fault::Memory},
    {"int-server", machine::Fault::IntServer},
    {"io-window", machine::Fault::IoWindow},
    {"signal", machine::Fault::Signal},
};

// Each fault's name followed by ", ", then last: for --help and for a refusal.
std::string FaultList(std::string_view last) {
    std::string list;
    for (const FaultName& f : kFaultNames) {
        list += std::string(f.name) + ", ";
    }
    return list + std::string(last);
}

std::string FailHelp() {
    return "make one thing fail: " + FaultList("or read:N (the N-th Read)");
}

// A whole unsigned decimal number within [min, max]; no sign, no spaces.
template <typename T>
bool ParseWhole(std::string_view text, T min, T max, T* out) {
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return false;
    }
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

// A number in [min, max], all of text.
bool ParseNumber(std::string_view text, double min, double max, double* out) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || !(value >= min) ||
        !(value <= max)) {
        return false;
    }
    *out = value;
    return true;
}

// "FACTOR" or "FACTOR:EVERY:STALL".
bool ParseCrystal(std::string_view text, SimulatedCrystal* out) {
    const std::size_t a = text.find(':');
    const std::size_t b = a == std::string_view::npos ? a : text.find(':', a + 1);
    if (a == std::string_view::npos) {
        return ParseNumber(text, 0.5, 2, &out->factor);
    }
    return b != std::string_view::npos && ParseNumber(text.substr(0, a), 0.5, 2, &out->factor) &&
           ParseNumber(text.substr(a + 1, b - a - 1), 0.1, 3600, &out->everyS) &&
           ParseNumber(text.substr(b + 1), 0, 60, &out->stallS);
}

bool ParseSwitch(std::string_view text, bool* out) {
    if (text == "on") {
        *out = true;
        return true;
    }
    if (text == "off") {
        *out = false;
        return true;
    }
    return false;
}

std::string Quoted(std::string_view text) {
    // Appended rather than "'" + string: GCC 12 warns falsely (-Wrestrict) on that at -O3.
    std::string quoted(1, '\'');
    quoted += text;
    quoted += '\'';
    return quoted;
}

// The command line as it is read: the options so far, and whether --speed
// was given (it needs --clock=real, wherever that comes).
struct Parsing {
    MachineOptions& o;
    bool speedGiven = false;
};

// Takes an option's value into p; returns why the value is refused, empty
// when it is good.
using Apply = std::string (*)(std::string_view value, Parsing& p);

template <bool MachineOptions::*field>
std::string Flag(std::string_view, Parsing& p) {
    p.o.*field = true;
    return {};
}

template <bool machine::Config::*field>
std::string Switch(std::string_view value, Parsing& p) {
    return ParseSwitch(value, &(p.o.config.*field)) ? "" : "expected 'on' or 'off'";
}

std::string Clock(std::string_view value, Parsing& p) {
    if (value != "virtual" && value != "real") {
        return "the clock is 'virtual' or 'real'";
    }
    p.o.config.clock = value == "real" ? machine::ClockKind::Real : machine::ClockKind::Virtual;
    return {};
}

std::string Speed(std::string_view value, Parsing& p) {
    if (!ParseNumber(value, kMinSpeed, kMaxSpeed, &p.o.config.speed)) {
        return "the speed is a number from 0.01 to 1000, the range the real clock keeps";
    }
    p.speedGiven = true;
    return {};
}

std::string Live(std::string_view value, Parsing& p) {
    p.o.live = true;
    p.o.livePcm = value.empty() ? "default" : std::string(value);
    return {};
}

std::string LiveSim(std::string_view value, Parsing& p) {
    SimulatedCrystal c;
    if (!ParseCrystal(value, &c)) {
        return "expected FACTOR or FACTOR:EVERY:STALL, a factor from 0.5 to 2 and seconds";
    }
    p.o.liveSim = c;
    return {};
}

std::string Fail(std::string_view value, Parsing& p) {
    if (value.starts_with("read:")) {
        return ParseWhole(value.substr(5), 1, std::numeric_limits<int>::max(),
                          &p.o.config.failReadAt)
                   ? ""
                   : "N in read:N counts Reads from 1";
    }
    for (const FaultName& f : kFaultNames) {
        if (value == f.name) {
            p.o.config.faults.insert(f.fault);
            return {};
        }
    }
    return "unknown failure (" + FaultList("read:N") + ")";
}

std::string SlowRead(std::string_view value, Parsing& p) {
    const std::size_t colon = value.find(':');
    int n = 0;
    std::uint32_t ms = 0;
    if (colon == std::string_view::npos ||
        !ParseWhole(value.substr(0, colon), 1, std::numeric_limits<int>::max(), &n) ||
        !ParseWhole(value.substr(colon + 1), std::uint32_t{0},
                    std::numeric_limits<std::uint32_t>::max(), &ms)) {
        return "expected N:MS, the N-th Read (from 1) and its milliseconds";
    }
    p.o.config.slowReadMs[n] = ms;
    return {};
}

std::string BreakAfterBlocks(std::string_view value, Parsing& p) {
    if (!ParseWhole(value, 1LL, std::numeric_limits<long long>::max(),
                    &p.o.config.breakAfterBlocks)) {
        return "N is a whole number of block ends from 1 (a CTRL-C before playback is "
               "--break-at-ms=0)";
    }
    return {};
}

std::string BreakAtMs(std::string_view value, Parsing& p) {
    constexpr long long kMaxMs = machine::kMaxMachineNs / 1000000;
    long long ms = 0;
    if (!ParseWhole(value, 0LL, kMaxMs, &ms)) {
        return "T is a whole number of milliseconds up to " + std::to_string(kMaxMs) +
               ", the latest machine time the clock keeps (146 years)";
    }
    p.o.config.breakAtUs = ms * 1000;
    return {};
}

std::string Chaos(std::string_view value, Parsing& p) {
    if (!ParseWhole(value, std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max(),
                    &p.o.chaosSeed)) {
        return "SEED is a whole number";
    }
    p.o.chaos = true;
    return {};
}

// What an option's value names: a file the run writes is checked against the
// player's input and the other outputs.
enum class Names { Other, OutputFile };

// Every option, once, with what takes its value: a handler, or the field
// that takes it as it is. The parser, --help and the error messages read it.
struct OptionSpec {
    const char* name;
    const char* value; // how --help shows the value; nullptr: a flag
    const char* help;  // nullptr: --fail's, made from the fault table
    Apply apply;
    std::string MachineOptions::*field = nullptr;
    Names names = Names::Other;
};

constexpr OptionSpec kOptions[] = {
    {"clock", "virtual|real", "machine clock (default virtual: as fast as the host allows)", Clock},
    {"speed", "FACTOR",
     "real clock only: machine seconds per wall second, 0.01 to 1000 (default 1); at 1, a live "
     "sound device sets the pace",
     Speed},
    {"dac-wav", "PATH",
     "write the line out as a WAV file: the DAC stream through PCM Out Volume's mute and gain, "
     "as a listener hears it",
     nullptr, &MachineOptions::dacWav, Names::OutputFile},
    {"spdif-wav", "PATH", "write what the S/PDIF output carried as a WAV file", nullptr,
     &MachineOptions::spdifWav, Names::OutputFile},
    {"trace", "PATH", "write the machine's trace as JSON Lines", nullptr, &MachineOptions::trace,
     Names::OutputFile},
    {"timeline", "PATH",
     "write the run as a timeline, Trace Event Format JSON (for Perfetto's UI, chrome://tracing "
     "or speedscope)",
     nullptr, &MachineOptions::timeline, Names::OutputFile},
    {"live", "[=PCM]", "also play the line out on an ALSA PCM (default: \"default\")", Live},
    {"live-sim", "FACTOR[:EVERY:STALL]",
     "play the line out on a simulated sound device instead, whose crystal runs at FACTOR of the "
     "codec's rate and which stalls STALL seconds every EVERY seconds of playing (for tests of "
     "the pacing)",
     LiveSim},
    {"live-spdif", "PCM",
     "also send the S/PDIF output to an ALSA PCM (an IEC958 device: its channel status follows "
     "the codec)",
     nullptr, &MachineOptions::liveSpdifPcm},
    {"spdif", "on|off", "S/PDIF transmitter at power-on (default on)",
     Switch<&machine::Config::spdifOn>},
    {"vra", "on|off", "variable-rate audio at power-on (default on)",
     Switch<&machine::Config::vraOn>},
    {"fail", "WHAT", nullptr, Fail},
    {"slow-read", "N:MS", "the N-th Read takes MS milliseconds of machine time", SlowRead},
    {"break-after-blocks", "N", "CTRL-C after N block ends (N from 1)", BreakAfterBlocks},
    {"break-at-ms", "T", "CTRL-C at machine time T milliseconds", BreakAtMs},
    {"chaos", "SEED",
     "at every hand-off between the machine's threads, one time in eight, a random pause of up "
     "to 1 ms (for soak tests of the real clock)",
     Chaos},
    {"report", nullptr,
     "print blocks, machine time, overruns, violations and refill slack on stderr",
     Flag<&MachineOptions::report>},
    {"quiet", nullptr, "no progress line (shown only when stderr is a terminal)",
     Flag<&MachineOptions::quiet>},
    {"help", nullptr, "print this and exit", Flag<&MachineOptions::help>},
    {"version", nullptr, "print the program's and the player's version and exit",
     Flag<&MachineOptions::version>},
};

// How getopt takes the option's value.
int ValueKind(const OptionSpec& spec) {
    return spec.value == nullptr  ? no_argument
           : spec.value[0] == '[' ? optional_argument
                                  : required_argument;
}

// Why getopt refused text: a flag given a value, an option with no value, or
// a name that is no option's or the start of several.
std::string Refusal(std::string_view text, int code) {
    if (code == ':') {
        return std::string(text) + " needs a value";
    }
    if (!text.starts_with("--")) {
        return "unknown option " + Quoted(text);
    }
    const std::string_view name = text.substr(2, text.find('=') - 2);
    std::string matches;
    for (const OptionSpec& spec : kOptions) {
        if (std::string_view(spec.name) == name && text.find('=') != std::string_view::npos) {
            return "--" + std::string(name) + " takes no value";
        }
        if (std::string_view(spec.name).starts_with(name)) {
            matches += std::string(matches.empty() ? "" : ", ") + "--" + spec.name;
        }
    }
    if (matches.find(',') == std::string::npos) {
        return "unknown option " + Quoted(text);
    }
    return "ambiguous option " + Quoted(text) + " (" + matches + ")";
}

} // namespace

std::vector<OptionHelp> MachineOptionHelp() {
    std::vector<OptionHelp> lines;
    for (const OptionSpec& spec : kOptions) {
        std::string form =
            std::string(spec.name == std::string_view("help") ? "-h, --" : "--") + spec.name;
        if (spec.value != nullptr) {
            form += spec.value[0] == '[' ? spec.value : std::string("=") + spec.value;
        }
        lines.push_back({form, spec.help != nullptr ? spec.help : FailHelp()});
    }
    return lines;
}

ParsedOptions ParseMachineOptions(const std::vector<std::string>& args) {
    MachineOptions o;
    Parsing parsing{o};
    std::vector<std::string> words = {kMachineProgram};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    // Each option returns a code of its own: getopt calls a shortened name
    // ambiguous only when the options it could mean differ.
    constexpr int kFirstCode = 256;
    std::vector<option> longOptions;
    longOptions.reserve(std::size(kOptions) + 1);
    for (const OptionSpec& spec : kOptions) {
        longOptions.push_back({spec.name, ValueKind(spec), nullptr,
                               kFirstCode + static_cast<int>(longOptions.size())});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // '+': stop at the first word that is not an option (the player's command
    // line is never searched); ':': a missing value is told apart.
    optind = 0;
    opterr = 0;
    const int argc = static_cast<int>(words.size());
    for (;;) {
        const int before = optind == 0 ? 1 : optind;
        const int code = getopt_long(argc, argv.data(), "+:h", longOptions.data(), nullptr);
        if (code == -1) {
            break;
        }
        if (code == 'h') {
            o.help = true;
            return {o, {}};
        }
        if (code < kFirstCode) {
            const int at = std::clamp(optind - 1, before, argc - 1);
            return {std::nullopt, Refusal(words[static_cast<std::size_t>(at)], code)};
        }
        const OptionSpec& spec = kOptions[code - kFirstCode];
        const std::string_view value = optarg != nullptr ? optarg : "";
        if (ValueKind(spec) == required_argument && (value.empty() || value == "--")) {
            // "--" is where the player's command line starts, never a value.
            return {std::nullopt, "--" + std::string(spec.name) + " needs a value"};
        }
        std::string why;
        if (spec.field != nullptr) {
            o.*spec.field = value;
        } else {
            why = spec.apply(value, parsing);
        }
        if (!why.empty()) {
            return {std::nullopt,
                    "--" + std::string(spec.name) + "=" + std::string(value) + ": " + why};
        }
        if (o.help || o.version) {
            return {o, {}};
        }
    }
    const auto end = static_cast<std::size_t>(optind);
    if (end < words.size() && words[end - 1] != "--") {
        return {std::nullopt, "unexpected argument " + Quoted(words[end]) +
                                  " (the player's command line goes after '--')"};
    }
    if (words[end - 1] != "--") {
        return {std::nullopt, "missing '--' before the player's command line"};
    }
    if (end == words.size()) {
        return {std::nullopt, "no command after '--'"};
    }
    if (parsing.speedGiven && o.config.clock != machine::ClockKind::Real) {
        return {std::nullopt, "--speed needs --clock=real"};
    }
    if (o.live && o.liveSim) {
        return {std::nullopt, "--live and --live-sim: the line out plays on one device"};
    }
    o.command.assign(words.begin() + static_cast<std::ptrdiff_t>(end), words.end());
    // The files the run writes: one on the player's input would destroy it,
    // and two on one file would garble both.
    const std::string input = o.command.size() == 2 ? o.command[1] : "";
    std::vector<std::string> names;
    for (const OptionSpec& spec : kOptions) {
        names.push_back(std::string("--") + spec.name);
    }
    std::vector<OutputPath> outputs = {{"the player's input", input}};
    for (std::size_t i = 0; i < std::size(kOptions); ++i) {
        if (kOptions[i].names == Names::OutputFile) {
            outputs.push_back({names[i].c_str(), o.*kOptions[i].field});
        }
    }
    if (std::string clash = OutputClash(outputs); !clash.empty()) {
        return {std::nullopt, clash};
    }
    return {o, {}};
}

} // namespace app
