// The system's own count of the UDP datagrams it discarded, for every port together: on a
// platform that keeps no drop count per socket, the nearest figure to the collector's
// losses there is. It cannot tell whose datagrams they were.
#pragma once

#include <cstdint>

// Whether *discarded became the system's running count of the UDP datagrams it received
// and then discarded on any port (a full receive buffer, a bad checksum; not those that
// found no listener), wrapping at 2^32. False where the platform keeps a count per socket
// instead (OsSeesKernelDrops), or when the count could not be read; *discarded is then
// left alone.
bool OsSystemUdpDiscards(std::uint32_t* discarded);
