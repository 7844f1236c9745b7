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

std::int64_t TraceEvent::Number(std::string_view key) const {
    for (const TraceField& field : fields) {
        if (key == field.key && !field.isText) {
            return field.number;
        }
    }
    return -1;
}

std::string TraceEvent::Text(std::string_view key) const {
    for (const TraceField& field : fields) {
        if (key == field.key && field.isText) {
            return field.text;
        }
    }
    return {};
}

std::string TraceJson(const TraceEvent& event) {
    std::string line = "{\"t\":" + std::to_string(event.timeUs) + ",\"ctx\":\"" +
                       (event.interrupt ? "int" : "task") + "\",\"ev\":\"" + event.name + "\"";
    for (const TraceField& field : event.fields) {
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
    return line;
}

void Trace(Machine& m, const char* event, std::initializer_list<TraceField> fields) {
    TraceEvent e{NowNs(m) / 1000, InInterrupt(), event, fields};
    if (m.config.traceSink) {
        m.config.traceSink(e);
    }
    m.result.trace.push_back(std::move(e));
}

void Violation(Machine& m, const std::string& what) {
    Trace(m, "violation", {{"what", what}});
    m.result.violations.push_back(what);
}

} // namespace machine
