# Shared by the MinGW-w64 toolchain files, which set MINGW_TRIPLET first.

# The posix thread model where installed, else the default one: with -static
# either links to nothing but system DLLs.
find_program(CMAKE_CXX_COMPILER NAMES ${MINGW_TRIPLET}-g++-posix ${MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${MINGW_TRIPLET}-gcc-posix ${MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${MINGW_TRIPLET}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian puts the 64-bit loader outside PATH, and `wine` itself picks the
# 32-bit one whenever wine32 is installed, so each flavour names its own.
if(MINGW_TRIPLET MATCHES "^x86_64")
  find_program(WINE_LOADER NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(WINE_LOADER NAMES wine64 wine)
else()
  find_program(WINE_LOADER NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(WINE_LOADER NAMES wine)
endif()
if(WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_LOADER})
endif()
