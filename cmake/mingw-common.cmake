# Cross-compiling for Windows with Debian's mingw-w64 (POSIX thread model, so std::thread
# works). Included by mingw-i686.cmake and mingw-x86_64.cmake, which set QUOBRINA_MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QUOBRINA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUOBRINA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUOBRINA_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUOBRINA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in: the program needs no DLL beyond Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run under Wine unless the caller names another runner.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(QUOBRINA_WINE NAMES wine wine64 wine-stable PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(QUOBRINA_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QUOBRINA_WINE})
  endif()
endif()
