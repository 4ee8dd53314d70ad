// What the status reports tell the dispatcher: the dispatcher holds back a stop signal
// until the service has reported a state that accepts it.
#pragma once

#include <cstdint>

#include "platform/types.h"

// True for the handle OsRegisterServiceCtrlHandler gave out while the dispatcher runs.
bool IsStatusHandle(OsHandle statusHandle);

// Called after each report that reached the manager, with its accepted controls.
void NoteControlsAccepted(std::uint32_t controlsAccepted);
