# Cross toolchain for the 32-bit Windows build (zultrk.dll, KORVAN.dll and
# the Windows test programs).
#
#   cmake -S . -B build/win32 --toolchain cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZUL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
