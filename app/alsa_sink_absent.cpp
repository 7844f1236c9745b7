// Built when CMake found no ALSA: there is never a sound device.
#include "app/alsa_sink.h"

namespace app {

std::unique_ptr<machine::AudioSink> OpenAlsaSink(const std::string&, std::string*) {
    return nullptr;
}

std::unique_ptr<machine::AudioSink> OpenIec958Sink(const std::string&, const std::string&,
                                                   std::string*) {
    return nullptr;
}

} // namespace app
