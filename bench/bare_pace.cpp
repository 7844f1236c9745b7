// bare_pace FILE.aiff: the least a program can do to play a 16-bit stereo
// AIFF in real time, as kestrel's CPU figure's peer. For each block of 1536
// frames: one absolute sleep to the block's start on the monotonic clock, one
// read of the block (6 KiB) and one write of it to the ALSA PCM named by
// KESTREL_PCM (default "default"), configured as kestrel's sink configures it.
// No byte swap and no second thread: what is left is the floor.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#ifdef KESTREL_BARE_ALSA
#include <alsa/asoundlib.h>
#endif

namespace {

inline constexpr unsigned kChannels = 2;
inline constexpr std::size_t kFrameBytes = std::size_t{kChannels} * 2;
inline constexpr std::size_t kBlockFrames = 1536;
inline constexpr std::size_t kBlockBytes = kBlockFrames * kFrameBytes;
inline constexpr unsigned kLatencyUs = 200000; // as app/alsa_sink.cpp

struct Aiff {
    unsigned rate = 0;
    std::uint64_t frames = 0;
    off_t dataOffset = 0; // of the first sample frame
};

std::uint32_t Be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// The whole-number rate in an 80-bit IEEE extended value.
unsigned ExtendedRate(const unsigned char* p) {
    const int exponent = ((p[0] & 0x7F) << 8 | p[1]) - 16383;
    std::uint64_t mantissa = 0;
    for (int i = 2; i < 10; ++i) {
        mantissa = mantissa << 8 | p[i];
    }
    if (exponent < 0 || exponent > 31) {
        return 0;
    }
    return static_cast<unsigned>(mantissa >> (63 - exponent));
}

// Walks the chunks for COMM and SSND; false unless the file is 16-bit stereo.
bool ReadAiff(int fd, Aiff* aiff) {
    unsigned char head[12];
    if (pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        std::memcmp(head, "FORM", 4) != 0 || std::memcmp(head + 8, "AIFF", 4) != 0) {
        return false;
    }
    bool common = false;
    off_t at = 12;
    unsigned char chunk[26];
    while (pread(fd, chunk, 8, at) == 8) {
        const std::uint32_t size = Be32(chunk + 4);
        if (std::memcmp(chunk, "COMM", 4) == 0 && size >= 18) {
            if (pread(fd, chunk + 8, 18, at + 8) != 18 || (chunk[8] << 8 | chunk[9]) != kChannels ||
                (chunk[14] << 8 | chunk[15]) != 16) {
                return false;
            }
            aiff->frames = Be32(chunk + 10);
            aiff->rate = ExtendedRate(chunk + 16);
            common = aiff->rate != 0;
        } else if (std::memcmp(chunk, "SSND", 4) == 0) {
            if (pread(fd, chunk + 8, 4, at + 8) != 4) {
                return false;
            }
            aiff->dataOffset = at + 16 + Be32(chunk + 8);
            return common;
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

void SleepUntil(const timespec& when) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

timespec After(timespec start, std::uint64_t ns) {
    const std::uint64_t total = static_cast<std::uint64_t>(start.tv_nsec) + ns;
    start.tv_sec += static_cast<time_t>(total / 1000000000);
    start.tv_nsec = static_cast<long>(total % 1000000000);
    return start;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: bare_pace FILE.aiff   (16-bit stereo; KESTREL_PCM names the PCM)\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    Aiff aiff;
    if (fd < 0 || !ReadAiff(fd, &aiff) || lseek(fd, aiff.dataOffset, SEEK_SET) < 0) {
        std::fprintf(stderr, "bare_pace: %s: not a 16-bit stereo AIFF file\n", argv[1]);
        return 1;
    }
#ifdef KESTREL_BARE_ALSA
    const char* name = std::getenv("KESTREL_PCM");
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, name != nullptr && *name != '\0' ? name : "default",
                          SND_PCM_STREAM_PLAYBACK, 0);
    if (rc >= 0) {
        rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                kChannels, aiff.rate, 1, kLatencyUs);
    }
    if (rc < 0) {
        std::fprintf(stderr, "bare_pace: ALSA: %s\n", snd_strerror(rc));
        return 1;
    }
#endif
    static unsigned char block[kBlockBytes];
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (std::uint64_t first = 0; first < aiff.frames; first += kBlockFrames) {
        SleepUntil(After(start, first * 1000000000 / aiff.rate));
        const ssize_t got = read(fd, block, kBlockBytes);
        if (got < static_cast<ssize_t>(kFrameBytes)) {
            break;
        }
#ifdef KESTREL_BARE_ALSA
        const auto frames =
            static_cast<snd_pcm_uframes_t>(static_cast<std::size_t>(got) / kFrameBytes);
        const snd_pcm_sframes_t n = snd_pcm_writei(pcm, block, frames);
        if (n < 0 && snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) {
            std::fprintf(stderr, "bare_pace: ALSA: %s\n", snd_strerror(static_cast<int>(n)));
            return 1;
        }
#endif
    }
#ifdef KESTREL_BARE_ALSA
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
#endif
    close(fd);
    return 0;
}
