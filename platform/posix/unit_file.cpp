#include "platform/posix/unit_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "platform/text.h"

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
    "# Back after a crash (a signal, a core dump, a watchdog timeout), never after a stop\n"
    "# the collector reported itself: a stop request, or a start that failed, say on a\n"
    "# taken port, which would only fail again.\n"
    "Restart=on-abnormal\n"
    "RestartSec=2s\n"
    "# The receive loop signs every ten seconds from its own waits, and a report to a\n"
    "# stalled journal holds it up for seconds at most: a loop that stops turning is\n"
    "# killed and restarted.\n"
    "WatchdogSec=30s\n"
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
    "# Puts the real-time clock on the device list, read only; PrivateDevices= leaves no\n"
    "# such device to read.\n"
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
    "# It listens for every sender on the host's network: no PrivateNetwork=, no address\n"
    "# allow list (IPAddressDeny=). Local sockets carry its journal entries and status.\n"
    "RestrictAddressFamilies=AF_INET AF_UNIX\n"
    "# PrivateUsers= stays off: in a user namespace of its own the port capability would\n"
    "# not count in the host's network. RootDirectory= too: the executable stays where it\n"
    "# was installed, in the host's tree.\n";

// What ProtectHome=, PrivateTmp=, PrivateDevices= and the runtime folders of users hide.
constexpr std::array<std::string_view, 6> HIDDEN_PLACES{"/tmp",  "/var/tmp", "/dev",
                                                        "/home", "/root",    "/run/user"};

// The path as one ExecStart word. The manager resolves C escapes first and specifiers
// after, so a blank is written "\x20" and '%' "%%"; '$' is never expanded in the
// program's path and stays as it is.
void PutExecPath(TextWriter& writer, std::string_view path) {
    for (const char c : path) {
        Append(writer, c == ' '   ? std::string_view("\\x20")
                       : c == '%' ? "%%"
                                  : std::string_view(&c, 1));
    }
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

std::string_view SandboxHiddenPlace(std::string_view path) {
    for (const std::string_view place : HIDDEN_PLACES) {
        if (path.starts_with(place) && (path.size() == place.size() || path[place.size()] == '/')) {
            return place;
        }
    }
    return {};
}

const char* ExecPathProblem(std::string_view path) {
    if (path.empty() || path[0] != '/') {
        return "its path is not absolute";
    }
    // The manager refuses these in a program's path (a fatal unit error).
    const bool unsafe = std::ranges::any_of(path, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || c == '"' || c == '\'' || c == '\\';
    });
    if (unsafe) {
        return "its path has a control character, a quote or a backslash, which systemd "
               "refuses in a program path";
    }
    // The manager's bus carries UTF-8 only: such a unit's command cannot be shown.
    if (ClassifyUtf8(path) == Utf8Kind::Malformed) {
        return "its path is not valid UTF-8, which systemd cannot handle";
    }
    return nullptr;
}

std::size_t ComposeUnitFile(std::string_view binaryPath, std::span<char> out) {
    if (ExecPathProblem(binaryPath) != nullptr) {
        return 0;
    }
    TextWriter writer = StartText(out);
    Append(writer, UNIT_HEAD);
    PutExecPath(writer, binaryPath);
    Append(writer, UNIT_TAIL);
    return writer.cut ? 0 : writer.length;
}
