#include "machine/printf_format.h"

#include <cstdint>

namespace machine {

std::string FormatPrintf(const char* format, std::va_list args) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
        } else if (p[1] == 'l' && p[2] == 'd') {
            // A LONG is 32 bits on the target, whatever a host's long is.
            const auto value = static_cast<std::int32_t>(va_arg(args, long));
            const auto magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                             : static_cast<std::uint32_t>(value);
            if (value < 0) {
                out += '-';
            }
            out += std::to_string(magnitude);
            p += 2;
        } else if (p[1] == 's') {
            const char* text = va_arg(args, const char*);
            out += text != nullptr ? text : "(null)";
            ++p;
        } else if (p[1] == '%') {
            out += '%';
            ++p;
        } else {
            // Not a conversion the player uses: printed as written.
            out += '%';
        }
    }
    return out;
}

} // namespace machine
