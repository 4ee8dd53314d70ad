#include "platform/posix/status_text.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

struct Field {
    std::string_view name;
    std::uint32_t ServiceStatus::*member;
};

constexpr std::array<Field, 7> FIELDS{{
    {"serviceType", &ServiceStatus::serviceType},
    {"currentState", &ServiceStatus::currentState},
    {"controlsAccepted", &ServiceStatus::controlsAccepted},
    {"win32ExitCode", &ServiceStatus::win32ExitCode},
    {"serviceSpecificExitCode", &ServiceStatus::serviceSpecificExitCode},
    {"checkPoint", &ServiceStatus::checkPoint},
    {"waitHint", &ServiceStatus::waitHint},
}};

// Applies one "name=value" line; unknown names and bad numbers are skipped.
void ParseLine(std::string_view line, StatusFileRecord* record) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals + 1 >= line.size()) {
        return;
    }
    std::array<char, 24> digits{};
    const std::string_view value = line.substr(equals + 1);
    if (value.size() >= digits.size()) {
        return;
    }
    value.copy(digits.data(), value.size());
    char* end = nullptr;
    const unsigned long long number = std::strtoull(digits.data(), &end, 10);
    const std::string_view name = line.substr(0, equals);
    if (*end != '\0' || (name != "startTime" && number > 0xFFFFFFFFULL)) {
        return;
    }
    if (name == "pid") {
        record->pid = static_cast<pid_t>(number);
    }
    if (name == "startTime") {
        record->startTime = number;
    }
    for (const Field& field : FIELDS) {
        if (field.name == name) {
            record->status.*field.member = static_cast<std::uint32_t>(number);
        }
    }
}

}  // namespace

std::size_t FormatStatusText(pid_t pid, unsigned long long startTime, const ServiceStatus& status,
                             std::span<char> out) {
    const int length = std::snprintf(
        out.data(), out.size(),
        "pid=%ld\nstartTime=%llu\nserviceType=%u\ncurrentState=%u\ncontrolsAccepted=%u\n"
        "win32ExitCode=%u\nserviceSpecificExitCode=%u\ncheckPoint=%u\nwaitHint=%u\n",
        static_cast<long>(pid), startTime, status.serviceType, status.currentState,
        status.controlsAccepted, status.win32ExitCode, status.serviceSpecificExitCode,
        status.checkPoint, status.waitHint);
    return length > 0 && static_cast<std::size_t>(length) < out.size()
               ? static_cast<std::size_t>(length)
               : 0;
}

void ParseStatusText(std::string_view text, StatusFileRecord* record) {
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        ParseLine(text.substr(0, newline), record);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    }
}
