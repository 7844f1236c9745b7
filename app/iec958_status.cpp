#include <cstdio>

#include "app/host_device.h"
#include "hw/ac97.h"

namespace app {

std::array<std::uint8_t, 4> Iec958Status(std::uint16_t control) {
    // IEC 60958-3 consumer byte 3: 44.1 kHz 0x00, 48 kHz 0x02, 32 kHz 0x03.
    // SPSR's reserved 01 is sent as 48 kHz, as the transmitter runs it.
    constexpr std::uint8_t kRateCode[] = {0x00, 0x02, 0x02, 0x03};
    return {static_cast<std::uint8_t>(control & ac97::kSpdifStatusLowMask),
            static_cast<std::uint8_t>((control & ac97::kSpdifCategoryMask) >>
                                      ac97::kSpdifCategoryShift),
            0x00, kRateCode[ac97::SpdifRateBits(control)]};
}

std::string WithAesParameters(const std::string& pcm, const std::array<std::uint8_t, 4>& status) {
    char text[64];
    std::snprintf(text, sizeof text, "AES0=0x%02x,AES1=0x%02x,AES2=0x%02x,AES3=0x%02x", status[0],
                  status[1], status[2], status[3]);
    return pcm + (pcm.find(':') == std::string::npos ? ":" : ",") + text;
}

} // namespace app
