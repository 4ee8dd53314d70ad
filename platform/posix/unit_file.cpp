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

// The collector writes one journal entry per datagram: the journal must never
// rate-limit it. Root is the default account; the sandbox leaves it the port, the
// runtime directory and the journal.
constexpr std::string_view UNIT_TAIL =
    "\n"
    "LogRateLimitIntervalSec=0\n"
    "RuntimeDirectory=Corvane\n"
    "RuntimeDirectoryPreserve=yes\n"
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "ReadWritePaths=/run/Corvane\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_NET_ADMIN\n"
    "RestrictAddressFamilies=AF_INET AF_UNIX\n"
    "PrivateDevices=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n";

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
