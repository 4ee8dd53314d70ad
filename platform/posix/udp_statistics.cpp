#include "platform/udp_statistics.h"

// Linux counts each socket's own drops, exactly (OsSeesKernelDrops). Its system-wide
// figure (Udp InErrors in /proc/net/snmp) would tell those drops a second time, among
// every other program's: no figure of it is worth a warning of the collector's.
bool OsSystemUdpDiscards(std::uint32_t* /*discarded*/) {
    return false;
}
