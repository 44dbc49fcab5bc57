# Build-time settings: deployment addresses and constants of the launcher.
# Every address can be overridden at run time by the environment variable of
# the same name (see README.md); the values here are placeholders for the
# project's real hosts.

set(VARO_REGISTRY_VENDOR "VaroOnline" CACHE STRING
    "Vendor segment of the multiplayer client's registry key (before CR-MP\\GenerationC)")

set(VARO_BUILD_DATE "" CACHE STRING
    "Build date in the form 'Dec 30 2023'; empty means the compiler's __DATE__")
