// Standard output of the console commands.
#pragma once

#include <string_view>

// A console sees every piece at once and the journal each line as it ends; a file or a
// pipe gets 512-byte blocks and the rest when the process ends.
void OsConsoleSetup();

void OsConsoleWrite(std::string_view text);
