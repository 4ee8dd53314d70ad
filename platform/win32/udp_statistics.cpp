#include "platform/udp_statistics.h"

// winsock2.h before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

// dwInErrors counts what the system received and threw away, the datagrams that met a full
// socket queue among them; dwNoPorts, those that found no listener, is no loss of ours.
bool OsSystemUdpDiscards(std::uint32_t* discarded) {
    MIB_UDPSTATS statistics{};
    if (GetUdpStatistics(&statistics) != NO_ERROR) {
        return false;
    }
    *discarded = statistics.dwInErrors;
    return true;
}
