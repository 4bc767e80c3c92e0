# Toolchain for a 64-bit Windows build of the same code: used to run the Windows tests on
# machines whose kernel cannot execute 32-bit code (and so cannot run 32-bit Wine).
set(QUOBRINA_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
