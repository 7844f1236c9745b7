#include <cstdio>

#include "app/host_device.h"
#include "machine/ac97_codec.h"
#include "machine/ac97_registers.h"

namespace app {

std::array<std::uint8_t, 4> Iec958Status(std::uint16_t control) {
    namespace ac97 = machine::ac97;
    // IEC 60958-3 consumer byte 3 for the rate the transmitter sends at:
    // 44.1 kHz 0x00, 48 kHz 0x02, 32 kHz 0x03.
    const std::uint32_t rate = machine::SpdifRateForControl(control);
    return {static_cast<std::uint8_t>(control & ac97::kSpdifStatusBits),
            static_cast<std::uint8_t>((control & ac97::kSpdifStatusByte1) >>
                                      ac97::kSpdifStatusByte1Shift),
            0x00,
            static_cast<std::uint8_t>(rate == 44100   ? 0x00
                                      : rate == 32000 ? 0x03
                                                      : 0x02)};
}

std::string WithAesParameters(const std::string& pcm, const std::array<std::uint8_t, 4>& status) {
    char text[64];
    std::snprintf(text, sizeof text, "AES0=0x%02x,AES1=0x%02x,AES2=0x%02x,AES3=0x%02x", status[0],
                  status[1], status[2], status[3]);
    return pcm + (pcm.find(':') == std::string::npos ? ":" : ",") + text;
}

} // namespace app
