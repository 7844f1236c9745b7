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

// Every option, once: the parser, --help and the error messages read it.
struct OptionSpec {
    const char* name;
    const char* value; // how --help shows the value; nullptr: a flag
    const char* help;  // nullptr: --fail's, made from the fault table
};

constexpr OptionSpec kOptions[] = {
    {"clock", "virtual|real", "machine clock (default virtual: as fast as the host allows)"},
    {"speed", "FACTOR",
     "real clock only: machine seconds per wall second, 0.01 to 1000 (default 1); at 1, a live "
     "sound device sets the pace"},
    {"dac-wav", "PATH",
     "write the line out as a WAV file: the DAC stream through PCM Out Volume's mute and gain, "
     "as a listener hears it"},
    {"spdif-wav", "PATH", "write what the S/PDIF output carried as a WAV file"},
    {"trace", "PATH", "write the machine's trace as JSON Lines"},
    {"timeline", "PATH",
     "write the run as a timeline, Trace Event Format JSON (for Perfetto's UI, chrome://tracing "
     "or speedscope)"},
    {"live", "[=PCM]", "also play the line out on an ALSA PCM (default: \"default\")"},
    {"live-sim", "FACTOR[:EVERY:STALL]",
     "play the line out on a simulated sound device instead, whose crystal runs at FACTOR of the "
     "codec's rate and which stalls STALL seconds every EVERY seconds of playing (for tests of "
     "the pacing)"},
    {"live-spdif", "PCM",
     "also send the S/PDIF output to an ALSA PCM (an IEC958 device: its channel status follows "
     "the codec)"},
    {"spdif", "on|off", "S/PDIF transmitter at power-on (default on)"},
    {"vra", "on|off", "variable-rate audio at power-on (default on)"},
    {"fail", "WHAT", nullptr},
    {"slow-read", "N:MS", "the N-th Read takes MS milliseconds of machine time"},
    {"break-after-blocks", "N", "CTRL-C after N block ends (N from 1)"},
    {"break-at-ms", "T", "CTRL-C at machine time T milliseconds"},
    {"chaos", "SEED",
     "at every hand-off between the machine's threads, one time in eight, a random pause of up "
     "to 1 ms (for soak tests of the real clock)"},
    {"report", nullptr,
     "print blocks, machine time, overruns, violations and refill slack on stderr"},
    {"quiet", nullptr, "no progress line (shown only when stderr is a terminal)"},
    {"help", nullptr, "print this and exit"},
    {"version", nullptr, "print the program's and the player's version and exit"},
};

// What kestrel takes from the environment; both --help texts name it.
struct EnvironmentVariable {
    const char* name;
    const char* help;
};

constexpr EnvironmentVariable kEnvironment[] = {
    {"KESTREL_PCM", "the ALSA PCM that plays the line out (default: \"default\")"},
    {"KESTREL_SPDIF_PCM", "an IEC958 ALSA PCM that also gets the S/PDIF output (none when unset)"},
    {"KESTREL_TIMELINE", "a file that gets the run as a timeline (none when unset)"},
};

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

// Where --help starts each option's help, and the column its lines end by.
constexpr std::size_t kHelpColumn = 28;
constexpr std::size_t kHelpWidth = 80;

// text at column `at` and on, broken at spaces into lines that end by
// kHelpWidth, each after the first indented to kHelpColumn.
std::string Wrapped(std::string_view text, std::size_t at) {
    std::string lines;
    const std::size_t start = at;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        if (at > start && at + 1 + word.size() > kHelpWidth) {
            lines += '\n' + std::string(kHelpColumn, ' ');
            at = kHelpColumn;
        } else if (!lines.empty()) {
            lines += ' ';
            ++at;
        }
        lines += word;
        at += word.size();
        text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
    }
    return lines;
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

// Reads the value of one option into options; returns the error, empty when
// it was good. name is the option's full name, as the table has it.
std::string ApplyOption(std::string_view name, std::string_view value, MachineOptions& o,
                        bool* speedGiven) {
    const std::string where = "--" + std::string(name) + "=" + std::string(value) + ": ";
    if (name == "live") {
        o.live = true;
        o.livePcm = value.empty() ? "default" : std::string(value);
    } else if (name == "report") {
        o.report = true;
    } else if (name == "quiet") {
        o.quiet = true;
    } else if (name == "help") {
        o.help = true;
    } else if (name == "version") {
        o.version = true;
    } else if (value.empty() || value == "--") {
        // "--" is where the player's command line starts, never a value.
        return "--" + std::string(name) + " needs a value";
    } else if (name == "clock") {
        if (value == "virtual") {
            o.config.clock = machine::ClockKind::Virtual;
        } else if (value == "real") {
            o.config.clock = machine::ClockKind::Real;
        } else {
            return where + "the clock is 'virtual' or 'real'";
        }
    } else if (name == "speed") {
        double speed = 0;
        if (!ParseNumber(value, kMinSpeed, kMaxSpeed, &speed)) {
            return where + "the speed is a number from 0.01 to 1000, the range the real clock "
                           "keeps";
        }
        o.config.speed = speed;
        *speedGiven = true;
    } else if (name == "dac-wav") {
        o.dacWav = value;
    } else if (name == "spdif-wav") {
        o.spdifWav = value;
    } else if (name == "trace") {
        o.trace = value;
    } else if (name == "timeline") {
        o.timeline = value;
    } else if (name == "chaos") {
        if (!ParseWhole(value, std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max(),
                        &o.chaosSeed)) {
            return where + "SEED is a whole number";
        }
        o.chaos = true;
    } else if (name == "live-sim") {
        SimulatedCrystal c;
        if (!ParseCrystal(value, &c)) {
            return where + "expected FACTOR or FACTOR:EVERY:STALL, a factor from 0.5 to 2 and "
                           "seconds";
        }
        o.liveSim = c;
    } else if (name == "live-spdif") {
        o.liveSpdifPcm = value;
    } else if (name == "spdif" || name == "vra") {
        bool* target = name == "spdif" ? &o.config.spdifOn : &o.config.vraOn;
        if (!ParseSwitch(value, target)) {
            return where + "expected 'on' or 'off'";
        }
    } else if (name == "fail") {
        if (value.starts_with("read:")) {
            int n = 0;
            if (!ParseWhole(value.substr(5), 1, std::numeric_limits<int>::max(), &n)) {
                return where + "N in read:N counts Reads from 1";
            }
            o.config.failReadAt = n;
            return {};
        }
        for (const FaultName& f : kFaultNames) {
            if (value == f.name) {
                o.config.faults.insert(f.fault);
                return {};
            }
        }
        return where + "unknown failure (" + FaultList("read:N") + ")";
    } else if (name == "slow-read") {
        const std::size_t colon = value.find(':');
        int n = 0;
        std::uint32_t ms = 0;
        if (colon == std::string_view::npos ||
            !ParseWhole(value.substr(0, colon), 1, std::numeric_limits<int>::max(), &n) ||
            !ParseWhole(value.substr(colon + 1), std::uint32_t{0},
                        std::numeric_limits<std::uint32_t>::max(), &ms)) {
            return where + "expected N:MS, the N-th Read (from 1) and its milliseconds";
        }
        o.config.slowReadMs[n] = ms;
    } else if (name == "break-after-blocks") {
        long long n = 0;
        if (!ParseWhole(value, 1LL, std::numeric_limits<long long>::max(), &n)) {
            return where + "N is a whole number of block ends from 1 (a CTRL-C before playback "
                           "is --break-at-ms=0)";
        }
        o.config.breakAfterBlocks = n;
    } else if (name == "break-at-ms") {
        constexpr long long kMaxMs = machine::kMaxMachineNs / 1000000;
        long long ms = 0;
        if (!ParseWhole(value, 0LL, kMaxMs, &ms)) {
            return where + "T is a whole number of milliseconds up to " + std::to_string(kMaxMs) +
                   ", the latest machine time the clock keeps (146 years)";
        }
        o.config.breakAtUs = ms * 1000;
    }
    return {};
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

// "  FORM    help", the help from kHelpColumn or two spaces after a longer form.
std::string HelpLine(std::string form, std::string_view help) {
    form.insert(0, "  ");
    form.resize(std::max(form.size() + 2, kHelpColumn), ' ');
    return form + Wrapped(help, form.size()) + "\n";
}

std::string EnvironmentHelp() {
    std::string text;
    for (const EnvironmentVariable& v : kEnvironment) {
        text += HelpLine(v.name, v.help);
    }
    return text;
}

} // namespace

std::string MachineUsage() {
    std::string text = std::string("Usage: ") + kMachineProgram +
                       " [OPTION]... -- COMMAND [ARG]...\n"
                       "Runs the player on an emulated machine; COMMAND [ARG]... is its command "
                       "line.\n\n";
    for (const OptionSpec& spec : kOptions) {
        std::string form =
            std::string(spec.name == std::string_view("help") ? "-h, --" : "--") + spec.name;
        if (spec.value != nullptr) {
            form += spec.value[0] == '[' ? spec.value : std::string("=") + spec.value;
        }
        text += HelpLine(form, spec.help != nullptr ? spec.help : FailHelp());
    }
    return text +
           "\nOptions take their value as --OPTION=VALUE or --OPTION VALUE, and may be\n"
           "shortened to any unambiguous start.\n\n"
           "Exit status:\n" +
           HelpLine("N", "the player's return code, as kestrel's") +
           HelpLine("70", "the machine found a violation, whatever the player returned") +
           HelpLine("74", "a capture, the trace or the timeline could not be written whole, "
                          "and the player returned 0") +
           HelpLine("2", "a bad option, or an output on the player's input file") +
           "\nEnvironment:\n"
           "kestrel FILE, the player on the default machine in real time, takes its sound\n"
           "devices from these; kestrel-machine from --live and --live-spdif:\n" +
           EnvironmentHelp();
}

std::string KestrelUsage() {
    return std::string(
               "Usage: kestrel FILE\n"
               "Plays FILE on an emulated machine in real time, heard on this computer's sound\n"
               "device: an AIFF file as PCM through the codec's DAC, an AC-3 stream passed\n"
               "through to the S/PDIF output, anything else as raw 16-bit stereo PCM at\n"
               "48000 Hz. CTRL-C stops playback. Every command line but the two below is\n"
               "the player's own.\n\n") +
           HelpLine("-h, --help", "print this and exit") +
           HelpLine("--version", "print the version and exit") + "\nEnvironment:\n" +
           EnvironmentHelp() + "\nExit status:\n" +
           HelpLine("0", "the file played, or CTRL-C stopped it") +
           HelpLine("2", "KESTREL_TIMELINE names the file to play") +
           HelpLine("10", "a read of the file failed") +
           HelpLine("20", "the file did not open, or the machine lacks what the player needs") +
           HelpLine("70", "the machine found a violation, whatever the player returned") +
           HelpLine("74", "KESTREL_TIMELINE's file could not be written whole, and the player "
                          "returned 0") +
           HelpLine("100", "a wrong command line") +
           "\n"
           "kestrel-machine runs the same player with options: a virtual clock, faults,\n"
           "captures of the line out and the S/PDIF output, the machine's trace and the\n"
           "timeline (see kestrel-machine --help).\n";
}

ParsedOptions ParseMachineOptions(const std::vector<std::string>& args) {
    MachineOptions o;
    bool speedGiven = false;
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
        const int kind = spec.value == nullptr  ? no_argument
                         : spec.value[0] == '[' ? optional_argument
                                                : required_argument;
        longOptions.push_back(
            {spec.name, kind, nullptr, kFirstCode + static_cast<int>(longOptions.size())});
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
        std::string error = ApplyOption(kOptions[code - kFirstCode].name,
                                        optarg != nullptr ? optarg : "", o, &speedGiven);
        if (!error.empty()) {
            return {std::nullopt, error};
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
    if (speedGiven && o.config.clock != machine::ClockKind::Real) {
        return {std::nullopt, "--speed needs --clock=real"};
    }
    if (o.live && o.liveSim) {
        return {std::nullopt, "--live and --live-sim: the line out plays on one device"};
    }
    o.command.assign(words.begin() + static_cast<std::ptrdiff_t>(end), words.end());
    // The files the run writes: one on the player's input would destroy it,
    // and two on one file would garble both.
    const std::string input = o.command.size() == 2 ? o.command[1] : "";
    const OutputPath outputs[] = {{"the player's input", input},
                                  {"--dac-wav", o.dacWav},
                                  {"--spdif-wav", o.spdifWav},
                                  {"--trace", o.trace},
                                  {"--timeline", o.timeline}};
    if (std::string clash = OutputClash(outputs); !clash.empty()) {
        return {std::nullopt, clash};
    }
    return {o, {}};
}

} // namespace app
