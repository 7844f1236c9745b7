#include "golden.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "subprocess.h"

namespace golden {

namespace {

namespace fs = std::filesystem;
using testing_support::TraceEvent;

const std::string kMachine = KESTREL_MACHINE_PATH;

std::string Hex(unsigned value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", width, value);
    return text;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string Write(unsigned reg, unsigned value) {
    char text[48];
    std::snprintf(text, sizeof text, "codec_write %02x=%04x", reg, value & 0xFFFFu);
    return text;
}

// The values the player read from one codec register, in order.
std::vector<unsigned> Reads(const std::vector<TraceEvent>& trace, unsigned reg) {
    std::vector<unsigned> values;
    for (const TraceEvent& e : trace) {
        if (e.Ev() == "codec_read" && e.Int("reg") == reg) {
            values.push_back(static_cast<unsigned>(e.Int("value")));
        }
    }
    return values;
}

unsigned Nth(const std::vector<unsigned>& values, std::size_t n, unsigned reg) {
    if (values.size() <= n) {
        ADD_FAILURE() << "the trace has no read number " << n + 1 << " of codec register "
                      << Hex(reg, 2);
        return 0;
    }
    return values[n];
}

} // namespace

void GoldenTest::SetUp() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = (fs::path(KESTREL_GOLDEN_DIR) / (name + "-" + std::to_string(::getpid()))).string();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
}

void GoldenTest::TearDown() {
    // A failed test leaves its files behind for a look with ffprobe or sox.
    if (!HasFailure()) {
        fs::remove_all(dir_);
        // The tools' standard output (decoded audio among it) went there.
        fs::remove_all(fs::path(app_testing::ScratchPath("any")).parent_path());
    }
}

std::string GoldenTest::Path(const std::string& name) const {
    return (fs::path(dir_) / name).string();
}

PlayRun GoldenTest::Play(const std::string& file, Spdif spdif, const std::string& tag) {
    const std::string dac = Path(tag + "-dac.wav");
    const std::string out = Path(tag + "-spdif.wav");
    const std::string trace = Path(tag + "-trace.jsonl");
    const auto run = app_testing::RunProgram({kMachine, "--dac-wav=" + dac, "--spdif-wav=" + out,
                                              "--trace=" + trace, "--spdif=" + SpdifName(spdif),
                                              "--report", "--", "kestrel", file});
    PlayRun play;
    play.dacPath = dac;
    play.spdifPath = out;
    play.status = run.status;
    play.signal = run.signal;
    play.out = run.out;
    play.err = run.err;
    play.dac = app_testing::ParseWav(app_testing::ReadFileBytes(dac));
    play.spdif = app_testing::ParseWav(app_testing::ReadFileBytes(out));
    play.trace = testing_support::ParseTrace(ReadLines(trace));
    EXPECT_TRUE(play.dac.valid) << "DAC capture: " << play.dac.why;
    EXPECT_TRUE(play.spdif.valid) << "S/PDIF capture: " << play.spdif.why;
    return play;
}

testing::AssertionResult CleanRun(const PlayRun& run) {
    if (run.signal != 0) {
        return testing::AssertionFailure()
               << "the machine was ended by signal " << run.signal << ":\n"
               << run.err;
    }
    if (run.status != 0 || run.err.find(", 0 overruns, 0 violations") == std::string::npos) {
        return testing::AssertionFailure() << "exit status " << run.status << ":\n" << run.err;
    }
    return testing::AssertionSuccess();
}

std::string Tool(const std::vector<std::string>& argv) {
    const auto run = app_testing::RunProgram(argv);
    if (run.status != 0) {
        std::ostringstream command;
        for (const std::string& word : argv) {
            command << word << ' ';
        }
        ADD_FAILURE() << command.str() << "exited with " << run.status << ":\n" << run.err;
    }
    return run.out;
}

Bytes ToolBytes(const std::vector<std::string>& argv) {
    const std::string out = Tool(argv);
    return Bytes(out.begin(), out.end());
}

void FfmpegSine(double seconds, int rate, const std::vector<std::string>& output) {
    // Two different tones, so that a swap of left and right would show.
    std::ostringstream source;
    source << "aevalsrc=0.5*sin(2*PI*330*t)|0.4*sin(2*PI*550*t):s=" << rate << ":d=" << seconds;
    std::vector<std::string> argv = {"ffmpeg",
                                     "-v",
                                     "error",
                                     "-nostdin",
                                     "-y",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     source.str(),
                                     "-ac",
                                     "2",
                                     "-ar",
                                     std::to_string(rate),
                                     "-fflags",
                                     "+bitexact",
                                     "-map_metadata",
                                     "-1"};
    argv.insert(argv.end(), output.begin(), output.end());
    Tool(argv);
}

Bytes DecodeS16(const std::string& file) {
    return ToolBytes(
        {"ffmpeg", "-v", "error", "-nostdin", "-i", file, "-f", "s16le", "-c:a", "pcm_s16le", "-"});
}

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size) {
    const std::size_t from = std::min(offset, bytes.size());
    const std::size_t to = from + std::min(size, bytes.size() - from);
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes SwapWords(Bytes bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::swap(bytes[i], bytes[i + 1]);
    }
    return bytes;
}

std::string FirstDifference(const Bytes& actual, const Bytes& expected, std::size_t unit,
                            const std::string& unitName) {
    const std::size_t common = std::min(actual.size(), expected.size());
    const auto [a, e] = std::mismatch(actual.begin(), actual.begin() + common, expected.begin());
    if (a != actual.begin() + common) {
        const auto at = static_cast<std::size_t>(a - actual.begin());
        std::ostringstream why;
        why << unitName << ' ' << at / unit << " differs first at its byte " << at % unit
            << " (byte " << at << " overall): " << Hex(*a, 2) << ", expected " << Hex(*e, 2);
        return why.str();
    }
    if (actual.size() != expected.size()) {
        std::ostringstream why;
        why << actual.size() << " bytes where " << expected.size() << " were expected; the first "
            << common << " agree";
        return why.str();
    }
    return {};
}

void ExpectPaddedCapture(const Bytes& capture, const Bytes& expected, const std::string& what) {
    const std::size_t head = std::min(capture.size(), expected.size());
    EXPECT_EQ(FirstDifference(Slice(capture, 0, head), expected, kBufferBytes, "buffer"), "")
        << what;
    const auto nonzero =
        std::find_if(capture.begin() + head, capture.end(), [](std::uint8_t b) { return b != 0; });
    EXPECT_TRUE(nonzero == capture.end())
        << what << ": byte " << nonzero - capture.begin() << " after the data is not zero";
    const std::size_t whole = (expected.size() + kBufferBytes - 1) / kBufferBytes * kBufferBytes;
    EXPECT_GE(capture.size(), whole) << what << ": the last buffer was not played whole";
    EXPECT_LE(capture.size(), whole + kMaxTailBytes)
        << what << ": more than a millisecond played after the last buffer";
}

std::vector<std::string> CodecWrites(const std::vector<TraceEvent>& trace) {
    return testing_support::Summary(trace, {"codec_write"});
}

std::vector<std::string> ExpectedCodecWrites(const std::vector<TraceEvent>& trace, CodecUse use,
                                             int rate, Spdif spdif) {
    const std::vector<unsigned> ext = Reads(trace, 0x2A);
    const unsigned setupExt = Nth(ext, 0, 0x2A);
    const unsigned restoreExt = Nth(ext, 1, 0x2A);
    const unsigned savedDacRate = Nth(Reads(trace, 0x2C), 0, 0x2C);
    // The transmitter's power-on state is what the player finds in 0x2A.
    EXPECT_EQ((setupExt & 0x0004u) != 0, spdif == Spdif::On)
        << "0x2A read as " << Hex(setupExt, 4) << " with --spdif=" << SpdifName(spdif);

    const auto r = static_cast<unsigned>(rate);
    std::vector<std::string> writes;
    if (spdif == Spdif::On) {
        unsigned control = r == 44100 ? 0x0000u : r == 32000 ? 0x3000u : 0x2000u;
        if (use == CodecUse::Ac3) {
            control |= 0x0002u; // non-PCM data
        }
        writes.push_back(Write(0x2A, 0x0000));
        writes.push_back(Write(0x3A, control));
        writes.push_back(Write(0x6A, 0x0000));
        if (use == CodecUse::Ac3) {
            writes.push_back(Write(0x18, 0x8000)); // the DAC muted
            writes.push_back(Write(0x2A, setupExt & 0xFFCEu));
        } else {
            writes.push_back(Write(0x18, 0x0000));
            writes.push_back(Write(0x2A, (setupExt | 0x0001u) & 0xFFCFu));
        }
    }
    writes.push_back(Write(0x2C, r));
    writes.push_back(Write(0x32, r));
    // Restore, after the channel has stopped.
    if ((restoreExt & 0x0004u) != 0) {
        writes.push_back(Write(0x2A, restoreExt & 0xFFFBu));
        writes.push_back(Write(0x3A, 0x2000));
        writes.push_back(Write(0x6A, Nth(Reads(trace, 0x6A), 0, 0x6A)));
        writes.push_back(Write(0x18, Nth(Reads(trace, 0x18), 0, 0x18)));
        writes.push_back(Write(0x2A, restoreExt));
    }
    writes.push_back(Write(0x2C, savedDacRate));
    writes.push_back(Write(0x32, savedDacRate));
    return writes;
}

std::string SpdifName(Spdif spdif) {
    return spdif == Spdif::On ? "on" : "off";
}

} // namespace golden
