#include "machine/trace.h"

#include <cstdio>

#include "machine/clock.h"
#include "machine/state.h"

namespace machine {

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            // Bytes above 0x7F are taken as Latin-1, so every line is valid JSON.
            if (byte < 0x20 || byte >= 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out;
}

void Trace(Machine& m, const char* event, std::initializer_list<TraceField> fields) {
    std::string line = "{\"t\":" + std::to_string(NowNs(m) / 1000) + ",\"ctx\":\"" +
                       (InInterrupt() ? "int" : "task") + "\",\"ev\":\"" + event + "\"";
    for (const TraceField& field : fields) {
        line += ",\"";
        line += field.key;
        line += "\":";
        if (field.isText) {
            line += '"' + JsonEscape(field.text) + '"';
        } else if (field.isFlag) {
            line += field.number != 0 ? "true" : "false";
        } else {
            line += std::to_string(field.number);
        }
    }
    line += '}';
    if (m.config.traceSink) {
        m.config.traceSink(line);
    }
    m.result.trace.push_back(std::move(line));
}

void Violation(Machine& m, const std::string& what) {
    Trace(m, "violation", {{"what", what}});
    m.result.violations.push_back(what);
}

} // namespace machine
