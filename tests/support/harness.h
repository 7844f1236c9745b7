// What every test shares: input files, the scratch folder, runs on the
// machine, the trace, and the built programs run as a user runs them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <unistd.h>

#include "machine/machine.h"
#include "machine/schedule.h"
#include "platform/byteorder.h"

namespace harness {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

// A path in this process's scratch folder, which goes when the process ends.
inline std::string ScratchPath(const std::string& name) {
    namespace fs = std::filesystem;
    static const struct Scratch {
        fs::path dir = fs::temp_directory_path() / ("kestrel-test-" + std::to_string(::getpid()));
        std::error_code ignored;
        Scratch() { fs::create_directories(dir); }
        ~Scratch() { fs::remove_all(dir, ignored); }
    } scratch;
    return (scratch.dir / name).string();
}

// Writes bytes to a scratch file; returns its path.
inline std::string WriteFile(const std::string& name, const Bytes& bytes) {
    const std::string path = ScratchPath(name);
    std::ofstream(path, std::ios::binary) << std::string(bytes.begin(), bytes.end());
    return path;
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The words of a command line split at spaces.
inline Strings Words(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

// A counting byte pattern that never repeats within a buffer.
inline Bytes Pattern(std::size_t length, std::uint8_t seed = 0) {
    Bytes b(length);
    for (std::size_t i = 0; i < length; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    }
    return b;
}

inline Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// The first n bytes, or all when there are fewer.
inline Bytes Head(const Bytes& bytes, std::size_t n) {
    return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size()))};
}

// Cut or padded with zeros to n bytes.
inline Bytes Padded(Bytes bytes, std::size_t n) {
    bytes.resize(n);
    return bytes;
}

// Where got first differs from want, for a failure to name; "" when equal.
inline std::string Mismatch(const Bytes& got, const Bytes& want) {
    if (got == want) {
        return "";
    }
    const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    return std::to_string(got.size()) + " bytes, not " + std::to_string(want.size()) +
           "; from byte " + std::to_string(g - got.begin()) +
           (g != got.end() && w != want.end()
                ? ": " + std::to_string(*g) + ", not " + std::to_string(*w)
                : "");
}

// value's low `bytes` bytes, big-endian.
inline Bytes BigEndian(std::uint64_t value, int bytes) {
    Bytes out;
    while (bytes-- > 0) {
        out.push_back(static_cast<std::uint8_t>(value >> 8 * bytes));
    }
    return out;
}

// The 10-byte big-endian 80-bit extended form of an exactly representable value.
inline Bytes Extended(double value) {
    int exponent = 0;
    // In [0.5, 1), or 0.
    const double fraction = std::frexp(std::fabs(value), &exponent);
    const int top = value == 0 ? 0 : (value < 0 ? 0x8000 : 0) | (exponent + 16382);
    return Concat({BigEndian(top, 2), BigEndian(std::uint64_t(std::ldexp(fraction, 64)), 8)});
}

// An AIFF file with the common chunk first: the rate at 28, the samples at 54.
inline Bytes Aiff(double rate, const Bytes& sound) {
    const auto n = static_cast<std::uint32_t>(sound.size());
    const auto be = [](std::uint32_t v) { return BigEndian(v, 4); };
    const auto tag = [](const char* text) { return Bytes(text, text + 4); };
    return Concat({tag("FORM"), be(46 + n), tag("AIFF"), tag("COMM"), be(18), BigEndian(2, 2),
                   be(n / 4), BigEndian(16, 2), Extended(rate), tag("SSND"), be(8 + n), be(0),
                   be(0), sound});
}

// An AC-3 frame with the given sync information, a counting pattern after it.
inline Bytes Ac3Frame(unsigned fscod, unsigned frmsizecod, std::size_t length,
                      std::uint8_t seed = 0) {
    Bytes frame = Pattern(length, seed);
    frame[0] = 0x0B;
    frame[1] = 0x77;
    frame[4] = static_cast<std::uint8_t>(((fscod & 3u) << 6) | (frmsizecod & 0x3Fu));
    return frame;
}

// The IEC 61937 preamble of an AC-3 burst as the controller reads it: Pa, Pb,
// Pc, Pd as little-endian words, Pd the payload in bits.
inline Bytes BurstPreamble(std::uint32_t frameLength) {
    const auto pd = static_cast<std::uint16_t>(frameLength * 8);
    return {0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00, std::uint8_t(pd), std::uint8_t(pd >> 8)};
}

// Runs body as the main task of a machine.
inline machine::Result OnMachine(const std::function<void()>& body, machine::Config config = {}) {
    return machine::Run(config, [&](std::int32_t, char**) { return body(), 0; }, {"test"});
}

// The events of the given kinds, in order.
using Kinds = std::initializer_list<std::string_view>;
inline std::vector<machine::TraceEvent> Events(const machine::Result& result, Kinds kinds) {
    std::vector<machine::TraceEvent> out;
    std::copy_if(result.trace.begin(), result.trace.end(), std::back_inserter(out),
                 [&](const machine::TraceEvent& e) {
                     return std::find(kinds.begin(), kinds.end(), e.name) != kinds.end();
                 });
    return out;
}

// The same as compact lines for comparing sequences: "codec_write 2a=0000",
// "io_write8 @01=80", and any other event with its fields in order:
// "barrier", "alloc 12320 65536 ok", "signal_free 31", "set_signal 0 80001000".
inline Strings Summary(const machine::Result& result, Kinds kinds) {
    Strings out;
    for (const machine::TraceEvent& e : Events(result, kinds)) {
        const std::string_view name = e.name;
        const auto n = [&](const char* key) -> unsigned long long { return e.Number(key); };
        char text[96];
        if (name.starts_with("codec_")) {
            std::snprintf(text, sizeof text, "%s %02llx=%04llx", e.name, n("reg"), n("value"));
            out.emplace_back(text);
        } else if (name.starts_with("io_")) {
            std::snprintf(text, sizeof text, "%s%lld @%02llx=%llx", e.name, n("width"), n("offset"),
                          n("value"));
            out.emplace_back(text);
        } else {
            // Any other event: its fields in order; masks in hex, flags by name.
            out.emplace_back(e.name);
            for (const machine::TraceField& f : e.fields) {
                const bool hex =
                    std::string_view(f.key) == "mask" || std::string_view(f.key) == "new";
                std::snprintf(text, sizeof text, hex ? "%llx" : "%lld",
                              static_cast<long long>(f.number));
                out.back() += " " + (f.isText   ? f.text
                                     : f.isFlag ? std::string(f.number != 0 ? "" : "!") + f.key
                                                : std::string(text));
            }
        }
    }
    return out;
}

// The same as one string, the lines separated by ", ".
inline std::string Log(const machine::Result& result, Kinds kinds) {
    std::string out;
    for (const std::string& line : Summary(result, kinds)) {
        out += (out.empty() ? "" : ", ") + line;
    }
    return out;
}

// What a run's report, the trace's overrun marks and its refill slack
// disagree on, "" when nothing: the blocks marked overrun are as many as the
// report counts, and every slack below 0 is one of theirs.
inline std::string Disagreement(const machine::Result& r) {
    std::set<std::int64_t> overran, late;
    std::int64_t block = 0;
    for (const machine::TraceEvent& e : r.trace) {
        const std::string_view name = e.name;
        block += name == "block";
        if ((name == "block_end" || name == "channel_stop") && e.Number("overrun") == 1) {
            overran.insert(block);
        } else if (name == "refill_slack" && e.Number("slack") < 0) {
            late.insert(e.Number("block"));
        }
    }
    std::string out;
    if (overran.size() != r.report.overruns) {
        out += std::to_string(overran.size()) + " blocks marked, " +
               std::to_string(r.report.overruns) + " overruns reported; ";
    }
    for (const std::int64_t b : late) {
        out += overran.count(b) != 0 ? "" : "block " + std::to_string(b) + " late, no overrun; ";
    }
    return out;
}

// Spins until done() holds, for 30 s at most, so that a broken machine fails
// a test rather than hangs it.
inline void SpinUntil(const auto& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
}

// A schedule hook for the life of this object: `at` is called at every point
// any thread reaches.
struct Hook {
    explicit Hook(std::function<void(machine::SchedulePoint)> f) : at(std::move(f)) {
        machine::SetScheduleHook(
            [](machine::SchedulePoint p, void* h) { static_cast<Hook*>(h)->at(p); }, this);
    }
    ~Hook() { machine::SetScheduleHook(nullptr, nullptr); }
    Hook(const Hook&) = delete;
    Hook& operator=(const Hook&) = delete;
    std::function<void(machine::SchedulePoint)> at;
};

// Words for sh, whatever they hold, each after a space.
inline std::string Quote(const Strings& words) {
    std::string out;
    for (const std::string& word : words) {
        out += " '";
        for (char c : word) {
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        out += "'";
    }
    return out;
}

// A built program run as a process; a cross build runs it through its emulator.
struct Process {
    // Exit status; 128 + N when signal N ended it; kHung when it was killed
    // after 30 s, err then saying so.
    int status = -1;
    std::string out, err;
};
inline constexpr int kHung = -1;
struct ProcessOptions {
    // NAME=VALUE added to the environment.
    Strings env{};
    // Sends `signal` once standard output holds this whole line.
    std::string signalAfterLine{};
    int signal = 2;
    // Seconds from the output to the signal.
    std::string signalDelay = "0";
};

// The first word, the program, is "kestrel" or "kestrel-machine", or a host
// tool found on PATH. Ours run with standard input closed, as from a daemon:
// the first file they open is then fd 0.
// The programs see an ALSA configuration whose "default" PCM, on no sound
// card, writes what it plays to ScratchPath("played.raw").
inline Process RunProgram(const Strings& words, const ProcessOptions& options = {}) {
    static const std::string alsa = [] {
        const std::string conf = "pcm.!default { type file slave.pcm { type null } file \"" +
                                 ScratchPath("played.raw") + "\" }\n";
        return WriteFile("asound.conf", Bytes(conf.begin(), conf.end()));
    }();
    static int runs = 0;
    const std::string out = ScratchPath("stdout-" + std::to_string(++runs)), err = out + "-err";
    // The cross build's emulator runs the programs; its words are separated by '|'.
    std::string prefix = KESTREL_RUN_PREFIX;
    std::replace(prefix.begin(), prefix.end(), '|', ' ');
    const std::string& program = words.at(0);
    const bool ours = program == "kestrel" || program == "kestrel-machine";
    std::string command =
        "env" + Quote({"ALSA_CONFIG_PATH=" + alsa}) + Quote(options.env) +
        (ours ? " " + prefix + Quote({KESTREL_PROGRAM_DIR "/" + program}) : Quote({program})) +
        Quote({words.begin() + 1, words.end()}) + (ours ? " <&- >" : " </dev/null >") +
        Quote({out}) + " 2>" + Quote({err});
    if (!options.signalAfterLine.empty()) {
        command += " & p=$!; until grep -qxF" + Quote({options.signalAfterLine, out}) +
                   "; do sleep 0.005; done; sleep " + options.signalDelay + "; kill -" +
                   std::to_string(options.signal) + " $p; wait $p";
    }
    // A program that hangs is killed with its shell, so that a fault fails its
    // test rather than stalling the suite: no status is written then.
    const std::string status = out + "-status";
    command += "; echo $? >" + Quote({status});
    const bool failed = std::system(("timeout -s KILL 30 sh -c" + Quote({command})).c_str()) != 0;
    const Bytes o = ReadFile(out), e = ReadFile(err), s = ReadFile(status);
    // Whether the host kept up with a real-clock run is the host's timing,
    // which no test may depend on: that line goes.
    std::string errors(e.begin(), e.end());
    if (const std::size_t at = errors.find(": the host cannot keep speed ");
        at != std::string::npos) {
        const std::size_t start = errors.rfind('\n', at) + 1, end = errors.find('\n', at);
        errors.erase(start, end - start + 1);
    }
    if (failed && s.empty()) {
        return {kHung, {o.begin(), o.end()}, errors + "hung: killed after 30 s\n"};
    }
    return {std::stoi(std::string(s.begin(), s.end())), {o.begin(), o.end()}, errors};
}

// A 16-bit stereo PCM WAV file whose header agrees with its size.
struct Wav {
    // Empty when valid.
    std::string error;
    std::uint32_t rate = 0;
    Bytes data;
};
inline Wav ParseWav(const Bytes& file) {
    if (file.size() < 44) {
        return {"no WAV header in " + std::to_string(file.size()) + " bytes", 0, {}};
    }
    const auto tag = [&](std::size_t at, std::string_view want) {
        return std::string_view(reinterpret_cast<const char*>(&file[at]), 4) == want;
    };
    const auto le16 = [&](std::size_t at) { return LoadLE16(&file[at]); };
    const std::uint32_t rate = LoadLE32(&file[24]);
    const std::pair<const char*, bool> fields[] = {
        {"tags", tag(0, "RIFF") && tag(8, "WAVE") && tag(12, "fmt ") && tag(36, "data")},
        {"RIFF size", LoadLE32(&file[4]) == file.size() - 8},
        {"data size", LoadLE32(&file[40]) == file.size() - 44},
        {"16-bit stereo PCM", le16(20) == 1 && le16(22) == 2 && le16(32) == 4 && le16(34) == 16},
        {"byte rate", LoadLE32(&file[28]) == 4 * rate}};
    for (const auto& [what, good] : fields) {
        if (!good) {
            return {std::string("wrong WAV ") + what, 0, {}};
        }
    }
    return {"", rate, {file.begin() + 44, file.end()}};
}

} // namespace harness
