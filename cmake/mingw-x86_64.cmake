# Cross toolchain for a 64-bit Windows build of the same sources. The product
# is the 32-bit DLL; this build runs the Windows tests under wine64 on
# machines that cannot run 32-bit programs.
#
#   cmake -S . -B build/win64 --toolchain cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZUL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
