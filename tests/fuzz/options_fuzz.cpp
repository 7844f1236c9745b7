// Fuzzes kestrel-machine's option parser: the input is its arguments,
// separated by NUL bytes. Every command line is either accepted or refused
// with a reason; anything the sanitizers report is a finding.
#include <cstdlib>
#include <string>
#include <vector>

#include "app/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    const app::ParsedOptions parsed = app::ParseMachineOptions(args);
    if (parsed.options.has_value() == !parsed.error.empty()) {
        std::abort();
    }
    return 0;
}
