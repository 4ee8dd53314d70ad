#include "platform/posix/notify_text.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "platform/posix/win32_codes.h"
#include "platform/text.h"

namespace {

// Appends "\nNAME=<decimal>".
void AppendNumber(TextWriter& writer, std::string_view name, unsigned long long value) {
    std::array<char, 24> digits{};
    (void)std::snprintf(digits.data(), digits.size(), "%llu", value);
    Append(writer, "\n");
    Append(writer, name);
    Append(writer, "=");
    Append(writer, digits.data());
}

// The short human text of the state.
std::string_view StateText(const ServiceStatus& status, std::span<char> out) {
    int length = 0;
    switch (status.currentState) {
        case SERVICE_START_PENDING:
            length = std::snprintf(out.data(), out.size(), "Start pending (check point %u)",
                                   status.checkPoint);
            break;
        case SERVICE_RUNNING:
            length = std::snprintf(out.data(), out.size(), "Running");
            break;
        case SERVICE_STOP_PENDING:
            length = std::snprintf(out.data(), out.size(), "Stop pending (check point %u)",
                                   status.checkPoint);
            break;
        case SERVICE_STOPPED:
            length = std::snprintf(out.data(), out.size(), "Stopped (exit code %u)",
                                   status.win32ExitCode);
            break;
        default:
            length = std::snprintf(out.data(), out.size(), "State %u", status.currentState);
    }
    return length > 0 ? std::string_view(out.data(), static_cast<std::size_t>(length)) : "";
}

}  // namespace

std::size_t FormatNotifyText(const ServiceStatus& status, std::span<char> out) {
    std::array<char, 64> stateText{};
    TextWriter writer = StartText(out);
    Append(writer, "STATUS=");
    Append(writer, StateText(status, stateText));
    if (status.currentState == SERVICE_START_PENDING && status.waitHint > 0) {
        AppendNumber(writer, "EXTEND_TIMEOUT_USEC", status.waitHint * 1000ULL);
    } else if (status.currentState == SERVICE_RUNNING) {
        Append(writer, "\nREADY=1");
    } else if (status.currentState == SERVICE_STOP_PENDING) {
        Append(writer, "\nSTOPPING=1");
    }
    AppendNumber(writer, "X_CORVANE_STATE", status.currentState);
    AppendNumber(writer, "X_CORVANE_CONTROLS", status.controlsAccepted);
    AppendNumber(writer, "X_CORVANE_EXIT_CODE", status.win32ExitCode);
    AppendNumber(writer, "X_CORVANE_CHECKPOINT", status.checkPoint);
    AppendNumber(writer, "X_CORVANE_WAIT_HINT", status.waitHint);
    return writer.cut ? 0 : writer.length;
}
