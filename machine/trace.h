// The machine's trace: one typed event per platform call, register access or
// device happening, handed to the configured sink as it happens. JSON is made
// only where a file gets it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace machine {

struct Machine;

// A number, a string or a flag (JSON true or false).
struct TraceField {
    template <typename T>
    requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)TraceField(const char* k, T n)
        : key(k), number(static_cast<std::int64_t>(n)) {}
    TraceField(const char* k, bool flag) : key(k), number(flag), isFlag(true) {}
    TraceField(const char* k, std::string_view s) : key(k), text(s), isText(true) {}
    TraceField(const char* k, const char* s) : key(k), text(s), isText(true) {}

    const char* key;
    std::int64_t number = 0;
    std::string text;
    bool isText = false;
    bool isFlag = false;
};

struct TraceEvent {
    std::uint64_t timeUs = 0;
    bool interrupt = false; // happened in interrupt context
    const char* name = "";  // the event's kind: "io_write", "codec_read", ...
    std::vector<TraceField> fields;

    // A number or flag field; -1 when the event has none of that name.
    std::int64_t Number(std::string_view key) const;
    // A text field; empty when absent.
    std::string Text(std::string_view key) const;
};

// {"t":…,"ctx":"task"|"int","ev":…, fields…}: one line of the trace file.
std::string TraceJson(const TraceEvent& event);
std::string JsonEscape(std::string_view text);

// Call with the machine locked.
void Trace(Machine& m, const char* event, std::initializer_list<TraceField> fields = {});
// The same for an event that happened at machine time ns rather than now.
void TraceAt(Machine& m, std::uint64_t ns, const char* event,
             std::initializer_list<TraceField> fields);
// A rule of the platform broken: traced and kept in the result.
void Violation(Machine& m, const std::string& what);

} // namespace machine
