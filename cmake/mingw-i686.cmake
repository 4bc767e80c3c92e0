# Toolchain for the 32-bit Windows program: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(QUOBRINA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
