// The console commands that change the system: install and remove the service and its
// event source. Every outcome is a line on standard output.
#pragma once

#include <array>

// Where the event source's values live, under HKEY_LOCAL_MACHINE.
inline constexpr const char EVENT_SOURCE_KEY[] =
    R"(SYSTEM\CurrentControlSet\Services\EventLog\Application\Corvane)";

// The error text of every failure line.
extern std::array<char, 256> ErrorTextBuffer;

// The system's text for the thread's last-error code, less its closing CR LF, then
// " (0x<code>)". Empty when the system has no text, or it does not fit in `outSize`
// bytes or in the 512 bytes it is looked up into. Returns `outText`.
char* FormatLastError(char* outText, int outSize);

// Creates the service and its event source. False when a failure line was printed.
bool InstallCommand();

// Stops the service if it runs, then deletes it and its event source. False when a
// failure line was printed.
bool RemoveCommand();
