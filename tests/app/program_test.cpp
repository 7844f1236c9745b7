// kestrel and kestrel-machine as a user runs them: the option parser, exit
// statuses, what each stream carries, the captures however a run stops, the
// version tag, the sound device and the trace file; and the note they give on
// a file the player will misplay, with a command that converts it so that it
// plays right.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "app/device_feed.h"
#include "app/file_notes.h"
#include "app/host_device.h"
#include "app/options.h"
#include "app/outcome.h"
#include "app/wav_sink.h"
#include "platform/byteorder.h"
#include "support/harness.h"

namespace {

using namespace harness;

const std::string kPlayingLine = "Playing file (CTRL-C to abort playing)";
const std::string kPlaying = kPlayingLine + "\n";
const std::string kRawOutput = "Transfering audio data\n" + kPlaying;

const std::string kKestrel = KESTREL_PROGRAM_DIR "/kestrel";

// The captures, kestrel-machine writing both, and the files it plays.
struct Files {
    std::string dac = ScratchPath("dac.wav"), trace = ScratchPath("trace.jsonl");
    std::string m = "kestrel-machine --dac-wav=" + dac + " --trace=" + trace + " ";
    // Half a second, with UTF-8 in its name and a byte that is not.
    std::string half = " " + WriteFile("half-\u00e9\xff", Pattern(96000));
    // Ten seconds.
    std::string ten = " " + WriteFile("ten", Pattern(1920000));
};
const Files& Shared() {
    static const Files files;
    return files;
}

// Runs a command line, split at spaces, with the harness's sound devices and
// nothing left from before of what they and the captures wrote.
Process Shell(const std::string& line, int signal = 0, const Strings& env = {}) {
    for (const std::string& path : {Shared().dac, Shared().trace, ScratchPath("played.raw")}) {
        std::filesystem::remove(path);
    }
    return RunProgram(Words(line), {env, signal != 0 ? kPlayingLine : "", signal,
                                    signal == SIGKILL ? "1.5" : "0"});
}

// A played run's captures: a valid WAV file, and a trace that goes on to the
// teardown's last step, or to the hang.
void ExpectPlayedCaptures(bool hung) {
    EXPECT_EQ(ParseWav(ReadFile(Shared().dac)).error, "");
    const Bytes text = ReadFile(Shared().trace);
    const std::string last = hung ? "task\"}\n" : "\"ac97mixer.library\"}\n";
    EXPECT_EQ(std::string(text.end() - std::min(text.size(), last.size()), text.end()), last);
}

// What each option of kestrel-machine sets.
TEST(MachineOptions, Fields) {
    // Every option, shortened or not, with its value after "=" or as the next word.
    const app::ParsedOptions parsed = app::ParseMachineOptions(Words(
        "--speed=0.25 --clock real --dac-wav=a=b --spdif-w s --tr t --live=p --rep --spdif=off "
        "--vra=off --vra on --fail=read:3 --fail=device --fail memory --slow-read=2:0 "
        "--break-af=2 --break-at-ms=5 --live-sp r -- kestrel --live"));
    ASSERT_TRUE(parsed.options.has_value()) << parsed.error;
    const app::MachineOptions& o = *parsed.options;
    const machine::Config& c = o.config;
    EXPECT_EQ(std::tie(c.speed, c.clock), std::tuple(0.25, machine::ClockKind::Real));
    EXPECT_EQ(o.dacWav + " " + o.spdifWav + " " + o.trace + " " + o.livePcm + " " + o.liveSpdifPcm,
              "a=b s t p r");
    EXPECT_EQ(std::tie(o.live, o.report, c.spdifOn, c.vraOn), std::tuple(true, true, false, true));
    EXPECT_EQ(c.faults, (std::set{machine::Fault::Device, machine::Fault::Memory}));
    EXPECT_EQ(c.slowReadMs, (std::map<int, std::uint32_t>{{2, 0}}));
    EXPECT_EQ(std::tie(c.failReadAt, c.breakAfterBlocks, c.breakAtUs), std::tuple(3, 2LL, 5000LL));
    // All after "--" is the player's.
    EXPECT_EQ(o.command, (Strings{"kestrel", "--live"}));
}

// What the clock cannot honour is refused, the message naming the limit.
TEST(MachineOptions, Limits) {
    const std::pair<const char*, const char*> rows[] = {
        {"--speed=1e300", "--speed=1e300: the speed is a number from 0.01 to 1000"},
        {"--speed=0.001", "--speed=0.001: the speed is a number from 0.01 to 1000"},
        {"--break-at-ms=18446744073710", "up to 4611686018427, the latest machine time"},
        {"--break-after-blocks=0", "--break-after-blocks=0: N is a whole number of block ends"},
    };
    for (const auto& [option, error] : rows) {
        const auto parsed =
            app::ParseMachineOptions(Words(std::string("--clock=real ") + option + " -- k x"));
        EXPECT_NE(parsed.error.find(error), std::string::npos) << option << ": " << parsed.error;
    }
}

// Each command line's status and streams. With no interrupt server and no
// terminal to press CTRL-C at, the wait is the machine's hang report. An
// output that cannot be written is named once with the system's reason; the
// player's run goes on as ever and the status is 74, unless the player failed.
// Two outputs on one file are a bad option. A file that does not open is one
// line: no sound device is opened for a run that plays nothing. A bad option,
// or a player that cannot open its file, leaves no capture behind.
TEST(Programs, StatusAndStreams) {
    const auto& [dac, trace, m, half, ten] = Shared();
    const std::string none = ScratchPath("none"), dir = ScratchPath("dir");
    std::filesystem::create_directory(dir);
    // As sox writes it by default: a comment chunk before the common chunk.
    Bytes aiff = Aiff(44100, Pattern(6144));
    aiff.insert(aiff.begin() + 12, {'A', 'N', 'N', 'O', 0, 0, 0, 4, 'a', 'b', 'c', 'd'});
    const std::string sox = WriteFile("sox.aiff", aiff);
    // What kestrel-machine says on standard error, a line.
    const auto says = [](const std::string& line) { return "kestrel-machine: " + line + "\n"; };
    const std::string full = says("/dev/full: No space left on device"),
                      missing = none + ": No such file or directory",
                      retry = "Try 'kestrel-machine --help'.\n";
    struct Row {
        std::string line;
        int status = 0;
        std::string out = kRawOutput, err{};
        Strings env{};
    };
    const Row rows[] = {
        {.line = m + "-- kestrel " + none, .status = 20, .err = says(missing)},
        {.line = m + "-- kestrel " + dir, .status = 20, .err = says(dir + ": Is a directory")},
        {.line = m + "-- kestrel " + sox,
         .out = "Transfering audio data\nfreq: 0\n" + kPlaying,
         .err = says(sox +
                     ": an AIFF file whose common chunk does not follow the FORM header; "
                     "the player plays it as 16-bit stereo from byte 46 at 8000 Hz, what "
                     "the codec makes of the 0 it reads at byte 28. Convert it with: sox '" +
                     sox + "' -b 16 -c 2 --comment \"\" out.aiff")},
        {.line = m + "--fail=int-server -- kestrel" + half,
         .status = 70,
         .out = "failed to add int handler\n" + kRawOutput,
         .err = says("violation: hang: Wait with nothing that can wake the task")},
        {.line = m + "--report -- kestrel" + half,
         .err = says("16 blocks played, 0.552 s machine time, 0 overruns, 0 violations, refill "
                     "slack min 32.000 ms (block 2), median 32.000 ms, max 32.000 ms")},
        {.line = m + "--xx -- kestrel" + half,
         .status = 2,
         .err = says("unknown option '--xx'") + retry},
        {.line = "kestrel-machine --vers", .out = "kestrel-machine (kestrel) 1.0 (15.12.05)\n"},
        {.line = "kestrel-machine --trace=/dev/full -- kestrel" + half, .status = 74, .err = full},
        {.line = "kestrel-machine --dac=/dev/full -- kestrel" + half, .status = 74, .err = full},
        {.line = "kestrel-machine --spdif-wav=" + none + "/x -- kestrel" + half,
         .status = 74,
         .err = says(none + "/x: No such file or directory")},
        {.line = m + "--timeline=" + dir + "/../trace.jsonl -- kestrel" + half,
         .status = 2,
         .err = says("--timeline=" + dir + "/../trace.jsonl: the same file as --trace") + retry},
        {.line = "kestrel-machine --dac-wav=" + dir + "/../new --spdif-wav=" + ScratchPath("new") +
                 " -- kestrel" + half,
         .status = 2,
         .err = says("--spdif-wav=" + ScratchPath("new") + ": the same file as --dac-wav") + retry},
        {.line = "kestrel" + half + half,
         .status = 100,
         .out = "Usage: " + kKestrel + " filename\n"},
        {.line = "kestrel --version", .out = "kestrel 1.0 (15.12.05)\n"},
        {.line = "kestrel" + half},
        {.line = "kestrel " + none,
         .status = 20,
         .err = "kestrel: " + missing + "\n",
         .env = {"KESTREL_PCM=none", "KESTREL_SPDIF_PCM=none"}},
        {.line = "kestrel" + half,
         .status = 74,
         .err = "kestrel: /dev/full: No space left on device\n",
         .env = {"KESTREL_TIMELINE=/dev/full"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        const Process run = Shell(row.line, 0, row.env);
        EXPECT_EQ(run.status, row.status);
        // A bad option, or a file the player cannot open, is not played.
        EXPECT_EQ(run.out, row.status == 2 || row.status == 20 ? "" : row.out);
        EXPECT_EQ(run.err, row.err);
        const bool captured = row.line.starts_with(m) && row.status != 2 && row.status != 20;
        EXPECT_EQ(std::filesystem::exists(dac), captured);
        EXPECT_EQ(std::filesystem::exists(trace), captured);
        if (captured) {
            ExpectPlayedCaptures(row.status == 70);
        }
    }
}

// A signal while the file plays stops it as CTRL-C does: the run ends as a
// played one, having heard less than the file. Setup takes 300 ms, so that a
// signal sent during it, which the player would not see, lets the file play
// on to its end. SIGKILL leaves a capture whose header counts all but at most
// the last second (a huge difference when it counts more).
TEST(Programs, ASignalStopsPlayback) {
    const auto& [dac, trace, m, half, ten] = Shared();
    const std::string real = m + "--clock=real --slow-read=2:300 -- kestrel" + ten;
    const std::pair<int, std::string> rows[] = {
        {SIGINT, real},
        {SIGTERM, real},
        {SIGHUP, real},
        {SIGKILL, m + "--clock=real --speed=4 --slow-read=2:1200 -- kestrel" + ten},
        {SIGINT, "kestrel" + ten}};
    for (const auto& [signal, line] : rows) {
        SCOPED_TRACE(std::to_string(signal) + " " + line);
        const Process run = Shell(line, signal);
        EXPECT_EQ(run.status, signal == SIGKILL ? 128 + SIGKILL : 0);
        EXPECT_EQ(run.out, kRawOutput);
        EXPECT_EQ(run.err, "");
        const Bytes file = ReadFile(line.starts_with(m) ? dac : ScratchPath("played.raw"));
        if (signal == SIGKILL) {
            ASSERT_GE(file.size(), 44u);
            EXPECT_LT(file.size() - 44 - LoadLE32(&file[40]), 192000u);
        } else if (line.starts_with(m)) {
            ExpectPlayedCaptures(false);
            EXPECT_LT(ParseWav(file).data.size(), 1920000u);
        } else if (KESTREL_HAVE_ALSA) {
            EXPECT_LT(file.size(), 1920000u);
        }
    }
}

// The trace is JSON Lines, the file's name in it UTF-8 or escaped: the first
// event, the contexts, machine time never going back, an object a line.
TEST(Programs, TraceIsJsonLines) {
    ASSERT_EQ(Shell(Shared().m + "-- kestrel" + Shared().half).status, 0);
    const Bytes text = ReadFile(Shared().trace);
    const std::string jq = "jq -s -c [.[0].ev,(map(.ctx)|unique),(map(.t)|.==sort),length] ";
    EXPECT_EQ(RunProgram(Words(jq + Shared().trace)).out,
              "[\"library_open\",[\"int\",\"task\"],true," +
                  std::to_string(std::count(text.begin(), text.end(), '\n')) + "]\n");
}

// Each help (-h; the install's manual pages are made from --help) begins with
// its usage line, and names what it takes from the environment.
TEST(Programs, Help) {
    for (const std::string program : {"kestrel-machine", "kestrel"}) {
        const Process help = Shell(program + " -h");
        EXPECT_EQ(help.status, 0);
        EXPECT_TRUE(help.out.starts_with(
            "Usage: " + program +
            (program == "kestrel" ? " FILE\n" : " [OPTION]... -- COMMAND [ARG]...\n")))
            << help.out;
        EXPECT_NE(help.out.find("KESTREL_SPDIF_PCM"), std::string::npos);
    }
}

// kestrel's line out reaches the ALSA PCM, here one that writes a file: the
// file's data, then silence.
TEST(Programs, LineOutReachesTheAlsaPcm) {
    if (!KESTREL_HAVE_ALSA) {
        GTEST_SKIP() << "built without ALSA";
    }
    ASSERT_EQ(Shell("kestrel" + Shared().half).status, 0);
    const Bytes played = ReadFile(ScratchPath("played.raw"));
    EXPECT_EQ(Mismatch(played, Padded(Pattern(96000), std::max(played.size(), std::size_t{96000}))),
              "");
}

// The player carries its version tag, NUL included.
TEST(Programs, VersionTag) {
    const Bytes binary = ReadFile(kKestrel);
    const std::string tag("$VER: kestrel 1.0 (15.12.05)", 29);
    EXPECT_NE(std::search(binary.begin(), binary.end(), tag.begin(), tag.end()), binary.end());
}

// An output that names the player's input, by its path or through a link, is
// refused before anything is written: the input stays as it was.
TEST(Programs, NoOutputIsTheInput) {
    const Bytes aiff = Aiff(48000, Pattern(4096));
    const std::string input = WriteFile("victim.aiff", aiff), hard = ScratchPath("hard.aiff"),
                      soft = ScratchPath("soft.aiff");
    std::filesystem::create_hard_link(input, hard);
    std::filesystem::create_symlink(input, soft);
    const std::string same = ": the same file as the player's input\n";
    for (const std::string option : {"--dac-wav=", "--spdif-wav=", "--trace=", "--timeline="}) {
        for (const std::string& way : {input, hard, soft}) {
            SCOPED_TRACE(option + way);
            const Process run = RunProgram({"kestrel-machine", option + way, "--", "kestrel", way});
            EXPECT_EQ(run.status, 2);
            EXPECT_EQ(run.err, "kestrel-machine: " + option + way + same +
                                   "Try 'kestrel-machine --help'.\n");
            EXPECT_EQ(Mismatch(ReadFile(input), aiff), "");
        }
    }
    const Process run = RunProgram({"kestrel", input}, {.env = {"KESTREL_TIMELINE=" + hard}});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "kestrel: KESTREL_TIMELINE=" + hard + same);
    EXPECT_EQ(Mismatch(ReadFile(input), aiff), "");
}

// Lines as a terminal shows them: '\r' goes back to the line's start, ESC [ K
// erases from there.
Strings Screen(const std::string& typed) {
    Strings lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        if (typed[i] == '\r' || typed[i] == '\n') {
            column = 0;
            lines.resize(lines.size() + (typed[i] == '\n'));
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

// Through the host's shell and a pseudo-terminal. The progress line gives way
// to the player's words and comes back after them, and is cleared at the end:
// the terminal shows only the player's lines. Its total is the file's length;
// on a pipe it shows the time so far alone, and the player gets every byte
// the file has, as nothing reads ahead of it. A file size limit is a write
// that fails, not a kill.
TEST(Programs, TerminalAndPipe) {
    if (!KESTREL_HOST_TOOLS) {
        GTEST_SKIP() << "no shell or pseudo-terminal through the emulator";
    }
    const std::string raw = WriteFile("second.raw", Pattern(192000));
    const std::string wav = ScratchPath("file.wav"), piped = ScratchPath("pipe.wav");
    // The first Read takes long enough for the line to be drawn before the player speaks.
    const std::string m = kKestrel + "-machine --clock=real --slow-read=1:700 ";
    // What the terminal got before the player's first words.
    const auto before = [](const std::string& command) {
        const Process run = RunProgram({"script", "-qec", command, "/dev/null"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(Screen(run.out), (Strings{"Transfering audio data", kPlaying.substr(0, 38), ""}))
            << run.out;
        return run.out.substr(0, run.out.find("Transfering"));
    };
    EXPECT_NE(before(m + "-- kestrel " + raw).find(" s of 1.0 s, 0 blocks"), std::string::npos);
    EXPECT_EQ(before(m + "--quiet -- kestrel " + raw), "");
    // kestrel draws it too, over the second the file plays.
    const Process played = RunProgram({"script", "-qec", kKestrel + " " + raw, "/dev/null"});
    EXPECT_NE(played.out.find(" s of 1.0 s, "), std::string::npos) << played.out;
    EXPECT_EQ(Screen(played.out), (Strings{"Transfering audio data", kPlaying.substr(0, 38), ""}));
    const std::string pipe =
        before("cat " + raw + " | " + m + "--dac-wav=" + piped + " -- kestrel /dev/stdin");
    EXPECT_NE(pipe.find(" s, 0 blocks"), std::string::npos) << pipe;
    EXPECT_EQ(pipe.find(" of "), std::string::npos) << pipe;
    EXPECT_EQ(Mismatch(Head(ParseWav(ReadFile(piped)).data, 192000), Pattern(192000)), "");
    // 64 blocks of 512 bytes.
    const Process run =
        RunProgram({"sh", "-c", "ulimit -f 64; exec \"$@\"", "sh", kKestrel + "-machine",
                    "--spdif-wav=" + wav, "--", "kestrel", raw});
    EXPECT_EQ(run.status, 74);
    EXPECT_EQ(run.out, kRawOutput);
    EXPECT_EQ(run.err, "kestrel-machine: " + wav + ": File too large\n");
}

// A live device behind its feed: the machine's write never waits for it,
// however long the device blocks; what does not fit the queue is dropped,
// and said once; what fit is played, and drained at the end.
TEST(DeviceFeed, NeverWaitsForTheDevice) {
    struct Held : app::HostDevice {
        std::atomic<bool>& go;
        int& played;
        Held(std::atomic<bool>& g, int& p) : go(g), played(p) {}
        bool Play(const machine::AudioChunk&, std::string*) override {
            SpinUntil([&] { return go.load(); });
            return ++played > 0;
        }
        std::uint64_t Queued() override { return 0; }
        void Drain() override {}
    };
    std::atomic<bool> go{false};
    int played = 0;
    Strings said;
    app::DeviceFeed feed([&](std::string*) { return std::make_unique<Held>(go, played); },
                         [&](const std::string& line) { said.push_back(line); }, "the device",
                         "playing silently");
    const Bytes half(app::DeviceFeed::kQueueBytes / 2);
    const machine::AudioChunk chunk{48000, false, false, 0, half.data(), half.size()};
    for (int i = 0; i < 4; ++i) {
        feed.Write(chunk);
    }
    EXPECT_EQ(said, Strings{"the device cannot keep up; dropping audio"});
    go = true;
    feed.Finish();
    EXPECT_EQ(played, 2);
    // And a report counts one of a kind in the singular.
    machine::Result one;
    one.report = {.blocks = 1, .overruns = 1};
    EXPECT_TRUE(app::ReportLine(one, false)
                    .starts_with("1 block played, 0.000 s machine time, "
                                 "1 overrun, 0 violations"));
}

// The S/PDIF output goes to an IEC958 device with the codec's channel status,
// as ALSA takes it in the PCM's name: non-audio for the bursts, the rate's
// code (32 kHz: 3).
TEST(Programs, SpdifChannelStatus) {
    EXPECT_EQ(app::WithAesParameters("iec958", app::Iec958Status(0x2002)),
              "iec958:AES0=0x02,AES1=0x00,AES2=0x00,AES3=0x02");
    EXPECT_EQ(app::WithAesParameters("hdmi:CARD=0", app::Iec958Status(0x3000)),
              "hdmi:CARD=0,AES0=0x00,AES1=0x00,AES2=0x00,AES3=0x03");
}

Bytes WithByte(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
}

// The AIFF and AC-3 notes: what the codec really gets, the refusal.
TEST(Notes, AiffAndAc3) {
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
    const Bytes tone = Pattern(64), high = Aiff(96000, tone);
    const Bytes cd = Aiff(44100, tone), low = Aiff(22050, tone);
    const Row rows[] = {
        {.name = "AIFF", .file = Aiff(44100, Pattern(7048)), .hz = 44100, .seconds = 0.04},
        {.name = "96 kHz, a quote in the name",
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
        {.name = "mono", .file = WithByte(cd, 21, 1), .note = "1 channel(s)", .hz = 44100},
        {.name = "AIFF-C", .file = aiffc, .note = "AIFF-C file (compression 'sowt')", .hz = 44100},
        {.name = "AC-3", .file = ac3, .seconds = 0.064},
        {.name = "AC-3, no S/PDIF", .file = ac3, .note = "line out as noise", .config = off},
        {.name = "44.1 kHz AC-3",
         .file = Ac3Frame(1, 28, 0x700),
         .note = "stream at 44100 Hz; the player passes through AC-3 at 48000 Hz and 256 to 512"},
        {.name = "192 kbit/s", .file = Ac3Frame(0, 20, 0x300), .note = "stream at 192 kbit/s"},
        {.name = "E-AC-3",
         .file = WithByte(Ac3Frame(0, 52, 0x700), 5, 16 << 3),
         .note = "E-AC-3 (Dolby Digital Plus) stream; the player takes it for AC-3, refuses it"},
        {.name = "raw", .file = Pattern(96000), .seconds = 0.5},
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

// Files made by ffmpeg and sox, as a user has them: each the player misplays
// gets one line whose command, run as printed by a shell, makes a file that
// plays right with no note; raw 16-bit little-endian stereo audio of any kind
// gets none. Through a pipe, a file gets the note it gets on disk.
TEST(Notes, MadeByTheTools) {
    if (!KESTREL_HOST_TOOLS) {
        GTEST_SKIP() << "no ffmpeg or sox through the emulator";
    }
    // Words a row's command line may use.
    const std::map<std::string, std::string> words = {
        {"FF", "ffmpeg -loglevel error -f lavfi -i sine=f=300:d=0.5 -ac 2"},
        {"RAW", "sox -n -t raw -r 48000 -e signed -b 16 -L -c 2 FILE synth 0.5"},
        {"BE", "sox -n -t raw -r 48000 -e signed -b 16 -B -c 2 FILE synth 0.5"},
        {"MUSIC", "pluck C3 pluck G3 remix 1,2 2,1 reverb 40"},
        {"SWEEP", "sox -n -r 48000 -c 1 FILE synth 0.5 sine 200-3000"}};
    struct Row {
        const char* file;
        const char* make;
        const char* note = "";               // a part of the note; empty: none
        const char* plays = "freq: 48000\n"; // a part of what the player says of the converted file
        bool pipe = false;
    };
    const char* const playing = "Playing file";
    const Row rows[] = {
        {.file = "a.au", .make = "FF FILE", .note = "Sun/NeXT audio data"},
        {.file = "a.flac", .make = "FF FILE", .note = "FLAC audio bitstream data"},
        {.file = "a.ogg", .make = "FF FILE", .note = "Ogg data, Vorbis audio"},
        {.file = "a.opus", .make = "FF FILE", .note = "Ogg data, Opus audio"},
        {.file = "a.m4a", .make = "FF FILE", .note = "ISO Media"},
        {.file = "a.wv", .make = "FF FILE", .note = "WavPack"},
        {.file = "a.w64", .make = "FF FILE", .note = "Wave64"},
        {.file = "a.mka", .make = "FF FILE", .note = "Matroska data"},
        {.file = "a.voc", .make = "SWEEP", .note = "Creative Labs voice data"},
        {.file = "a.sph", .make = "SWEEP", .note = "NIST SPHERE"},
        {.file = "a.sox", .make = "SWEEP", .note = "SoX native"},
        {.file = "it's a.wav",
         .make = "FF -ar 44100 FILE",
         .note = "stereo 44100 Hz; the player has no reader for it and plays it, header and all, "
                 "as raw 16-bit little-endian stereo at 48000 Hz: too fast."},
        {.file = "s24",
         .make = "sox -n -t raw -r 48000 -e signed -b 24 -L -c 2 FILE synth 0.5 MUSIC",
         .note = "24-bit little-endian stereo samples"},
        {.file = "s32",
         .make = "sox -n -t raw -r 48000 -e signed -b 32 -L -c 2 FILE synth 0.5 MUSIC",
         .note = "32-bit little-endian stereo"},
        {.file = "f32",
         .make = "sox -n -t raw -r 48000 -e float -b 32 -L -c 2 FILE synth 0.5 MUSIC",
         .note = "32-bit float little-endian stereo"},
        {.file = "u8",
         .make = "sox -n -t raw -r 8000 -e unsigned -b 8 -c 1 FILE synth 0.5 sine 200-3000",
         .note = "8-bit unsigned mono"},
        {.file = "mono",
         .make = "sox -n -t raw -r 48000 -e signed -b 16 -L -c 1 FILE synth 0.5 MUSIC",
         .note = "16-bit little-endian mono samples, at a rate it does not hold; the player plays "
                 "it as raw 16-bit little-endian stereo at 48000 Hz: too fast"},
        {.file = "s16be", .make = "BE MUSIC", .note = "16-bit big-endian stereo samples"},
        {.file = "new\nline\t.flac", .make = "FF FILE", .note = "$'new\\nline\\t.flac': FLAC"},
        {.file = "-x'.raw", .make = "BE MUSIC", .note = "-i './-x'\\''.raw'"},
        {.file = "empty",
         .make = "touch FILE",
         .note = "empty: an empty file; the player plays a moment of silence.\n",
         .plays = ""},
        {.file = "music", .make = "RAW MUSIC", .plays = playing},
        {.file = "speech",
         .make = "RAW sawtooth 110 synth sine amod 4 0 0 70 bandpass 700 3q tremolo 5 80",
         .plays = playing},
        {.file = "tone", .make = "RAW sine 1000", .plays = playing},
        {.file = "sweep", .make = "RAW sine 20-20000", .plays = playing},
        {.file = "quiet", .make = "RAW MUSIC vol 0.01", .plays = playing},
        {.file = "loud", .make = "RAW MUSIC gain 20", .plays = playing},
        {.file = "silence", .make = "RAW sine 0 vol 0", .plays = playing},
        {.file = "b.mp3", .make = "FF FILE", .note = "MPEG ADTS, layer III", .pipe = true},
        {.file = "b.s16be", .make = "BE MUSIC", .note = "16-bit big-endian stereo", .pipe = true},
        {.file = "b.music", .make = "RAW MUSIC", .plays = playing, .pipe = true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string dir = ScratchPath("made-" + std::to_string(&row - rows));
        const std::string path = dir + "/" + row.file;
        std::filesystem::create_directories(dir);
        Strings making;
        for (const std::string& word : Words(row.make)) {
            const auto found = words.find(word);
            for (const std::string& w :
                 found != words.end() ? Words(found->second) : Strings{word}) {
                making.push_back(w == "FILE" ? path : w);
            }
        }
        ASSERT_EQ(RunProgram(making).status, 0) << row.make;
        // In the file's folder, the name as a user types it.
        const auto run = [&](const std::string& line) {
            return RunProgram({"sh", "-c", "cd \"$1\" && " + line, "sh", dir,
                               KESTREL_PROGRAM_DIR "/kestrel-machine", row.file});
        };
        const Process noted = run("\"$2\" -- kestrel \"$3\"");
        EXPECT_EQ(noted.status, 0);
        if (row.pipe) {
            const Process piped = run("cat \"$3\" | \"$2\" -- kestrel /dev/stdin");
            std::string err = piped.err;
            for (std::size_t at; (at = err.find("/dev/stdin")) != std::string::npos;) {
                err.replace(at, 10, row.file);
            }
            EXPECT_EQ(err, noted.err);
            EXPECT_EQ(piped.out, noted.out);
        }
        if (*row.note == '\0') {
            EXPECT_EQ(noted.err, "");
            EXPECT_NE(noted.out.find(row.plays), std::string::npos) << noted.out;
            continue;
        }
        // One line, whatever the name holds.
        EXPECT_EQ(std::count(noted.err.begin(), noted.err.end(), '\n'), 1) << noted.err;
        EXPECT_NE(noted.err.find(row.note), std::string::npos) << noted.err;
        const std::size_t at = noted.err.find("Convert it with: ");
        if (*row.plays == '\0' || row.pipe) {
            continue;
        }
        ASSERT_NE(at, std::string::npos) << noted.err;
        const std::string command = noted.err.substr(at + 17, noted.err.find('\n', at) - at - 17);
        const Process converted =
            RunProgram({"sh", "-c", "cd " + app::ShellQuoted(dir) + " && " + command});
        ASSERT_EQ(converted.status, 0) << command << "\n" << converted.err;
        const std::string out = dir + "/out." + command.substr(command.rfind('.') + 1);
        const Process played = RunProgram({"kestrel-machine", "--", "kestrel", out});
        EXPECT_EQ(played.status, 0);
        EXPECT_EQ(played.err, "");
        EXPECT_NE(played.out.find(row.plays), std::string::npos) << played.out;
    }
}

} // namespace
