# Finds libsodium and provides the imported target Sodium::Sodium.
#
# On Linux: Debian's libsodium-dev. For Windows the static library built for
# the MinGW triple by scripts/windows-sodium, whose prefix the toolchain adds
# to the search roots (VARO_SODIUM_PREFIX).

find_path(SODIUM_INCLUDE_DIR sodium.h)
if(WIN32)
  # Linked into each executable: no libsodium DLL to ship.
  find_library(SODIUM_LIBRARY NAMES libsodium.a sodium)
else()
  find_library(SODIUM_LIBRARY NAMES sodium)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Sodium REQUIRED_VARS SODIUM_LIBRARY SODIUM_INCLUDE_DIR)

if(Sodium_FOUND AND NOT TARGET Sodium::Sodium)
  add_library(Sodium::Sodium UNKNOWN IMPORTED)
  set_target_properties(Sodium::Sodium PROPERTIES
      IMPORTED_LOCATION "${SODIUM_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${SODIUM_INCLUDE_DIR}")
  if(WIN32)
    # The header's declarations for a static library, and the system
    # library its random numbers come from (RtlGenRandom).
    set_target_properties(Sodium::Sodium PROPERTIES
        INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
        INTERFACE_LINK_LIBRARIES advapi32)
  endif()
endif()
mark_as_advanced(SODIUM_INCLUDE_DIR SODIUM_LIBRARY)
