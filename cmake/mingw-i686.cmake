# CORVANE.exe for 32-bit Windows, the release build, with the mingw-w64 cross tools.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(corvane_target i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
