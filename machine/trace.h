// The machine's trace: one JSON object per line, {"t", "ctx", "ev", fields}.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace machine {

struct Machine;

// A number, a string or a flag (JSON true or false).
struct TraceField {
    template <typename T>
    requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)TraceField(const char* k, T n)
        : key(k), number(static_cast<std::int64_t>(n)) {}
    TraceField(const char* k, bool flag) : key(k), number(flag ? 1 : 0), isFlag(true) {}
    TraceField(const char* k, std::string_view s) : key(k), text(s), isText(true) {}
    TraceField(const char* k, const char* s) : key(k), text(s), isText(true) {}

    const char* key;
    std::int64_t number = 0;
    std::string_view text;
    bool isText = false;
    bool isFlag = false;
};

std::string JsonEscape(std::string_view text);

// Call with the machine locked.
void Trace(Machine& m, const char* event, std::initializer_list<TraceField> fields = {});
// A rule of the platform broken: traced and kept in the result.
void Violation(Machine& m, const std::string& what);

} // namespace machine
