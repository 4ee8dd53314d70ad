// The installed service's definition: a systemd unit file, one per service name.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

inline constexpr char UNIT_DIRECTORY[] = "/etc/systemd/system";

// "/etc/systemd/system/<name>.service" into `out`; false for a name that is not a plain
// file name or does not fit.
bool UnitFilePath(std::string_view serviceName, std::span<char> out);

// The unit text for a service whose executable is `binaryPath`: demand start (no
// [Install] section), notify protocol, a user of its own for each run. Its length, or 0 when it
// does not fit or the path cannot be written on an ExecStart line.
std::size_t ComposeUnitFile(std::string_view binaryPath, std::span<char> out);
