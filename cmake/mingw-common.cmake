# What both mingw-w64 cross builds share; the including file sets corvane_target (the
# tools' triplet) and CMAKE_SYSTEM_PROCESSOR first.
# The posix-threads compilers, because std::mutex and std::thread need them; the
# runtimes they bring are linked in, so the executable starts on a bare Windows machine
# with nothing but the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${corvane_target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${corvane_target}-g++-posix)
set(CMAKE_RC_COMPILER ${corvane_target}-windres)
set(CMAKE_MC_COMPILER ${corvane_target}-windmc)

# -static also takes libwinpthread's archive instead of its DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# A release carries no symbol table: two thirds of the file, of use to nobody on site.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

set(CMAKE_FIND_ROOT_PATH /usr/${corvane_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
