#include "app/file_notes.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

#include "hw/ac97.h"
#include "hw/codec.h"
#include "hw/dma_block.h"
#include "input/headers.h"
#include "input/input_format.h"
#include "machine/ac97_codec.h"
#include "platform/byteorder.h"
#include "spdif/data_burst.h"

namespace app {

namespace {

// The file as a note looks at it, and the machine it will play on.
struct Look {
    const std::string& path;
    // At least the player's header read: zeros past a short file's end, as
    // the player's cleared buffer holds.
    std::span<const std::uint8_t> head;
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

const char kRawNoise[] = "the player plays it as raw 16-bit stereo at 48000 Hz: noise";

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
        at += 8 + ((std::uint64_t{bigEndian ? LoadBE32(size) : LoadLE32(size)} + 1) & ~1ull);
    }
    return std::min<std::uint64_t>(at, look.head.size());
}

// The rate S/PDIF control marks for a PCM playback at rate, as the player
// sets it.
std::uint32_t SpdifMarked(std::int32_t rate) {
    switch (ac97::SpdifRateBits(SpdifControlFor(PlayMode::IffPcm, rate))) {
    case ac97::SpdifRateBits(ac97::kSpdifRate44100):
        return 44100;
    case ac97::SpdifRateBits(ac97::kSpdifRate32000):
        return 32000;
    default:
        return 48000;
    }
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

// A/52 bitrates in kbit/s, by frmsizecod / 2.
constexpr std::int32_t kAc3BitRates[] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                         192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr std::int32_t kAc3Rates[] = {48000, 44100, 32000};

// The length of the AC-3 frame whose sync information starts at `at`, in
// bytes; 0 when it names no rate or frame size.
std::uint64_t Ac3FrameBytes(const std::uint8_t* at) {
    const unsigned fscod = at[4] >> 6, code = at[4] & 0x3Fu;
    if (fscod >= std::size(kAc3Rates) || code / 2 >= std::size(kAc3BitRates)) {
        return 0;
    }
    // 1536 samples a frame, in 16-bit words; at 44.1 kHz an odd code pads a word.
    const std::int32_t rate = kAc3Rates[fscod];
    const std::int64_t words =
        std::int64_t{kAc3BitRates[code / 2]} * 96000 / rate + (rate == 44100 ? (code & 1) : 0);
    return static_cast<std::uint64_t>(words) * 2;
}

// The player's own words when it refuses an AC-3 stream.
std::string PlayersRefusal(const Ac3HeaderInfo& info) {
    switch (info.refusal) {
    case Ac3Refusal::BitRate:
        return "Unsupported bitrate (code " + Number(info.frameSizeCode) + ")";
    case Ac3Refusal::Rate44100:
        return "Unsupported samplerate 44.1khz";
    case Ac3Refusal::Rate32000:
        return "Unsupported samplerate 32khz";
    default:
        return "Unsupported samplerate";
    }
}

Verdict IffVerdict(const Look& look, const char*) {
    double value = 0;
    ExtendedToDouble(&look.head[kIffRateOffset], &value);
    const std::int32_t written = RateFromDouble(value);
    const std::uint32_t played = Played(look, written);
    Verdict v{.rate = played,
              .seconds = static_cast<double>(look.size -
                                             std::min<std::uint64_t>(look.size, kHeaderReadSize)) /
                         (played * double{kStereoFrameBytes})};
    constexpr std::uint64_t kFormHeaderSize = 12, kCommonSize = 26;
    const std::uint64_t comm = FindChunk(look, kFormHeaderSize, "COMM", true);
    const bool found = comm + kCommonSize <= look.head.size();
    std::int64_t rate = -1; // the common chunk's, wherever it is; -1: not found
    if (found) {
        ExtendedToDouble(&look.head[comm + 16], &value);
        rate = RateFromDouble(value);
    }
    const std::string type = Code(&look.head[8]);
    if (type == "AIFC") {
        v.what = "an AIFF-C file" +
                 (comm + kCommonSize + 4 <= look.head.size()
                      ? " (compression '" + Code(&look.head[comm + kCommonSize]) + "')"
                      : "");
    } else if (type != "AIFF") {
        v.what = "an IFF file of type '" + type + "', not AIFF";
    } else if (comm != kFormHeaderSize) {
        v.what = "an AIFF file whose common chunk does not follow the FORM header";
    } else if (!found) {
        v.what = "an AIFF file cut short in its common chunk";
    } else if (LoadBE16(&look.head[comm + 8]) != 2 || LoadBE16(&look.head[comm + 14]) != 16) {
        v.what = "an AIFF file of " + Number(LoadBE16(&look.head[comm + 8])) + " channel(s) of " +
                 Number(LoadBE16(&look.head[comm + 14])) + "-bit samples";
    } else if (!Playable(look, written)) {
        // Laid out as the player expects, at a rate it does not play as written.
        v.what = "an AIFF file at " + Number(written) + " Hz";
        std::vector<std::string> clauses;
        if (played != static_cast<std::uint32_t>(written)) {
            const char* why = !look.vra ? ", without variable-rate audio"
                              : (static_cast<std::uint32_t>(written) & 0xFFFFu) !=
                                      static_cast<std::uint32_t>(written)
                                  ? " from its 16-bit rate register"
                                  : ", the nearest rate it makes";
            clauses.push_back(
                "the codec gets " + Number(played) + " Hz" + why +
                (played < static_cast<std::uint32_t>(written) ? ": too slow" : ": too fast"));
        }
        if (look.spdif && SpdifMarked(written) != played) {
            clauses.push_back("over S/PDIF it goes out marked " + Number(SpdifMarked(written)) +
                              " Hz: too " + (SpdifMarked(written) > played ? "fast" : "slow") +
                              " for a receiver");
        }
        v.does = clauses[0] + (clauses.size() > 1 ? ", and " + clauses[1] : "");
        v.command = SoxCommand(look, true);
        return v;
    } else {
        return v;
    }
    v.does = "the player plays it as 16-bit stereo from byte " + Number(kHeaderReadSize) + " at " +
             Number(played) + " Hz";
    if (played != static_cast<std::uint32_t>(written)) {
        v.does += ", what the codec makes of the " + Number(written) + " it reads at byte " +
                  Number(kIffRateOffset);
    }
    v.command = SoxCommand(look, !Playable(look, rate));
    return v;
}

Verdict Ac3Verdict(const Look& look, const char*) {
    const Ac3HeaderInfo info = ParseAc3SyncInfo(look.head.data());
    // E-AC-3 shares the sync word; its bitstream identification is 11 to 16.
    const unsigned bsid = look.head[5] >> 3;
    const bool enhanced = bsid > 10 && bsid <= 16;
    Verdict v{.what = enhanced ? "an E-AC-3 (Dolby Digital Plus) stream" : "an AC-3 stream",
              .command = Ac3Command(look)};
    if (info.refusal == Ac3Refusal::None) {
        v.seconds = std::ceil(static_cast<double>(look.size) / info.frameLength) *
                    iec61937::kAc3FramesPerBurst / info.sampleRate;
        if (enhanced) {
            v.does = "the player takes it for AC-3 at " + Number(info.bitRate) +
                     " kbit/s and passes it through in " + Number(info.frameLength) +
                     "-byte pieces, which a receiver cannot decode";
        } else if (!look.spdif) {
            v.does = "the player passes it through as bursts, but with the S/PDIF transmitter "
                     "off they go to the line out as noise";
        }
        return v;
    }
    const std::string raw = " as raw 16-bit stereo at 48000 Hz: noise";
    if (enhanced) {
        v.does =
            "the player takes it for AC-3, refuses it (\"" + PlayersRefusal(info) + "\"" +
            (info.refusal == Ac3Refusal::BitRate ? ", though the bitrate is not the matter" : "") +
            ") and plays it" + raw;
        return v;
    }
    const unsigned fscod = look.head[4] >> 6;
    if (info.refusal == Ac3Refusal::BitRate) {
        v.what +=
            info.frameSizeCode / 2 < std::size(kAc3BitRates)
                ? " at " + Number(kAc3BitRates[info.frameSizeCode / 2]) + " kbit/s"
                : " with frame size code " + Number(info.frameSizeCode) + ", which no bitrate has";
    } else {
        v.what += fscod < std::size(kAc3Rates) ? " at " + Number(kAc3Rates[fscod]) + " Hz"
                                               : " with the reserved sample rate code 3";
    }
    v.does = "the player passes through AC-3 at 48000 Hz and 256 to 512 kbit/s only, and "
             "plays this one" +
             raw;
    return v;
}

Verdict RiffVerdict(const Look& look, const char*) {
    Verdict v{.does = kRawNoise, .command = AiffCommand(look)};
    const std::string type = Code(&look.head[8]);
    if (type != "WAVE") {
        v.what = "a RIFF file of type '" + type + "'";
        return v;
    }
    constexpr std::uint64_t kRiffHeaderSize = 12, kFormatSize = 24, kExtensibleSize = 34;
    const std::uint64_t fmt = FindChunk(look, kRiffHeaderSize, "fmt ", false);
    if (fmt + kFormatSize > look.head.size()) {
        v.what = "a WAV file";
        return v;
    }
    constexpr std::uint16_t kPcm = 1, kFloat = 3, kExtensible = 0xFFFE;
    const std::uint8_t* f = &look.head[fmt + 8];
    std::uint16_t format = LoadLE16(f);
    if (format == kExtensible && fmt + 8 + kExtensibleSize <= look.head.size()) {
        format = LoadLE16(f + 24); // the sub-format GUID's first two bytes
    }
    const unsigned channels = LoadLE16(f + 2), bits = LoadLE16(f + 14);
    const std::uint32_t rate = LoadLE32(f + 4);
    if (format == 0x2000 || format == 0x0092) {
        v.what = "AC-3 inside a WAV file";
        v.command = Ac3Command(look);
    } else if (format == kPcm || format == kFloat) {
        v.what = "a WAV file of " + Number(channels) + " channel(s) of " + Number(bits) + "-bit " +
                 (format == kPcm ? "PCM" : "floating-point samples") + " at " + Number(rate) +
                 " Hz";
        v.does = "the player has no WAV reader and plays it, header and all, as raw 16-bit "
                 "stereo at 48000 Hz";
        if (format != kPcm || channels != 2 || bits != 16) {
            v.does += ": noise";
        } else if (rate != kDefaultRate) {
            v.does += rate < kDefaultRate ? ": too fast" : ": too slow";
        }
        v.command = SoxCommand(look, !Playable(look, rate));
    } else {
        char code[8];
        std::snprintf(code, sizeof code, "0x%04X", format);
        v.what = std::string("a WAV file in format ") + code;
    }
    return v;
}

// The note on a format that the player plays as raw data.
Verdict NoiseVerdict(const Look& look, const char* what) {
    return {.what = what, .does = kRawNoise, .command = AiffCommand(look)};
}

// An MPEG audio frame header: the 11-bit sync, then a version, layer,
// bitrate and rate that are not reserved.
bool IsMpegAudio(const Look& look) {
    const std::uint8_t* h = look.head.data();
    return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && ((h[1] >> 3) & 3) != 1 &&
           ((h[1] >> 1) & 3) != 0 && (h[2] >> 4) != 0 && (h[2] >> 4) != 15 &&
           ((h[2] >> 2) & 3) != 3;
}

// The offset of an AC-3 sync word after the first byte whose frame is
// followed by another sync word; 0 when there is none.
std::uint64_t Ac3FurtherIn(const Look& look) {
    const std::span<const std::uint8_t> h = look.head;
    for (std::uint64_t at = 1; at + 6 <= h.size(); ++at) {
        if (LoadBE16(&h[at]) != kAc3SyncWord) {
            continue;
        }
        const std::uint64_t next = at + Ac3FrameBytes(&h[at]);
        if (next > at && next + 2 <= h.size() && LoadBE16(&h[next]) == kAc3SyncWord) {
            return at;
        }
    }
    return 0;
}

Verdict Ac3FurtherInVerdict(const Look& look, const char*) {
    return {.what = "an AC-3 stream that starts at byte " +
                    Number(static_cast<std::int64_t>(Ac3FurtherIn(look))) + ", not on a sync word",
            .does = kRawNoise,
            .command = Ac3Command(look)};
}

// Each format the player misplays, as its first bytes show it, in the order
// they are tried; a file none of them knows is raw data, as the player takes it.
struct Format {
    const char* what = nullptr; // for a verdict that says no more than what it is
    std::uint64_t at = 0;       // where magic is
    std::string_view magic{};
    bool (*matches)(const Look&) = nullptr; // when the magic is not all
    Verdict (*verdict)(const Look&, const char* what) = NoiseVerdict;
};

const Format kFormats[] = {
    {.magic = "FORM", .verdict = IffVerdict},
    {.magic = "\x0B\x77", .verdict = Ac3Verdict},
    {.magic = "RIFF", .verdict = RiffVerdict},
    {.what = "a FLAC file", .magic = "fLaC"},
    {.what = "an Ogg file", .magic = "OggS"},
    {.what = "a Matroska or WebM file", .magic = "\x1A\x45\xDF\xA3"},
    {.what = "an MP4 or M4A file", .at = 4, .magic = "ftyp"},
    {.what = "an MP3 file", .magic = "ID3"},
    {.what = "an MP3 file", .matches = IsMpegAudio},
    {.matches = [](const Look& look) { return Ac3FurtherIn(look) != 0; },
     .verdict = Ac3FurtherInVerdict},
};

} // namespace

FileNote NoteFor(const std::string& path, std::span<const std::uint8_t> head, std::uint64_t size,
                 const machine::Config& config) {
    std::vector<std::uint8_t> padded(head.begin(), head.end());
    padded.resize(std::max<std::size_t>(padded.size(), kHeaderReadSize));
    // The player turns variable-rate audio on with the transmitter.
    const Look look{path, padded, size, config.spdifOn, config.spdifOn || config.vraOn};
    Verdict v;
    for (const Format& format : kFormats) {
        if (!At(look, format.at, format.magic) || (format.matches && !format.matches(look))) {
            continue;
        }
        v = format.verdict(look, format.what);
        break;
    }
    FileNote note;
    note.rate = v.rate;
    note.seconds = v.seconds >= 0
                       ? v.seconds
                       : static_cast<double>(size) / (kDefaultRate * double{kStereoFrameBytes});
    if (!v.does.empty()) {
        note.text = path + ": " + v.what + "; " + v.does + ". Convert it with: " + v.command;
    }
    return note;
}

FileNote NoteForFile(const std::string& path, const machine::Config& config) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> head(kNoteReadSize);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    const std::uint64_t size = std::filesystem::file_size(path, error);
    if (!in.is_open() || error) {
        return {};
    }
    return NoteFor(path, head, size, config);
}

std::string ShellQuoted(const std::string& path) {
    std::string quoted = path.starts_with('-') ? "'./" : "'";
    for (const char c : path) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

} // namespace app
