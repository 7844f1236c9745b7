#include "machine/printf_format.h"

#include <cstdint>

namespace machine {

namespace {

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;
};

void Pad(std::string& out, const std::string& body, const Conversion& conversion, bool numeric) {
    const int fill = conversion.width - static_cast<int>(body.size());
    if (fill <= 0) {
        out += body;
    } else if (conversion.leftAlign) {
        out += body;
        out.append(static_cast<std::size_t>(fill), ' ');
    } else if (conversion.zeroPad && numeric) {
        // Zeros go after the sign.
        const bool negative = !body.empty() && body[0] == '-';
        if (negative) {
            out += '-';
        }
        out.append(static_cast<std::size_t>(fill), '0');
        out += body.substr(negative ? 1 : 0);
    } else {
        out.append(static_cast<std::size_t>(fill), ' ');
        out += body;
    }
}

std::string Unsigned(std::uint32_t value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

std::string Signed(std::int32_t value) {
    if (value >= 0) {
        return Unsigned(static_cast<std::uint32_t>(value), 10, false);
    }
    return "-" + Unsigned(0u - static_cast<std::uint32_t>(value), 10, false);
}

} // namespace

std::string FormatPrintf(const char* format, std::va_list args) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        Conversion conversion;
        for (;; ++p) {
            if (*p == '-') {
                conversion.leftAlign = true;
            } else if (*p == '0') {
                conversion.zeroPad = true;
            } else {
                break;
            }
        }
        while (*p >= '0' && *p <= '9') {
            conversion.width = conversion.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            conversion.precision = 0;
            for (++p; *p >= '0' && *p <= '9'; ++p) {
                conversion.precision = conversion.precision * 10 + (*p - '0');
            }
        }
        const bool isLong = *p == 'l';
        if (isLong) {
            ++p;
        }
        switch (*p) {
        case 'd':
        case 'i': {
            const auto value = isLong ? static_cast<std::int32_t>(va_arg(args, long))
                                      : static_cast<std::int32_t>(va_arg(args, int));
            Pad(out, Signed(value), conversion, true);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            const auto value = isLong ? static_cast<std::uint32_t>(va_arg(args, unsigned long))
                                      : static_cast<std::uint32_t>(va_arg(args, unsigned));
            const unsigned base = *p == 'u' ? 10 : 16;
            Pad(out, Unsigned(value, base, *p == 'X'), conversion, true);
            break;
        }
        case 'c':
            Pad(out, std::string(1, static_cast<char>(va_arg(args, int))), conversion, false);
            break;
        case 's': {
            const char* text = va_arg(args, const char*);
            std::string body = text != nullptr ? text : "(null)";
            if (conversion.precision >= 0 &&
                body.size() > static_cast<std::size_t>(conversion.precision)) {
                body.resize(static_cast<std::size_t>(conversion.precision));
            }
            Pad(out, body, conversion, false);
            break;
        }
        case '%':
            out += '%';
            break;
        case '\0':
            out.append(start, p);
            return out;
        default:
            // Not a conversion this formatter knows: printed as written.
            out.append(start, p + 1);
            break;
        }
    }
    return out;
}

} // namespace machine
