// ffmpeg and sox make the files and judge the captures: AC-3 bursts against
// ffmpeg's IEC 61937 muxer and decoder, AIFF samples against ffmpeg's decode,
// a refused stream against its own bytes.
#include <tuple>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using namespace harness;

const std::string kPlaying = "Playing file (CTRL-C to abort playing)\n";
// One transfer buffer, one burst.
constexpr std::size_t kBuffer = 6144;
// Fetched from the next buffer before the channel stops.
constexpr std::size_t kTail = 48 * 4;

// Runs a command line, split at spaces; returns its standard output.
std::string Shell(const std::string& line) {
    const Process run = RunProgram(Words(line));
    EXPECT_EQ(run.status, 0) << line << ": " << run.err;
    return run.out;
}

// Half a second of two tones, so that a swap of left and right would show.
void Sine(int rate, const std::string& output) {
    Shell("ffmpeg -v error -y -f lavfi -i aevalsrc=sin(2*PI*330*t)/2|sin(2*PI*550*t)/3:d=0.5:s=" +
          std::to_string(rate) + " -ac 2 -fflags +bitexact -map_metadata -1 " + output);
}

Bytes Decode(const std::string& path) {
    const std::string pcm = Shell("ffmpeg -v error -i " + path + " -f s16le -");
    return {pcm.begin(), pcm.end()};
}

// Plays a file with both captures; returns standard output.
std::string Play(const std::string& file, const std::string& spdif) {
    return Shell("kestrel-machine --spdif=" + spdif + " --dac-wav=" + ScratchPath("dac.wav") +
                 " --spdif-wav=" + ScratchPath("spdif.wav") + " -- kestrel " + file);
}

// A capture holds expected, then at most maxTail bytes: the start of filler
// and zeros after it.
void ExpectCapture(const std::string& name, unsigned rate, const Bytes& expected, Bytes filler,
                   std::size_t maxTail) {
    const Wav wav = ParseWav(ReadFile(ScratchPath(name)));
    ASSERT_EQ(wav.error, "") << name;
    EXPECT_EQ(wav.rate, rate) << name;
    // What follows expected; huge when the capture is shorter.
    const std::size_t tail = wav.data.size() - expected.size();
    ASSERT_LE(tail, maxTail) << name << ": " << wav.data.size() << " bytes";
    EXPECT_EQ(Mismatch(wav.data, Concat({expected, Padded(filler, tail)})), "") << name;
}

TEST(Golden, Ac3BurstsAreFfmpegsSpdifMuxingAndDecodeAsTheStream) {
    // Bit rate, the S/PDIF transmitter, bsmod (7: a karaoke stream).
    const std::tuple<int, bool, int> cases[] = {
        {256, true, 0}, {512, true, 0}, {256, false, 0}, {512, false, 0}, {384, true, 7}};
    for (const auto& [kbps, on, bsmod] : cases) {
        SCOPED_TRACE(testing::Message() << kbps << "k, S/PDIF " << on << ", bsmod " << bsmod);
        const std::string ac3 = ScratchPath("in.ac3");
        Sine(48000, "-b:a " + std::to_string(kbps) + "k -audio_service_type " +
                        (bsmod ? "ka " : "ma ") + ac3);
        const std::string muxed = Shell("ffmpeg -v error -i " + ac3 + " -c copy -f spdif -");
        Bytes bursts(muxed.begin(), muxed.end());
        ASSERT_EQ(ReadFile(ac3)[5] & 7, bsmod);
        ASSERT_FALSE(bursts.empty());
        // ffmpeg puts the frame's bsmod into Pc; the player always sends Pc = 0x0001.
        for (std::size_t at = 0; at < bursts.size(); at += kBuffer) {
            ASSERT_EQ(bursts[at + 4], 1);
            ASSERT_EQ(bursts[at + 5], bsmod);
            bursts[at + 5] = 0;
        }
        EXPECT_EQ(Play(ac3, on ? "on" : "off"),
                  "Transfering audio data\nAC3 Stream SampleRate = 48000Hz BitRate = " +
                      std::to_string(kbps) + "kbit\nTransfering data in AC3 mode, freq: 48000\n" +
                      kPlaying);
        // After the last burst the channel fetches the start of the next
        // buffer: an empty burst, its preamble in place.
        // A frame lasts 32 ms.
        const Bytes pre = BurstPreamble(kbps * 4u);
        // The line out is muted for the bursts. With the transmitter off the
        // codec is left alone, and they are heard there as noise.
        ExpectCapture("dac.wav", 48000, on ? Bytes(bursts.size(), 0) : bursts, on ? Bytes{} : pre,
                      kTail);
        ExpectCapture("spdif.wav", 48000, on ? bursts : Bytes{}, pre, on ? kTail : 0);
        if (on) {
            // ffmpeg finds the bursts in the S/PDIF capture and decodes them as the stream.
            const Bytes stream = Decode(ac3);
            ASSERT_FALSE(stream.empty());
            EXPECT_EQ(Mismatch(Head(Decode(ScratchPath("spdif.wav")), stream.size()), stream), "");
        }
    }
}

// An AIFF plays from byte 46: the sound-data chunk's zero offset and block
// size, then the samples. A refused AC-3 stream plays byte for byte at 48 kHz.
// The last buffer plays whole, its unfilled rest silent.
TEST(Golden, PcmReachesTheDacAsTheToolsSeeIt) {
    const std::tuple<std::string, unsigned, std::string> cases[] = {
        {"ffmpeg.aiff", 22050, "freq: 22050\n"},
        {"sox.aiff", 44100, "freq: 44100\n"},
        {"44100.ac3", 48000, "Unsupported samplerate 44.1khz\n"}};
    for (const auto& [name, rate, messages] : cases) {
        const std::string path = ScratchPath(name);
        SCOPED_TRACE(path);
        // Without a comment sox puts the common chunk first.
        if (name == "sox.aiff") {
            Shell("sox -n -b 16 -c 2 -r 44100 --comment= " + path +
                  " synth 0.5 sine 440 sine 660 gain -3");
        } else {
            Sine(name == "44100.ac3" ? 44100 : rate, path);
        }
        const Bytes expected =
            name == "44100.ac3" ? ReadFile(path) : Concat({Bytes(8), Decode(path)});
        EXPECT_EQ(Play(path, "on"), "Transfering audio data\n" + messages + kPlaying);
        ExpectCapture("dac.wav", rate, expected, {}, kBuffer + kTail);
    }
}

} // namespace
