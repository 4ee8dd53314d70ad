#include "platform/posix/unit_file.h"

#include <cstdio>
#include <string_view>

namespace {

constexpr std::string_view UNIT_HEAD =
    "[Unit]\n"
    "Description=Corvane network log collector\n"
    "\n"
    "[Service]\n"
    "Type=notify\n"
    "ExecStart=";

// The unit explains itself to the administrator who reads it: above all why each
// setting that an exposure assessment still flags has to stay as it is.
constexpr std::string_view UNIT_TAIL =
    "\n"
    "# One journal entry per datagram: the journal must never rate-limit the collector.\n"
    "# An interval of 0 would mean the journal's own default limit, not none: so the limit\n"
    "# is one no journal can reach.\n"
    "LogRateLimitIntervalSec=1s\n"
    "LogRateLimitBurst=1000000\n"
    "# A user of its own for each run. The two capabilities serve the start alone (port\n"
    "# 514, a receive buffer beyond net.core.rmem_max): the collector gives them up as\n"
    "# soon as its socket is bound, and fails its start when it cannot.\n"
    "DynamicUser=yes\n"
    "AmbientCapabilities=CAP_NET_BIND_SERVICE CAP_NET_ADMIN\n"
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_NET_ADMIN\n"
    "NoNewPrivileges=yes\n"
    "# Its status for the remove command, kept after a stop so that it reads stopped.\n"
    "RuntimeDirectory=Corvane\n"
    "RuntimeDirectoryPreserve=yes\n"
    "ReadWritePaths=/run/Corvane\n"
    "UMask=0077\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "# Also lets the service read the real-time clock device, which PrivateDevices= hides.\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "SystemCallArchitectures=native\n"
    "# capset is how the collector gives its capabilities up; the rest of its group stays\n"
    "# barred.\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallFilter=capset\n"
    "# It listens for every sender on the host's network: no private network, no address\n"
    "# allow list. Local sockets carry its journal entries and status reports.\n"
    "RestrictAddressFamilies=AF_INET AF_UNIX\n"
    "# Not settable: a user namespace of its own would void the port capability in the\n"
    "# host's network, and the executable stays where it was installed, in the host's\n"
    "# root directory.\n";

struct Writer {
    std::span<char> out;
    std::size_t length;
    bool fits;
};

void Put(Writer& writer, std::string_view text) {
    if (!writer.fits || text.size() >= writer.out.size() - writer.length) {
        writer.fits = false;
        return;
    }
    writer.length += text.copy(writer.out.data() + writer.length, text.size());
    writer.out[writer.length] = '\0';
}

// The path as one ExecStart word: '%' and '$' would be expanded by the manager, blanks
// would split it, so those are escaped and such a path is quoted.
bool PutExecPath(Writer& writer, std::string_view path) {
    if (path.empty() || path[0] != '/' || path.find_first_of("\n\r") != std::string_view::npos) {
        return false;
    }
    const bool quoted = path.find_first_of(" \t\"'\\") != std::string_view::npos;
    if (quoted) {
        Put(writer, "\"");
    }
    for (const char c : path) {
        switch (c) {
            case '%':
                Put(writer, "%%");
                break;
            case '$':
                Put(writer, "$$");
                break;
            case '"':
                Put(writer, "\\\"");
                break;
            case '\\':
                Put(writer, "\\\\");
                break;
            default:
                Put(writer, std::string_view(&c, 1));
        }
    }
    if (quoted) {
        Put(writer, "\"");
    }
    return true;
}

}  // namespace

bool UnitFilePath(std::string_view serviceName, std::span<char> out) {
    if (serviceName.empty() || serviceName.find('/') != std::string_view::npos ||
        serviceName[0] == '.') {
        return false;
    }
    const int length = std::snprintf(out.data(), out.size(), "%s/%.*s.service", UNIT_DIRECTORY,
                                     static_cast<int>(serviceName.size()), serviceName.data());
    return length > 0 && static_cast<std::size_t>(length) < out.size();
}

std::size_t ComposeUnitFile(std::string_view binaryPath, std::span<char> out) {
    Writer writer{out, 0, !out.empty()};
    Put(writer, UNIT_HEAD);
    if (!PutExecPath(writer, binaryPath)) {
        return 0;
    }
    Put(writer, UNIT_TAIL);
    return writer.fits ? writer.length : 0;
}
