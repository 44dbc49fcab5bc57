# Shared part of the MinGW-w64 toolchain files: Debian's cross compilers with
# the POSIX thread model, a static Qt for Windows (scripts/windows-qt), a
# static libsodium (scripts/windows-sodium), and
# executables that carry their whole runtime (libstdc++, libgcc, winpthread
# and Qt are linked in, so only system DLLs are needed).
#
# The including file sets VARO_TRIPLE and CMAKE_SYSTEM_PROCESSOR first. The Qt
# prefix comes from -DVARO_QT_PREFIX=... or the environment variable of the
# same name; scripts/build-windows passes it.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1) # Windows 7, the oldest system Qt 5.15 supports

if(NOT VARO_QT_PREFIX AND DEFINED ENV{VARO_QT_PREFIX})
  set(VARO_QT_PREFIX "$ENV{VARO_QT_PREFIX}")
endif()
if(NOT VARO_QT_PREFIX)
  message(FATAL_ERROR "Set VARO_QT_PREFIX to a static Qt for ${VARO_TRIPLE} "
                      "(scripts/windows-qt ${VARO_TRIPLE} prints one).")
endif()
set(VARO_QT_PREFIX "${VARO_QT_PREFIX}" CACHE PATH "Static Qt for Windows (install prefix)")
# try_compile projects get the toolchain file too, but not the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARO_QT_PREFIX)

set(CMAKE_C_COMPILER ${VARO_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARO_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARO_TRIPLE}-windres)

# The static libsodium of scripts/windows-sodium, from -DVARO_SODIUM_PREFIX=...
# or the environment variable of the same name.
if(NOT VARO_SODIUM_PREFIX AND DEFINED ENV{VARO_SODIUM_PREFIX})
  set(VARO_SODIUM_PREFIX "$ENV{VARO_SODIUM_PREFIX}")
endif()
if(NOT VARO_SODIUM_PREFIX)
  message(FATAL_ERROR "Set VARO_SODIUM_PREFIX to a static libsodium for ${VARO_TRIPLE} "
                      "(scripts/windows-sodium ${VARO_TRIPLE} prints one).")
endif()
set(VARO_SODIUM_PREFIX "${VARO_SODIUM_PREFIX}" CACHE PATH "Static libsodium for Windows (install prefix)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARO_SODIUM_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${VARO_TRIPLE} ${VARO_QT_PREFIX} ${VARO_SODIUM_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_PREFIX_PATH ${VARO_QT_PREFIX})

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s") # no symbol tables in what ships
# Debian's libz-mingw-w64-dev has both an import library and a static one;
# the executables link the static one (no zlib1.dll to ship).
set(ZLIB_USE_STATIC_LIBS ON)
