#include "app/options.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

namespace app {

const char kMachineUsage[] =
    "Usage: kestrel-machine [OPTION]... -- COMMAND [ARG]...\n"
    "Runs the player on an emulated machine; COMMAND [ARG]... is its command line.\n"
    "\n"
    "  --clock=virtual|real      machine clock (default virtual: as fast as the host allows)\n"
    "  --speed=FACTOR            real clock only: machine seconds per wall second (default 1)\n"
    "  --dac-wav=PATH            write the PCM stream that reached the DAC as a WAV file\n"
    "  --spdif-wav=PATH          write what the S/PDIF output carried as a WAV file\n"
    "  --trace=PATH              write the machine's trace as JSON Lines\n"
    "  --live                    also play the DAC stream on the host's sound device\n"
    "  --spdif=on|off            S/PDIF transmitter at power-on (default on)\n"
    "  --vra=on|off              variable-rate audio at power-on (default on)\n"
    "  --fail=WHAT               make one thing fail: mixer-library, mixer-library-old, mixer,\n"
    "                            pci-library, device, memory, int-server, io-window, signal,\n"
    "                            or read:N (the N-th Read)\n"
    "  --slow-read=N:MS          the N-th Read takes MS milliseconds of machine time\n"
    "  --break-after-blocks=N    CTRL-C after N block ends\n"
    "  --break-at-ms=T           CTRL-C at machine time T milliseconds\n"
    "  --report                  print blocks, machine time, overruns and violations on stderr\n"
    "  --help                    print this and exit\n"
    "\n"
    "Exit status: the player's return code; 70 when the machine found a violation;\n"
    "2 for a bad option.\n";

namespace {

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

// Reads one option into options; returns the error, empty when it was good.
std::string ApplyOption(std::string_view arg, MachineOptions& o, bool* speedGiven) {
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const bool hasValue = eq != std::string_view::npos;
    const std::string_view value = hasValue ? arg.substr(eq + 1) : std::string_view{};

    struct Flag {
        std::string_view name;
        bool* target;
    };
    const Flag flags[] = {{"--live", &o.live}, {"--report", &o.report}, {"--help", &o.help}};
    for (const Flag& flag : flags) {
        if (name == flag.name) {
            if (hasValue) {
                return std::string(name) + " takes no value";
            }
            *flag.target = true;
            return {};
        }
    }

    struct Valued {
        std::string_view name;
        std::string_view form;
    };
    const Valued valued[] = {
        {"--clock", "--clock=virtual|real"},
        {"--speed", "--speed=FACTOR"},
        {"--dac-wav", "--dac-wav=PATH"},
        {"--spdif-wav", "--spdif-wav=PATH"},
        {"--trace", "--trace=PATH"},
        {"--spdif", "--spdif=on|off"},
        {"--vra", "--vra=on|off"},
        {"--fail", "--fail=WHAT"},
        {"--slow-read", "--slow-read=N:MS"},
        {"--break-after-blocks", "--break-after-blocks=N"},
        {"--break-at-ms", "--break-at-ms=T"},
    };
    bool known = false;
    for (const Valued& v : valued) {
        if (name == v.name) {
            known = true;
            if (value.empty()) {
                return std::string(name) + " needs a value: " + std::string(v.form);
            }
        }
    }
    if (!known) {
        return "unknown option " + Quoted(arg);
    }

    const std::string where = std::string(arg) + ": ";
    if (name == "--clock") {
        if (value == "virtual") {
            o.config.clock = machine::ClockKind::Virtual;
        } else if (value == "real") {
            o.config.clock = machine::ClockKind::Real;
        } else {
            return where + "the clock is 'virtual' or 'real'";
        }
    } else if (name == "--speed") {
        double speed = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), speed);
        if (ec != std::errc{} || end != value.data() + value.size() || !std::isfinite(speed) ||
            speed <= 0) {
            return where + "the speed is a number greater than 0";
        }
        o.config.speed = speed;
        *speedGiven = true;
    } else if (name == "--dac-wav") {
        o.dacWav = value;
    } else if (name == "--spdif-wav") {
        o.spdifWav = value;
    } else if (name == "--trace") {
        o.trace = value;
    } else if (name == "--spdif" || name == "--vra") {
        bool* target = name == "--spdif" ? &o.config.spdifOn : &o.config.vraOn;
        if (!ParseSwitch(value, target)) {
            return where + "expected 'on' or 'off'";
        }
    } else if (name == "--fail") {
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
        return where +
               "unknown failure (mixer-library, mixer-library-old, mixer, pci-library, device, "
               "memory, int-server, io-window, signal, read:N)";
    } else if (name == "--slow-read") {
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
    } else if (name == "--break-after-blocks") {
        long long n = 0;
        if (!ParseWhole(value, 0LL, std::numeric_limits<long long>::max(), &n)) {
            return where + "N is a whole number of blocks";
        }
        o.config.breakAfterBlocks = n;
    } else if (name == "--break-at-ms") {
        long long ms = 0;
        if (!ParseWhole(value, 0LL, std::numeric_limits<long long>::max() / 1000, &ms)) {
            return where + "T is a whole number of milliseconds";
        }
        o.config.breakAtUs = ms * 1000;
    }
    return {};
}

} // namespace

ParsedOptions ParseMachineOptions(const std::vector<std::string>& args) {
    MachineOptions o;
    bool speedGiven = false;
    std::size_t i = 0;
    for (; i < args.size() && args[i] != "--"; ++i) {
        const std::string& arg = args[i];
        if (!arg.starts_with("--")) {
            return {std::nullopt, "unexpected argument " + Quoted(arg) +
                                      " (the player's command line goes after '--')"};
        }
        std::string error = ApplyOption(arg, o, &speedGiven);
        if (!error.empty()) {
            return {std::nullopt, error};
        }
        if (o.help) {
            return {o, {}};
        }
    }
    if (i == args.size()) {
        return {std::nullopt, "missing '--' before the player's command line"};
    }
    if (i + 1 == args.size()) {
        return {std::nullopt, "no command after '--'"};
    }
    if (speedGiven && o.config.clock != machine::ClockKind::Real) {
        return {std::nullopt, "--speed needs --clock=real"};
    }
    o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    return {o, {}};
}

} // namespace app
