#include "app/file_notes.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/format_name.h"
#include "app/sample_look.h"

#include "hw/codec.h"
#include "input/headers.h"
#include "input/input_format.h"
#include "machine/ac97_codec.h"
#include "machine/byte_order.h"
#include "machine/machine.h"
#include "spdif/data_burst.h"

namespace app {

namespace {

// The file as a note looks at it, and the machine it will play on.
struct Look {
    const std::string& path;
    // At least the player's header read: zeros past a short file's end, as
    // the player's cleared buffer holds.
    std::span<const std::uint8_t> head;
    std::span<const std::uint8_t> bytes; // as read: the libraries and the sample look see these
    std::uint64_t size;
    bool spdif; // the S/PDIF transmitter is on
    bool vra;   // variable-rate audio while PCM plays
};

// A note's parts, "PATH: what; does. Convert it with: command", and what the
// player will play.
struct Verdict {
    std::string what{};
    std::string does{}; // empty: no note
    std::string command{};
    std::uint32_t rate = kDefaultRate;
    double seconds = -1; // -1: as raw data
};

const char kRaw[] = "the player plays it as raw 16-bit little-endian stereo at 48000 Hz";

bool At(const Look& look, std::uint64_t offset, std::string_view magic) {
    return offset + magic.size() <= look.head.size() &&
           std::equal(magic.begin(), magic.end(),
                      look.head.begin() + static_cast<std::ptrdiff_t>(offset),
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

// A four-character code as text, any byte that is not printable as '?'.
std::string Code(const std::uint8_t* at) {
    std::string code;
    for (int i = 0; i < 4; ++i) {
        code += at[i] >= 0x20 && at[i] < 0x7F ? static_cast<char>(at[i]) : '?';
    }
    return code;
}

std::string Number(std::int64_t value) {
    return std::to_string(value);
}

// The offset of the first chunk called id, walking an IFF or RIFF chunk list
// from `from` with the given byte order of sizes; the end of the head when it
// is not there. Chunks are padded to an even size in both.
std::uint64_t FindChunk(const Look& look, std::uint64_t from, std::string_view id, bool bigEndian) {
    std::uint64_t at = from;
    while (at + 8 <= look.head.size() && !At(look, at, id)) {
        const std::uint8_t* size = &look.head[at + 4];
        at += 8 +
              ((std::uint64_t{bigEndian ? machine::Be32(size) : machine::Le32(size)} + 1) & ~1ull);
    }
    return std::min<std::uint64_t>(at, look.head.size());
}

// The rate S/PDIF control marks for a PCM playback at rate: what the codec
// makes of the control the player sets.
std::uint32_t SpdifMarked(std::int32_t rate) {
    return machine::SpdifRateForControl(SpdifControlFor(PlayMode::IffPcm, rate));
}

std::uint32_t Played(const Look& look, std::int32_t rate) {
    return machine::DacRateForWrite(static_cast<std::uint32_t>(rate), look.vra);
}

// PCM at rate plays right: the codec takes the rate as written, and S/PDIF,
// when on, marks it.
bool Playable(const Look& look, std::int64_t rate) {
    const auto r = static_cast<std::int32_t>(rate);
    return rate == r && Played(look, r) == static_cast<std::uint32_t>(rate) &&
           (!look.spdif || SpdifMarked(r) == static_cast<std::uint32_t>(rate));
}

std::string SoxCommand(const Look& look, bool resample) {
    return "sox " + ShellQuoted(look.path) + " -b 16 -c 2" + (resample ? " -r 48000" : "") +
           " --comment \"\" out.aiff";
}

// For what sox may not read: ffmpeg's AIFF has the common chunk first once
// it carries no tags.
std::string AiffCommand(const Look& look) {
    return "ffmpeg -i " + ShellQuoted(look.path) +
           " -map_metadata -1 -c:a pcm_s16be -ac 2 -ar 48000 out.aiff";
}

// AC-3 plays right only where the transmitter takes its bursts.
std::string Ac3Command(const Look& look) {
    return look.spdif
               ? "ffmpeg -i " + ShellQuoted(look.path) + " -c:a ac3 -ar 48000 -b:a 448k out.ac3"
               : AiffCommand(look);
}

// The player's own words when it refuses an AC-3 stream.
std::string PlayersRefusal(const Ac3HeaderInfo& info) {
    char words[64];
    std::snprintf(words, sizeof words, Ac3RefusalFormat(info.refusal),
                  static_cast<long>(info.frameSizeCode));
    return std::string(words, std::strcspn(words, "\n"));
}

// Each verdict works out what the file is and how the player will play it,
// and says it once at its end.
Verdict IffVerdict(const Look& look) {
    double value = 0;
    ExtendedToDouble(&look.head[kIffRateOffset], &value);
    const std::int32_t written = RateFromDouble(value);
    const std::uint32_t played = Played(look, written);
    constexpr std::uint64_t kFormHeaderSize = 12, kCommonSize = 26;
    const std::uint64_t comm = FindChunk(look, kFormHeaderSize, "COMM", true);
    const bool found = comm + kCommonSize <= look.head.size();
    std::int64_t rate = -1; // the common chunk's, wherever it is; -1: not found
    if (found) {
        ExtendedToDouble(&look.head[comm + 16], &value);
        rate = RateFromDouble(value);
    }
    const std::string type = Code(&look.head[8]);
    // How the file is laid out otherwise than the player reads it; empty: as it reads it.
    std::string layout;
    if (type == "AIFC") {
        layout = "an AIFF-C file" +
                 (comm + kCommonSize + 4 <= look.head.size()
                      ? " (compression '" + Code(&look.head[comm + kCommonSize]) + "')"
                      : "");
    } else if (type != "AIFF") {
        layout = "an IFF file of type '" + type + "', not AIFF";
    } else if (comm != kFormHeaderSize) {
        layout = "an AIFF file whose common chunk does not follow the FORM header";
    } else if (!found) {
        layout = "an AIFF file cut short in its common chunk";
    } else if (machine::Be16(&look.head[comm + 8]) != 2 ||
               machine::Be16(&look.head[comm + 14]) != 16) {
        layout = "an AIFF file of " + Number(machine::Be16(&look.head[comm + 8])) +
                 " channel(s) of " + Number(machine::Be16(&look.head[comm + 14])) + "-bit samples";
    }
    const auto wrote = static_cast<std::uint32_t>(written);
    std::string does;
    if (!layout.empty()) {
        does = "the player plays it as 16-bit stereo from byte " + Number(kHeaderReadSize) +
               " at " + Number(played) + " Hz" +
               (played != wrote ? ", what the codec makes of the " + Number(written) +
                                      " it reads at byte " + Number(kIffRateOffset)
                                : "");
    } else if (!Playable(look, written)) {
        // Laid out as the player expects, at a rate it does not play as written.
        std::vector<std::string> clauses;
        if (played != wrote) {
            const char* why = !look.vra                    ? ", without variable-rate audio"
                              : (wrote & 0xFFFFu) != wrote ? " from its 16-bit rate register"
                                                           : ", the nearest rate it makes";
            clauses.push_back("the codec gets " + Number(played) + " Hz" + why +
                              (played < wrote ? ": too slow" : ": too fast"));
        }
        if (look.spdif && SpdifMarked(written) != played) {
            clauses.push_back("over S/PDIF it goes out marked " + Number(SpdifMarked(written)) +
                              " Hz: too " + (SpdifMarked(written) > played ? "fast" : "slow") +
                              " for a receiver");
        }
        does = clauses[0] + (clauses.size() > 1 ? ", and " + clauses[1] : "");
    }
    const double bytes =
        static_cast<double>(look.size - std::min<std::uint64_t>(look.size, kHeaderReadSize));
    return {.what = layout.empty() ? "an AIFF file at " + Number(written) + " Hz" : layout,
            .does = does,
            .command = SoxCommand(look, layout.empty() || !Playable(look, rate)),
            .rate = played,
            .seconds = bytes / (played * double{machine::kFrameBytes})};
}

Verdict Ac3Verdict(const Look& look) {
    const Ac3HeaderInfo info = ParseAc3SyncInfo(look.head.data());
    // E-AC-3 shares the sync word; its bitstream identification is 11 to 16.
    const unsigned bsid = look.head[5] >> 3;
    const bool enhanced = bsid > 10 && bsid <= 16, passed = info.refusal == Ac3Refusal::None;
    const std::int32_t kbits = Ac3BitRate(info.frameSizeCode);
    std::string what = enhanced ? "an E-AC-3 (Dolby Digital Plus) stream" : "an AC-3 stream";
    if (!enhanced && info.refusal == Ac3Refusal::BitRate) {
        what += kbits != 0 ? " at " + Number(kbits) + " kbit/s"
                           : " with frame size code " + Number(info.frameSizeCode) +
                                 ", which no bitrate has";
    } else if (!enhanced && !passed) {
        what += info.sampleRate > 0 ? " at " + Number(info.sampleRate) + " Hz"
                                    : " with the reserved sample rate code 3";
    }
    const std::string raw = " as raw 16-bit stereo at 48000 Hz: noise";
    std::string does;
    if (passed && enhanced) {
        does = "the player takes it for AC-3 at " + Number(info.bitRate) +
               " kbit/s and passes it through in " + Number(info.frameLength) +
               "-byte pieces, which a receiver cannot decode";
    } else if (passed && !look.spdif) {
        does = "the player passes it through as bursts, but with the S/PDIF transmitter off "
               "they go to the line out as noise";
    } else if (enhanced) {
        does =
            "the player takes it for AC-3, refuses it (\"" + PlayersRefusal(info) + "\"" +
            (info.refusal == Ac3Refusal::BitRate ? ", though the bitrate is not the matter" : "") +
            ") and plays it" + raw;
    } else if (!passed) {
        does = "the player passes through AC-3 at 48000 Hz and 256 to 512 kbit/s only, and "
               "plays this one" +
               raw;
    }
    return {.what = what,
            .does = does,
            .command = Ac3Command(look),
            .seconds = passed ? std::ceil(static_cast<double>(look.size) / info.frameLength) *
                                    iec61937::kAc3FramesPerBurst / info.sampleRate
                              : -1};
}

// The first rate a library's name gives, as "44100 Hz" or "44.1 kHz"; 0: none.
std::uint32_t RateIn(const std::string& what) {
    for (std::size_t at = what.find("Hz"); at != std::string::npos; at = what.find("Hz", at + 2)) {
        const bool kilo = at > 0 && std::tolower(static_cast<unsigned char>(what[at - 1])) == 'k';
        std::size_t end = at - (kilo ? 1 : 0), begin = end;
        while (begin > 0 && (std::isdigit(static_cast<unsigned char>(what[begin - 1])) != 0 ||
                             what[begin - 1] == '.' || (begin == end && what[begin - 1] == ' '))) {
            end -= begin == end && what[begin - 1] == ' ' ? 1 : 0;
            --begin;
        }
        if (begin < end) {
            const double rate = std::strtod(what.substr(begin, end - begin).c_str(), nullptr);
            return static_cast<std::uint32_t>(std::lround(rate * (kilo ? 1000 : 1)));
        }
    }
    return 0;
}

// Data the player plays as raw: what a library names it, and what its bytes
// look like as samples.
Verdict RawVerdict(const Look& look) {
    const bool empty = look.bytes.empty();
    const FormatName name = empty ? FormatName{} : NameFormat(look.bytes);
    const SampleLook samples = empty ? SampleLook{} : LookAtSamples(look.bytes);
    const bool right = samples.verdict == SampleVerdict::PlaysRight;
    const bool layout = samples.verdict == SampleVerdict::Layout;
    const std::uint32_t rate = RateIn(name.what);
    // Mono 16-bit samples played as stereo go by two at a time.
    const bool fast = layout && std::strcmp(samples.format->ffmpeg, "s16le") == 0;
    const std::string effect = right  ? (rate == 0 || rate == kDefaultRate ? ""
                                         : rate < kDefaultRate             ? ": too fast"
                                                                           : ": too slow")
                               : fast ? ": too fast"
                                      : ": noise";
    std::string what = name.what, does, command;
    if (empty) {
        what = "an empty file";
        does = "the player plays a moment of silence";
    } else if (name.media) {
        does = std::string("the player has no reader for it and plays it") +
               (right ? ", header and all," : "") + std::string(kRaw).substr(19) + effect;
        command = AiffCommand(look);
    } else if (layout) {
        const std::string channels = samples.channels == 1 ? "1" : "2";
        what = std::string("raw data that looks like ") + samples.format->what +
               (samples.channels == 1 ? " mono" : " stereo") +
               " samples, at a rate it does not hold";
        does = kRaw + effect + "; 48000 Hz below: give -ar its own rate";
        command = std::string("ffmpeg -f ") + samples.format->ffmpeg + " -ar 48000 -ac " +
                  channels + " -i " + ShellQuoted(look.path) + " -c:a pcm_s16be -ac 2 out.aiff";
    } else if (samples.verdict == SampleVerdict::Noise || !(right || name.what.empty())) {
        what = name.what.empty() ? "data that looks compressed or encrypted" : name.what;
        does = std::string(kRaw) + ": noise";
    }
    return {.what = what, .does = does, .command = command};
}

bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; });
}

// word as one word of a POSIX shell: in single quotes, each ' as '\''; or,
// when a control character would break the line or act on the terminal, as
// $'...' with each of those escaped.
std::string Quoted(const std::string& word) {
    const bool control = HasControl(word);
    std::string quoted = control ? "$'" : "'";
    for (const char c : word) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
        quoted += c == '\''                                          ? (control ? "\\'" : "'\\''")
                  : control && c == '\\'                             ? "\\\\"
                  : control && c == '\n'                             ? "\\n"
                  : control && c == '\t'                             ? "\\t"
                  : std::iscntrl(static_cast<unsigned char>(c)) != 0 ? std::string(escaped)
                                                                     : std::string(1, c);
    }
    return quoted + "'";
}

} // namespace

FileNote NoteFor(const std::string& path, std::span<const std::uint8_t> head, std::uint64_t size,
                 const machine::Config& config) {
    std::vector<std::uint8_t> padded(head.begin(), head.end());
    padded.resize(std::max<std::size_t>(padded.size(), kHeaderReadSize));
    // The player turns variable-rate audio on with the transmitter.
    const Look look{path, padded, head, size, config.spdifOn, config.spdifOn || config.vraOn};
    const Verdict v = std::memcmp(padded.data(), "FORM", 4) == 0     ? IffVerdict(look)
                      : machine::Be16(padded.data()) == kAc3SyncWord ? Ac3Verdict(look)
                                                                     : RawVerdict(look);
    FileNote note;
    note.rate = v.rate;
    note.seconds = v.seconds >= 0
                       ? v.seconds
                       : static_cast<double>(size) / (kDefaultRate * double{machine::kFrameBytes});
    if (!v.does.empty()) {
        note.text = (HasControl(path) ? Quoted(path) : path) + ": " + v.what + "; " + v.does + "." +
                    (v.command.empty() ? "" : " Convert it with: " + v.command);
    }
    return note;
}

FileNote NoteForFile(const std::string& path, machine::Config& config) {
    // Not blocking: a named pipe with no writer yet would hold the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
        if (fd >= 0) {
            close(fd);
        }
        return {};
    }
    // A pipe gives what its writer has written within a bounded wait, and
    // its end: a live producer does not hold the start long.
    const bool pipe = S_ISFIFO(st.st_mode);
    const auto deadline = std::chrono::steady_clock::now() + kPipeWait;
    std::vector<std::uint8_t> head(kNoteReadSize);
    std::size_t got = 0;
    bool ended = !pipe;
    while (got < head.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (pipe && (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)) {
            break;
        }
        const ssize_t n = read(fd, head.data() + got, head.size() - got);
        ended = ended || n == 0;
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    if (S_ISREG(st.st_mode)) {
        close(fd);
        return NoteFor(path, head, static_cast<std::uint64_t>(st.st_size), config);
    }
    // The player's Reads get back what was taken; the descriptor stays open
    // for the process's life, so the writer never finds the pipe without a
    // reader before the player opens it.
    config.peeked = {st.st_dev, st.st_ino, head};
    if (got == 0 && !ended) {
        return {};
    }
    FileNote note = NoteFor(path, head, got, config);
    note.seconds = 0; // a pipe's length is not known
    return note;
}

std::string ShellQuoted(const std::string& path) {
    const std::string word = path.starts_with('-') ? "./" + path : path;
    // $'...' is not every sh's (dash has none): a control character goes
    // through printf, whose output a command substitution keeps whole but
    // for trailing newlines, which only $'...' can give.
    if (!HasControl(word) || word.ends_with('\n')) {
        return Quoted(word);
    }
    std::string format;
    for (const char c : word) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
        format += c == '\''                                          ? std::string("'\\''")
                  : c == '%'                                         ? std::string("%%")
                  : c == '\\'                                        ? std::string("\\\\")
                  : std::iscntrl(static_cast<unsigned char>(c)) != 0 ? std::string(octal)
                                                                     : std::string(1, c);
    }
    return "\"$(printf '" + format + "')\"";
}

} // namespace app
