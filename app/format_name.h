// What a library made for it says a file is: libmagic, file(1)'s library,
// or FFmpeg's probe where libmagic cannot tell. Both are loaded at run time,
// on the first call, so a run that never asks loads neither, and a host
// without them names nothing.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace app {

struct FormatName {
    std::string what{}; // libmagic's description or FFmpeg's long name; empty: neither knows
    bool media = false; // an audio or video format: libmagic's MIME type says so or FFmpeg reads it
};

// The name of the format whose file starts with head.
FormatName NameFormat(std::span<const std::uint8_t> head);

} // namespace app
