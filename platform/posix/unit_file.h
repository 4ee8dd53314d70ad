// The installed service's definition: a systemd unit file, one per service name.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

inline constexpr char UNIT_DIRECTORY[] = "/etc/systemd/system";

// "/etc/systemd/system/<name>.service" into `out`; false for a name that is not a plain
// file name or does not fit.
bool UnitFilePath(std::string_view serviceName, std::span<char> out);

// Why the manager cannot run a program at `path` from a unit file (a short phrase, no
// line feed), or null when it can: systemd refuses control characters, quotes and
// backslashes in a program path, and its bus carries UTF-8 only.
const char* ExecPathProblem(std::string_view path);

// The place of `path` that the unit's sandbox hides from the service or gives it an empty
// copy of (a program there cannot be started), or empty when there is none.
std::string_view SandboxHiddenPlace(std::string_view path);

// The unit text for a service whose executable is `binaryPath`: demand start (no
// [Install] section), notify protocol, a user of its own for each run. Its length, or 0 when it
// does not fit or ExecPathProblem refuses the path.
std::size_t ComposeUnitFile(std::string_view binaryPath, std::span<char> out);
