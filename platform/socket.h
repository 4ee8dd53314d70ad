// Datagram sockets, with Windows Sockets results: SOCKET_ERROR or INVALID_SOCKET on
// failure and the Windows Sockets error number in OsWSAGetLastError(), whatever the
// platform's own numbering.
#pragma once

#include <cstdint>
#include <span>

#include "platform/types.h"

// Returned by OsReceive when the stop event, not a datagram, ended the wait.
inline constexpr int RECEIVE_STOPPED = -2;

// Returned by OsReceive when its wait ran out with nothing received.
inline constexpr int RECEIVE_TIMED_OUT = -3;

// A wait without end.
inline constexpr std::uint32_t WAIT_FOREVER = 0xFFFFFFFF;

// 0, or the socket layer's error number.
int OsWSAStartup(std::uint16_t version);
void OsWSACleanup();
int OsWSAGetLastError();

OsSocket OsSocketCreate(int family, int type, int protocol);

// Binds an IPv4 socket; address and port in host byte order.
int OsBind(OsSocket socket, std::uint32_t address, std::uint16_t port);

// Gives up for good the privileges the process holds only to set its socket up (a port
// below 1024, a receive buffer beyond the system's limit), once it is bound; a platform
// that grants none has nothing to give up. 0, or SOCKET_ERROR: a process that still holds
// them must not serve.
int OsDropSocketPrivileges();

// Enlarges the socket's receive buffer, the only queue datagrams have while a report is
// written, as far as the platform sensibly allows. The size granted, or SOCKET_ERROR.
int OsEnlargeReceiveBuffer(OsSocket socket);

// Waits at most `waitMs` milliseconds for one datagram or for the stop event, whichever
// comes first. The byte count (the datagram fitted), RECEIVE_STOPPED, RECEIVE_TIMED_OUT,
// or SOCKET_ERROR. A datagram longer than the buffer is a failure with WSAEMSGSIZE, and is
// consumed: the next call gets the next one. *sender becomes the source address of the
// datagram received.
int OsReceive(OsSocket socket, std::span<char> buffer, OsHandle stopEvent, std::uint32_t waitMs,
              Ipv4Endpoint* sender);

// Takes the datagrams queued in the socket without waiting and without keeping them, an
// over-long one as one like any other; how many, at most `limit`. Fewer than `limit` only
// when the queue was found empty (or a read failed): a read that merely found nothing at
// that instant is not taken for proof.
std::uint32_t OsDiscardQueued(OsSocket socket, std::uint32_t limit);

// Where the platform keeps one (OsSeesKernelDrops), its running count of the datagrams it
// dropped for the socket, the receive buffer full, as of now, into *count; true. False,
// *count left alone, where it keeps none or the read failed.
bool OsReadKernelDrops(OsSocket socket, std::uint32_t* count);

// Whether OsReadKernelDrops can tell of the datagrams the platform dropped.
bool OsSeesKernelDrops();

void OsCloseSocket(OsSocket socket);
