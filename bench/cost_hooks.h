// Where the own-cost harness's fake platform hands control back to the harness.
#pragma once

#include <cstdint>
#include <span>

namespace CostHooks {

// Every status report; the running report means the socket is bound.
void Status(std::uint32_t state);

// Every event report that reached the (fake) event log.
void Reported(std::uint16_t eventType, std::uint32_t eventId, std::span<const char* const> strings);

}  // namespace CostHooks
