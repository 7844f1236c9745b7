// The machine's trace: one JSON object per line, {"t", "ctx", "ev", fields}.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace machine {

struct Machine;

struct TraceField {
    TraceField(const char* k, std::int64_t n) : key(k), number(n) {}
    TraceField(const char* k, std::string_view s) : key(k), text(s), isText(true) {}

    const char* key;
    std::int64_t number = 0;
    std::string_view text;
    bool isText = false;
};

std::string JsonEscape(std::string_view text);

// Call with the machine locked.
void Trace(Machine& m, const char* event, std::initializer_list<TraceField> fields = {});
// A rule of the platform broken: traced and kept in the result.
void Violation(Machine& m, const std::string& what);

} // namespace machine
