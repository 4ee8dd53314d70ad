# CORVANE.exe for 64-bit Windows, the build the tests run under wine64 (this machine runs no
# 32-bit code); the same sources as the i686 release, with the mingw-w64 cross tools.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(corvane_target x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
