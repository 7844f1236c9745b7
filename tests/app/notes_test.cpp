// The note the programs give on a file the player will misplay: what it is,
// how it will really play, and a command that converts it so that it plays
// right.
#include <algorithm>
#include <filesystem>
#include <tuple>

#include <gtest/gtest.h>

#include "app/file_notes.h"
#include "app/wav_sink.h"
#include "platform/byteorder.h"
#include "support/harness.h"

namespace {

using namespace harness;

// A WAV file's header and a second of silence: `format` 1 is PCM.
Bytes Wav(std::uint32_t rate, std::uint16_t format = 1) {
    const auto header = app::WavHeader(rate, 0);
    Bytes file(header.begin(), header.end());
    StoreLE16(&file[20], format);
    file.resize(file.size() + std::size_t{rate} * 4);
    return file;
}

Bytes WithByte(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
}

TEST(Notes, EachFormatTheNoteAndTheRateItPlaysAt) {
    const machine::Config off{.spdifOn = false}, neither{.spdifOn = false, .vraOn = false};
    const Bytes ac3 = Concat({Ac3Frame(0, 30, 0x700, 1), Ac3Frame(0, 30, 0x700, 2)});
    const Bytes aiffc = Concat({{'F', 'O', 'R', 'M', 0, 0, 0, 64, 'A', 'I', 'F', 'C'},
                                {'C', 'O', 'M', 'M', 0, 0, 0, 24, 0, 2, 0, 0, 0, 0, 0, 16},
                                Extended(44100),
                                {'s', 'o', 'w', 't'}});
    // As ffmpeg writes it with a title: a NAME chunk before the common chunk.
    Bytes titled = Aiff(96000, Pattern(64));
    titled.insert(titled.begin() + 12,
                  {'N', 'A', 'M', 'E', 0, 0, 0, 8, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
    struct Row {
        const char* name;
        Bytes file;
        std::string note{}; // a part of the note; empty: no note
        std::uint32_t hz = 48000;
        machine::Config config{};
        double seconds = -1; // the length it gives; -1: not looked at
        std::string path = "in";
    };
    const auto tagged = [](Bytes magic) { return Concat({magic, Pattern(64)}); };
    const Bytes wav = Wav(44100), tone = Pattern(64), high = Aiff(96000, tone);
    const Bytes cd = Aiff(44100, tone), low = Aiff(22050, tone);
    const Row rows[] = {
        {.name = "AIFF", .file = Aiff(44100, Pattern(7048)), .hz = 44100, .seconds = 0.04},
        {.name = "96 kHz AIFF, a quote in its name",
         .file = high,
         .note = "it's.aiff: an AIFF file at 96000 Hz; the codec gets 30464 Hz from its 16-bit "
                 "rate register: too slow, and over S/PDIF it goes out marked 48000 Hz: too fast "
                 "for a receiver. Convert it with: sox 'it'\\''s.aiff' -b 16 -c 2 -r 48000 "
                 "--comment \"\" out.aiff",
         .hz = 30464,
         .path = "it's.aiff"},
        {.name = "no VRA", .file = high, .note = "48000 Hz, without", .config = neither},
        {.name = "4 kHz", .file = Aiff(4000, tone), .note = "8000 Hz", .hz = 8000, .config = off},
        {.name = "a title first",
         .file = titled,
         .note = "at 48000 Hz, what the codec makes of the 2147483647 it reads at byte 28"},
        {.name = "22.05 kHz", .file = low, .note = "goes out marked", .hz = 22050},
        {.name = "22.05 kHz, no S/PDIF", .file = low, .hz = 22050, .config = off},
        {.name = "mono", .file = WithByte(cd, 21, 1), .note = "1 channel(s)", .hz = 44100},
        {.name = "AIFF-C", .file = aiffc, .note = "AIFF-C file (compression 'sowt')", .hz = 44100},
        {.name = "AC-3", .file = ac3, .seconds = 0.064},
        {.name = "AC-3, no S/PDIF", .file = ac3, .note = "line out as noise", .config = off},
        {.name = "44.1 kHz AC-3",
         .file = Ac3Frame(1, 28, 0x700),
         .note = "AC-3 stream at 44100 Hz; the player passes through AC-3 at 48000 Hz and 256 to "
                 "512 kbit/s only, and plays this one as raw 16-bit stereo at 48000 Hz: noise."},
        {.name = "192 kbit/s", .file = Ac3Frame(0, 20, 0x300), .note = "stream at 192 kbit/s"},
        {.name = "E-AC-3",
         .file = WithByte(Ac3Frame(0, 52, 0x700), 5, 16 << 3),
         .note = "E-AC-3 (Dolby Digital Plus) stream; the player takes it for AC-3, refuses it "
                 "(\"Unsupported bitrate (code 52)\", though the bitrate is not the matter)"},
        {.name = "AC-3 later", .file = Concat({tone, ac3}), .note = "starts at byte 64, not on"},
        {.name = "WAV",
         .file = wav,
         .note = "a WAV file of 2 channel(s) of 16-bit PCM at 44100 Hz; the player has no WAV "
                 "reader and plays it, header and all, as raw 16-bit stereo at 48000 Hz: too fast",
         .seconds = (44 + 176400) / 192000.0},
        {.name = "96 kHz WAV", .file = Wav(96000), .note = "too slow. Convert it with: sox"},
        {.name = "AC-3 in WAV", .file = Wav(48000, 0x2000), .note = "in: AC-3 inside a WAV"},
        {.name = "FLAC",
         .file = tagged({'f', 'L', 'a', 'C'}),
         .note = "in: a FLAC file; the player plays it as raw 16-bit stereo at 48000 Hz: noise."},
        {.name = "Ogg", .file = tagged({'O', 'g', 'g', 'S'}), .note = "an Ogg file"},
        {.name = "Matroska", .file = tagged({0x1A, 0x45, 0xDF, 0xA3}), .note = "a Matroska"},
        {.name = "MP4", .file = tagged({0, 0, 0, 32, 'f', 't', 'y', 'p'}), .note = "an MP4"},
        {.name = "ID3", .file = tagged({'I', 'D', '3', 4}), .note = "an MP3 file;"},
        {.name = "MP3", .file = tagged({0xFF, 0xFB, 0x90, 0x64}), .note = "an MP3 file;"},
        {.name = "MPEG layer 0", .file = tagged({0xFF, 0xF9, 0x90, 0x64})},
        {.name = "raw", .file = Pattern(96000), .seconds = 0.5},
        {.name = "a name like an option", .file = wav, .note = "sox './-in' -b 16", .path = "-in"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const app::FileNote note = app::NoteFor(row.path, row.file, row.file.size(), row.config);
        if (row.note.empty()) {
            EXPECT_EQ(note.text, "");
        } else {
            EXPECT_NE(note.text.find(row.note), std::string::npos) << note.text;
        }
        EXPECT_EQ(note.rate, row.hz);
        if (row.seconds >= 0) {
            EXPECT_DOUBLE_EQ(note.seconds, row.seconds);
        }
    }
}

// The command of a note, run as printed, makes a file that plays right.
TEST(Notes, TheCommandPlaysRight) {
    if (!KESTREL_HOST_TOOLS) {
        GTEST_SKIP() << "no ffmpeg or sox through the emulator";
    }
    const std::string tone = "-f lavfi -i sine=duration=0.2 -ac 2";
    // The command that makes FILE, FILE's name, and what the player prints for the converted file.
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"sox -n -r 44100 -b 16 -c 2 FILE synth 0.2 sine 440", "it's a.wav", "freq: 44100\n"},
        {"ffmpeg -loglevel error " + tone + " -c:a ac3 -b:a 192k FILE", "a.ac3",
         "AC3 Stream SampleRate = 48000Hz BitRate = 448kbit\n"},
        {"sox -n -r 96000 -b 16 -c 2 FILE synth 0.2 sine 440", "high.aiff", "freq: 48000\n"},
        {"ffmpeg -loglevel error " + tone + " FILE", "a.mp3", "freq: 48000\n"},
    };
    for (const auto& [make, file, plays] : rows) {
        SCOPED_TRACE(file);
        const std::string dir = ScratchPath("convert-" + file);
        std::filesystem::create_directories(dir);
        std::vector<std::string> making = Words(make);
        std::replace(making.begin(), making.end(), std::string("FILE"), dir + "/" + file);
        ASSERT_EQ(RunProgram(making).status, 0);
        const Process noted = RunProgram({"kestrel-machine", "--", "kestrel", dir + "/" + file});
        const std::size_t at = noted.err.find("Convert it with: ");
        ASSERT_NE(at, std::string::npos) << noted.err;
        const std::string command = noted.err.substr(at + 17, noted.err.find('\n', at) - at - 17);
        const Process converted =
            RunProgram({"sh", "-c", "cd " + app::ShellQuoted(dir) + " && " + command});
        ASSERT_EQ(converted.status, 0) << command << "\n" << converted.err;
        const std::string out = dir + "/out." + command.substr(command.rfind('.') + 1);
        const Process played = RunProgram({"kestrel-machine", "--", "kestrel", out});
        EXPECT_EQ(played.err, "");
        EXPECT_NE(played.out.find(plays), std::string::npos) << played.out;
    }
}

} // namespace
