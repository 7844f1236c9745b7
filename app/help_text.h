// What the programs say of themselves: --help, and --version from the
// player's own version tag.
#pragma once

#include <string>
#include <string_view>

namespace app {

// kestrel-machine's --help, its options from the option table.
std::string MachineUsage();

// kestrel's --help.
std::string KestrelUsage();

// --version's line: "kestrel 1.0 (15.12.05)" for the player's own name,
// "kestrel-machine (kestrel) 1.0 (15.12.05)" for another program.
std::string VersionText(std::string_view program);

} // namespace app
