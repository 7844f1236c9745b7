#include "app/format_name.h"

#include <vector>

#include <dlfcn.h>

namespace app {

namespace {

// libmagic(3), as its ABI has been since file 5.
using MagicOpen = void* (*)(int);
using MagicLoad = int (*)(void*, const char*);
using MagicSetFlags = int (*)(void*, int);
using MagicBuffer = const char* (*)(void*, const void*, std::size_t);
constexpr int kMagicNone = 0, kMagicMimeType = 0x10, kMagicNoCheckCompress = 0x1000;

// libavformat's AVProbeData and the start of its AVInputFormat, unchanged
// since FFmpeg 2.
struct ProbeData {
    const char* filename;
    unsigned char* buf;
    int size;
    const char* mimeType;
};
struct InputFormat {
    const char* name;
    const char* longName;
};
using ProbeFormat = const InputFormat* (*)(const ProbeData*, int, int*);
using LogSetLevel = void (*)(int);
constexpr int kProbePadding = 32, kLogQuiet = -8;
// Half the probe's scale: a demuxer that knows the bytes, not a guess
// from a stray sync word.
constexpr int kProbeScore = 51;

struct Libraries {
    void* magic = nullptr;
    MagicSetFlags setFlags = nullptr;
    MagicBuffer buffer = nullptr;
    ProbeFormat probe = nullptr;
};

template <typename F>
F Symbol(void* library, const char* name) {
    return library != nullptr ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

void* OpenFirst(std::initializer_list<const char*> sonames) {
    for (const char* soname : sonames) {
        if (void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
            return library;
        }
    }
    return nullptr;
}

Libraries Load() {
    Libraries l;
    void* magic = OpenFirst({"libmagic.so.1"});
    const auto open = Symbol<MagicOpen>(magic, "magic_open");
    const auto load = Symbol<MagicLoad>(magic, "magic_load");
    l.setFlags = Symbol<MagicSetFlags>(magic, "magic_setflags");
    l.buffer = Symbol<MagicBuffer>(magic, "magic_buffer");
    if (open != nullptr && load != nullptr && l.setFlags != nullptr && l.buffer != nullptr) {
        l.magic = open(kMagicNoCheckCompress);
        if (l.magic != nullptr && load(l.magic, nullptr) != 0) {
            l.magic = nullptr;
        }
    }
    void* avformat = OpenFirst({"libavformat.so.62", "libavformat.so.61", "libavformat.so.60",
                                "libavformat.so.59", "libavformat.so.58"});
    l.probe = Symbol<ProbeFormat>(avformat, "av_probe_input_format3");
    if (const auto quiet = Symbol<LogSetLevel>(avformat, "av_log_set_level")) {
        quiet(kLogQuiet);
    }
    return l;
}

std::string Magic(const Libraries& l, std::span<const std::uint8_t> head, int flags) {
    if (l.magic == nullptr) {
        return "";
    }
    l.setFlags(l.magic, flags | kMagicNoCheckCompress);
    const char* said = l.buffer(l.magic, head.data(), head.size());
    return said != nullptr ? said : "";
}

} // namespace

FormatName NameFormat(std::span<const std::uint8_t> head) {
    // Loaded once, and kept for the process's life.
    static const Libraries libraries = Load();
    FormatName name;
    if (const std::string what = Magic(libraries, head, kMagicNone); what != "data") {
        const std::string type = Magic(libraries, head, kMagicMimeType);
        name = {what, type.starts_with("audio/") || type.starts_with("video/")};
    }
    if (libraries.probe != nullptr && (name.what.empty() || !name.media)) {
        std::vector<unsigned char> padded(head.begin(), head.end());
        padded.resize(head.size() + kProbePadding);
        const ProbeData data{"", padded.data(), static_cast<int>(head.size()), ""};
        int score = 0;
        const InputFormat* format = libraries.probe(&data, 1, &score);
        if (format != nullptr && score >= kProbeScore) {
            name = {name.what.empty() ? format->longName : name.what, true};
        }
    }
    return name;
}

} // namespace app
