# CORVANE.exe for 64-bit Windows, which the tests run under Wine after the i686 release;
# the same sources, with the mingw-w64 cross tools.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(corvane_target x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
