#include "support/trace.h"

#include <cstdio>
#include <stdexcept>

namespace testing_support {

namespace {

std::string ParseString(const std::string& s, std::size_t& i) {
    std::string out;
    ++i; // opening quote
    while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < s.size()) {
            ++i;
            switch (s[i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'u': {
                out += static_cast<char>(std::stoi(s.substr(i + 1, 4), nullptr, 16));
                i += 4;
                break;
            }
            default:
                out += s[i];
                break;
            }
        } else {
            out += s[i];
        }
        ++i;
    }
    ++i; // closing quote
    return out;
}

TraceEvent ParseLine(const std::string& s) {
    TraceEvent e;
    std::size_t i = s.find('{');
    if (i == std::string::npos) {
        throw std::runtime_error("not a JSON object: " + s);
    }
    ++i;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == ',')) {
            ++i;
        }
        if (i >= s.size() || s[i] == '}') {
            break;
        }
        const std::string key = ParseString(s, i);
        while (i < s.size() && (s[i] == ':' || s[i] == ' ')) {
            ++i;
        }
        std::string value;
        if (s[i] == '"') {
            value = ParseString(s, i);
        } else {
            while (i < s.size() && s[i] != ',' && s[i] != '}') {
                value += s[i++];
            }
        }
        e.fields[key] = value;
    }
    return e;
}

} // namespace

const std::string& TraceEvent::Get(const std::string& key) const {
    static const std::string empty;
    auto it = fields.find(key);
    return it == fields.end() ? empty : it->second;
}

bool TraceEvent::Ok() const {
    const std::string& v = Get("ok");
    return v == "true" || v == "1";
}

long long TraceEvent::Int(const std::string& key) const {
    const std::string& v = Get(key);
    return v.empty() ? -1 : std::stoll(v);
}

std::vector<TraceEvent> ParseTrace(const std::vector<std::string>& lines) {
    std::vector<TraceEvent> out;
    out.reserve(lines.size());
    for (const std::string& line : lines) {
        out.push_back(ParseLine(line));
    }
    return out;
}

std::vector<TraceEvent> Select(const std::vector<TraceEvent>& trace, const std::string& ev) {
    std::vector<TraceEvent> out;
    for (const TraceEvent& e : trace) {
        if (e.Ev() == ev) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<std::string> Summary(const std::vector<TraceEvent>& trace,
                                 const std::vector<std::string>& kinds) {
    std::vector<std::string> out;
    char text[96];
    for (const TraceEvent& e : trace) {
        bool wanted = false;
        for (const std::string& k : kinds) {
            wanted = wanted || e.Ev() == k;
        }
        if (!wanted) {
            continue;
        }
        const std::string& ev = e.Ev();
        if (ev == "codec_write" || ev == "codec_read") {
            std::snprintf(text, sizeof text, "%s %02llx=%04llx", ev.c_str(), e.Int("reg"),
                          e.Int("value"));
        } else if (ev == "io_write" || ev == "io_read") {
            std::snprintf(text, sizeof text, "%s%lld @%02llx=%llx", ev.c_str(), e.Int("width"),
                          e.Int("offset"), e.Int("value"));
        } else if (ev == "library_open") {
            std::snprintf(text, sizeof text, "open %s %s", e.Get("name").c_str(),
                          e.Ok() ? "true" : "false");
        } else if (ev == "library_close") {
            std::snprintf(text, sizeof text, "close %s", e.Get("name").c_str());
        } else if (ev == "pci_config_write") {
            std::snprintf(text, sizeof text, "config%lld @%02llx=%llx", e.Int("width"),
                          e.Int("offset"), e.Int("value"));
        } else if (ev == "alloc") {
            std::snprintf(text, sizeof text, "alloc %lld %s", e.Int("size"),
                          e.Ok() ? "true" : "false");
        } else if (ev == "file_open") {
            std::snprintf(text, sizeof text, "file_open %s", e.Ok() ? "true" : "false");
        } else if (ev == "signal_alloc" || ev == "signal_free") {
            std::snprintf(text, sizeof text, "%s %lld", ev.c_str(), e.Int("bit"));
        } else if (ev == "delay") {
            std::snprintf(text, sizeof text, "delay %lld", e.Int("ticks"));
        } else if (ev == "print") {
            std::snprintf(text, sizeof text, "print %s", e.Get("text").c_str());
        } else {
            std::snprintf(text, sizeof text, "%s", ev.c_str());
        }
        out.emplace_back(text);
    }
    return out;
}

} // namespace testing_support
