#include "machine/trace.h"

#include <cstdio>

#include "machine/clock.h"
#include "machine/dispatch.h"
#include "machine/state.h"

namespace machine {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 2;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing beyond U+10FFFF
    } else if (lead < 0xC2 || lead > 0xDF) {
        return 0; // not a lead byte
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

} // namespace

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += text[i];
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += text[i];
        } else if (byte == '\n' || byte == '\t' || byte == '\r') {
            out += byte == '\n' ? "\\n" : byte == '\t' ? "\\t" : "\\r";
        } else if (const std::size_t length = byte >= 0x80 ? Utf8Length(text, i) : 0) {
            out.append(text, i, length); // UTF-8 passes unchanged
            i += length - 1;
        } else {
            // Control characters, and bytes that are not UTF-8 (taken as
            // Latin-1), so that every line stays valid JSON.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
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
    if (m.config.traceSink || m.config.keepTrace) { // else no event is made, nor the time read
        TraceAt(m, NowNs(m), event, fields);
    }
}

void TraceAt(Machine& m, std::uint64_t ns, const char* event,
             std::initializer_list<TraceField> fields) {
    if (!m.config.traceSink && !m.config.keepTrace) {
        return; // nobody asked: no event is made
    }
    TraceEvent e{ns / 1000, InInterrupt(), event, fields};
    if (m.config.traceSink) {
        m.config.traceSink(e);
    }
    if (m.config.keepTrace) {
        m.result.trace.push_back(std::move(e));
    }
}

void Violation(Machine& m, const std::string& what) {
    Trace(m, "violation", {{"what", what}});
    m.result.violations.push_back(what);
}

} // namespace machine
