// What the programs tell a user that the player cannot: the note on a file it
// will misplay, with a command that converts it, an output that could not be
// written, and progress that never garbles the player's words.
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

const std::string kMachine =
    std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
    "app/kestrel-machine";
const std::string kRawOutput = "Transfering audio data\nPlaying file (CTRL-C to abort playing)\n";

// A WAV file's header and a second of silence: `format` 1 is PCM.
Bytes Wav(std::uint32_t rate, std::uint16_t format = 1, std::uint16_t channels = 2,
          std::uint16_t bits = 16) {
    const auto header = app::WavHeader(rate, 0);
    Bytes file(header.begin(), header.end());
    StoreLE16(&file[20], format);
    StoreLE16(&file[22], channels);
    StoreLE16(&file[34], bits);
    file.resize(file.size() + std::size_t{rate} * 4);
    return file;
}

// An AIFF file with a chunk before the common chunk, as sox and ffmpeg write them.
Bytes AiffAfter(const Bytes& chunk, double rate) {
    Bytes file = Aiff(rate, Pattern(64));
    file.insert(file.begin() + 12, chunk.begin(), chunk.end());
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
    const Bytes comment = {'C', 'O', 'M', 'T', 0, 0, 0, 26, 0, 1, 0xE7, 0x3C, 0xD2, 0x34};
    struct Row {
        const char* name;
        Bytes bytes;
        std::string words{}; // in the note; empty: no note
        std::uint32_t rate = 48000;
        machine::Config config{};
        double seconds = -1; // the length it gives; -1: not looked at
        std::string path = "in";
    };
    const auto tagged = [](Bytes magic) { return Concat({magic, Pattern(64)}); };
    const Bytes wav = Wav(44100), tone = Pattern(64);
    const std::string noise = "; the player plays it as raw 16-bit stereo at 48000 Hz: noise. ";
    const Row rows[] = {
        {.name = "AIFF",
         .bytes = Aiff(44100, Pattern(7056)),
         .rate = 44100,
         .seconds = 7064 / 176400.0},
        {.name = "96 kHz AIFF, a quote in its name",
         .bytes = Aiff(96000, tone),
         .words = "it's.aiff: an AIFF file at 96000 Hz; the codec gets 30464 Hz from its 16-bit "
                  "rate register: too slow, and over S/PDIF it goes out marked 48000 Hz: too fast "
                  "for a receiver. Convert it with: sox 'it'\\''s.aiff' -b 16 -c 2 -r 48000 "
                  "--comment \"\" out.aiff",
         .rate = 30464,
         .path = "it's.aiff"},
        {.name = "no VRA",
         .bytes = Aiff(96000, tone),
         .words = "48000 Hz, without",
         .config = neither},
        {.name = "4 kHz",
         .bytes = Aiff(4000, tone),
         .words = "8000 Hz",
         .rate = 8000,
         .config = off},
        {.name = "a title first",
         .bytes = AiffAfter(
             {'N', 'A', 'M', 'E', 0, 0, 0, 8, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, 96000),
         .words = "at 48000 Hz, what the codec makes of the 2147483647 it reads at byte 28"},
        {.name = "22.05 kHz",
         .bytes = Aiff(22050, tone),
         .words = "goes out marked",
         .rate = 22050},
        {.name = "22.05 kHz, no S/PDIF", .bytes = Aiff(22050, tone), .rate = 22050, .config = off},
        {.name = "a comment first",
         .bytes = AiffAfter(Concat({comment, Pattern(20)}), 44100),
         .words = "in: an AIFF file whose common chunk does not follow the FORM header; the player "
                  "plays it as 16-bit stereo from byte 46 at 8000 Hz, what the codec makes of the "
                  "0 it reads at byte 28. Convert it with: sox 'in' -b 16 -c 2 --comment",
         .rate = 8000},
        {.name = "mono",
         .bytes = WithByte(Aiff(44100, tone), 21, 1),
         .words = "1 channel(s)",
         .rate = 44100},
        {.name = "AIFF-C",
         .bytes = aiffc,
         .words = "AIFF-C file (compression 'sowt')",
         .rate = 44100},
        {.name = "AC-3", .bytes = ac3, .seconds = 0.064},
        {.name = "AC-3, no S/PDIF",
         .bytes = ac3,
         .words = "go to the line out as noise",
         .config = off},
        {.name = "44.1 kHz AC-3",
         .bytes = Ac3Frame(1, 28, 0x700),
         .words =
             "in: an AC-3 stream at 44100 Hz; the player passes through AC-3 at 48000 Hz "
             "and 256 to 512 kbit/s only, and plays this one as raw 16-bit stereo at 48000 "
             "Hz: noise. Convert it with: ffmpeg -i 'in' -c:a ac3 -ar 48000 -b:a 448k out.ac3"},
        {.name = "192 kbit/s", .bytes = Ac3Frame(0, 20, 0x300), .words = "stream at 192 kbit/s"},
        {.name = "E-AC-3",
         .bytes = WithByte(Ac3Frame(0, 52, 0x700), 5, 16 << 3),
         .words = "an E-AC-3 (Dolby Digital Plus) stream; the player takes it for AC-3, refuses "
                  "it (\"Unsupported bitrate (code 52)\", though the bitrate is not the matter)"},
        {.name = "AC-3 later", .bytes = Concat({tone, ac3}), .words = "starts at byte 64, not on"},
        {.name = "WAV",
         .bytes = wav,
         .words = "a WAV file of 2 channel(s) of 16-bit PCM at 44100 Hz; the player has no WAV "
                  "reader and plays it, header and all, as raw 16-bit stereo at 48000 Hz: too "
                  "fast. Convert it with: sox 'in' -b 16 -c 2 --comment",
         .seconds = (44 + 176400) / 192000.0},
        {.name = "96 kHz WAV", .bytes = Wav(96000), .words = "too slow. Convert it with: sox"},
        {.name = "AC-3 in WAV", .bytes = Wav(48000, 0x2000), .words = "in: AC-3 inside a WAV"},
        {.name = "FLAC", .bytes = tagged({'f', 'L', 'a', 'C'}), .words = "in: a FLAC file" + noise},
        {.name = "Ogg", .bytes = tagged({'O', 'g', 'g', 'S'}), .words = "an Ogg file"},
        {.name = "Matroska", .bytes = tagged({0x1A, 0x45, 0xDF, 0xA3}), .words = "a Matroska"},
        {.name = "MP4", .bytes = tagged({0, 0, 0, 32, 'f', 't', 'y', 'p'}), .words = "an MP4"},
        {.name = "ID3", .bytes = tagged({'I', 'D', '3', 4}), .words = "an MP3 file;"},
        {.name = "MP3", .bytes = tagged({0xFF, 0xFB, 0x90, 0x64}), .words = "an MP3 file;"},
        {.name = "MPEG layer 0", .bytes = tagged({0xFF, 0xF9, 0x90, 0x64})},
        {.name = "raw", .bytes = Pattern(96000), .seconds = 0.5},
        {.name = "a name like an option",
         .bytes = wav,
         .words = "sox './-in' -b 16",
         .path = "-in"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const app::FileNote note = app::NoteFor(row.path, row.bytes, row.bytes.size(), row.config);
        if (row.words.empty()) {
            EXPECT_EQ(note.text, "");
        } else {
            EXPECT_NE(note.text.find(row.words), std::string::npos) << note.text;
        }
        EXPECT_EQ(note.rate, row.rate);
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

// A capture or trace that cannot be written is named once, with the
// system's reason; the player's run goes on as ever and the status is 74,
// unless the player failed or a violation was found. Two outputs on one file
// are a bad option. A file that does not open is one line: no sound device is
// opened for a run that plays nothing.
TEST(Outputs, EachFailureIsNamedOnce) {
    const std::string raw = WriteFile("half.raw", Pattern(96000));
    const std::string wav = ScratchPath("out.wav"), none = ScratchPath("none");
    const std::string m = "kestrel-machine ";
    const std::string full = "kestrel-machine: /dev/full: No space left on device\n";
    const std::string retry = "\nTry 'kestrel-machine --help'.\n";
    // A command line, its status and standard error; standard output is the
    // player's as ever when it played, and empty when it did not.
    const std::tuple<std::string, int, std::string> rows[] = {
        {m + "--trace=/dev/full -- kestrel " + raw, 74, full},
        {m + "--dac-wav=/dev/full -- kestrel " + raw, 74, full},
        {m + "--spdif-wav=" + none + "/x.wav -- kestrel " + raw, 74,
         "kestrel-machine: " + none + "/x.wav: No such file or directory\n"},
        {m + "--trace=/dev/full -- kestrel " + none, 20,
         "kestrel-machine: " + none + ": No such file or directory\n" + full},
        {m + "--dac-wav=" + wav + " --trace=" + none + "/../out.wav -- kestrel " + raw, 2,
         "kestrel-machine: --trace=" + none + "/../out.wav: the same file as --dac-wav" + retry},
        {m + "--dac-wav=/dev/full --spdif-wav=/dev/full -- kestrel " + raw, 2,
         "kestrel-machine: --spdif-wav=/dev/full: the same file as --dac-wav" + retry},
    };
    for (const auto& [line, status, err] : rows) {
        SCOPED_TRACE(line);
        const Process run = RunProgram(Words(line));
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.out, status == 74 ? kRawOutput : "");
        EXPECT_EQ(run.err, err);
    }
    ProcessOptions noDevices;
    noDevices.env = {"KESTREL_PCM=none", "KESTREL_SPDIF_PCM=none"};
    const Process kestrel = RunProgram({"kestrel", none}, noDevices);
    EXPECT_EQ(kestrel.status, 20);
    EXPECT_EQ(kestrel.err, "kestrel: " + none + ": No such file or directory\n");
    if (!KESTREL_HOST_TOOLS) {
        return; // no shell through the emulator
    }
    // A file size limit (64 blocks of 512 bytes) is a write that fails, not a kill.
    const Process run = RunProgram({"sh", "-c", "ulimit -f 64; exec \"$@\"", "sh", kMachine,
                                    "--spdif-wav=" + wav, "--", "kestrel", raw});
    EXPECT_EQ(run.status, 74);
    EXPECT_EQ(run.out, kRawOutput);
    EXPECT_EQ(run.err, "kestrel-machine: " + wav + ": File too large\n");
}

// Lines as a terminal shows them: '\r' goes back to the line's start, ESC [ K
// erases from there.
std::vector<std::string> Screen(const std::string& typed) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        if (typed[i] == '\r') {
            column = 0;
        } else if (typed[i] == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (typed.compare(i, 3, "\033[K") == 0) {
            lines.back().resize(column);
            i += 2;
        } else {
            lines.back().resize(std::max(lines.back().size(), column + 1));
            lines.back()[column++] = typed[i];
        }
    }
    return lines;
}

// On a terminal the progress line gives way to the player's words and comes
// back after them; the terminal ends up showing only the player's lines. Its
// total is the file's length; on a pipe, it shows the time so far alone.
TEST(Outputs, TheProgressLineNeverSharesALineWithThePlayer) {
    if (!KESTREL_HOST_TOOLS) {
        GTEST_SKIP() << "no shell or pseudo-terminal through the emulator";
    }
    const std::string raw = WriteFile("second.raw", Pattern(192000));
    // The first Read takes long enough for the line to be drawn before the player speaks.
    const Process run =
        RunProgram({"script", "-qec",
                    kMachine + " --clock=real --slow-read=1:700 -- kestrel " + raw, "/dev/null"});
    EXPECT_EQ(run.status, 0);
    EXPECT_LT(run.out.find(" s of 1.0 s, 0 blocks"), run.out.find("Transfering")) << run.out;
    EXPECT_EQ(Screen(run.out),
              (std::vector<std::string>{"Transfering audio data",
                                        "Playing file (CTRL-C to abort playing)", ""}))
        << run.out;
    const Process pipe = RunProgram(
        {"script", "-qec",
         "cat " + raw + " | " + kMachine + " --clock=real --speed=4 -- kestrel /dev/stdin",
         "/dev/null"});
    EXPECT_EQ(pipe.status, 0);
    EXPECT_NE(pipe.out.find(" s, "), std::string::npos) << pipe.out;
    EXPECT_EQ(pipe.out.find(" s of "), std::string::npos) << pipe.out;
}

} // namespace
