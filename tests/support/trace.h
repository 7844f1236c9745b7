// Reading the machine's trace: one flat JSON object per line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct TraceEvent {
    std::map<std::string, std::string> fields; // strings unescaped, numbers as written

    const std::string& Ev() const { return Get("ev"); }
    const std::string& Get(const std::string& key) const;
    long long Int(const std::string& key) const;
    bool Ok() const; // the "ok" field, written as a boolean or as 0 and 1
    bool Has(const std::string& key) const { return fields.count(key) != 0; }
};

std::vector<TraceEvent> ParseTrace(const std::vector<std::string>& lines);

// The events of one kind, in order.
std::vector<TraceEvent> Select(const std::vector<TraceEvent>& trace, const std::string& ev);

// A compact text of the events of the given kinds, one per line, for
// comparing sequences: "codec_write 2a=0000", "io_write 8 @02=b3", ...
std::vector<std::string> Summary(const std::vector<TraceEvent>& trace,
                                 const std::vector<std::string>& kinds);

} // namespace testing_support
