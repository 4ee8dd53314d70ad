// usage: system_text <error code in decimal>...
//
// Prints, for each code, the error text that the install and remove commands' failure
// lines would carry when the code is the thread's last error, between ">>" and "<<".
#include <cstdio>
#include <cstdlib>

#include "platform/kernel.h"
#include "service/commands.h"

int main(int argCount, char** argVector) {
    for (int i = 1; i < argCount; ++i) {
        OsSetLastError(std::strtoul(argVector[i], nullptr, 10));
        (void)std::printf(">>%s<<\n", FormatLastError(ErrorTextBuffer.data(),
                                                      static_cast<int>(ErrorTextBuffer.size())));
    }
    return 0;
}
