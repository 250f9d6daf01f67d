# What the Windows cross builds share, for the ZUL_MINGW_TRIPLE the toolchain
# file sets: Debian's mingw-w64 (posix threads variant).
#
# The C and C++ runtimes are linked statically, so nothing but the system's
# own DLLs (kernel32, msvcrt) and KORVAN.dll has to sit beside the driver.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZUL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZUL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZUL_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${ZUL_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump for the Windows binaries")

set(CMAKE_FIND_ROOT_PATH /usr/${ZUL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static: libgcc, libstdc++ and winpthread are linked in, never imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
