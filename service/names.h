// The names the system is known by.
#pragma once

// The service, its display name, the dispatch-table entry, the event source and the
// leaf of the event source's registry key.
inline constexpr const char SERVICE_NAME[] = "Corvane";

// The executable's base name, as the usage lines show it.
inline constexpr const char EXECUTABLE_NAME[] = "CORVANE";

inline constexpr const char VERSION_TEXT[] = "1.01";
