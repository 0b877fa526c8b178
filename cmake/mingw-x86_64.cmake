# 64-bit Windows build of the same sources, for running the Windows tests under wine64
# on machines whose kernel cannot run 32-bit programs (and so no 32-bit Wine).
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
