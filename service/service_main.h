// The service's side of the service control protocol.
#pragma once

#include <cstdint>

// The service's main function, run by the dispatcher on a thread of its own: registers
// the control handler, reports start pending, runs the receiver and reports stopped.
void ServiceEntry(std::uint32_t argCount, char** argVector);

// The control handler, called on the dispatcher's thread. A stop control sets stop
// pending and asks the receiver to stop; every control is answered with a fresh report
// of the current state, until the service has stopped.
void HandleControl(std::uint32_t controlCode);
