# Build-time settings: deployment addresses and constants of the launcher.
# Every address can be overridden at run time by the environment variable of
# the same name (see README.md); the values here are placeholders for the
# project's real hosts.

set(VARO_REGISTRY_VENDOR "VaroOnline" CACHE STRING
    "Vendor segment of the multiplayer client's registry key (before CR-MP\\GenerationC)")

set(VARO_BUILD_DATE "" CACHE STRING
    "Build date in the form 'Dec 30 2023'; empty means the compiler's __DATE__")

# Built-in addresses. Placeholders under the reserved .example domain and a
# documentation IPv4 address; set the real ones when configuring a release.
# HTTPS costs a real deployment nothing and keeps whoever sits on the path
# from rewriting the answers; a plain-HTTP base should come with a signing
# key (below).
set(VARO_API_BASE "https://api.varoonline.example/launcher_api" CACHE STRING
    "Base address of the launcher API (path /launcher_api, no trailing slash)")
set(VARO_MIRROR_BASE "https://cdn.varoonline.example/" CACHE STRING
    "Base address of the primary file mirror (ends in /)")
set(VARO_MONITORING_URL "https://monitoring.varoonline.example/servers/monitoring" CACHE STRING
    "Server monitoring endpoint (path /servers/monitoring)")
set(VARO_GAME_HOST "play.varoonline.example" CACHE STRING
    "Host name of the game servers, as sent to the monitoring service")
set(VARO_DEFAULT_SERVER "192.0.2.10" CACHE STRING
    "IPv4 address of the built-in fallback game server")

set(VARO_DOWNLOAD_CONNECTIONS 6 CACHE STRING
    "Game-file transfers the download queue keeps going at once (1 to 16; 1: one after the other)")
set(VARO_SMALL_BLOCK_CONNECTIONS 48 CACHE STRING
    "Game-file transfers kept going at once while the blocks are small (1 to 64; never fewer than VARO_DOWNLOAD_CONNECTIONS)")

# The project's signing key: an Ed25519 public key, 32 bytes in base64 (44
# characters) or hex (64 digits). Empty: the launcher trusts installers and
# sync lists as it always did. Set: it runs an update installer and acts on
# a sync list only when the project's secret key signed them (README,
# "Signing").
set(VARO_SIGNING_PUBLIC_KEY "" CACHE STRING
    "Ed25519 public key (base64 or hex) that signs installers and sync lists; empty: no signatures")
if(NOT VARO_SIGNING_PUBLIC_KEY STREQUAL ""
   AND NOT VARO_SIGNING_PUBLIC_KEY MATCHES "^[0-9A-Fa-f]+$|^[A-Za-z0-9+/]+=$")
  message(FATAL_ERROR "VARO_SIGNING_PUBLIC_KEY is neither base64 nor hex: ${VARO_SIGNING_PUBLIC_KEY}")
endif()
string(LENGTH "${VARO_SIGNING_PUBLIC_KEY}" signing_key_length)
if(NOT signing_key_length EQUAL 0 AND NOT signing_key_length EQUAL 44 AND NOT signing_key_length EQUAL 64)
  message(FATAL_ERROR "VARO_SIGNING_PUBLIC_KEY must be 44 base64 characters or 64 hex digits "
                      "(varo-sign keygen prints it)")
endif()

option(VARO_INSECURE_TLS
       "Do not verify TLS peers (only for deployments with self-signed certificates)" OFF)

# Web addresses the launcher window opens: the four header links and the
# launcher's own download (offered when an update is announced). Placeholders
# like the addresses above.
set(VARO_SITE_URL "https://varoonline.example/" CACHE STRING
    "The project's web site (header link \"Сайт\")")
set(VARO_FORUM_URL "https://forum.varoonline.example/" CACHE STRING
    "The project's forum (header link \"Форум\")")
set(VARO_DONATE_URL "https://varoonline.example/donate" CACHE STRING
    "The web site's donation page (header link \"Пополнить счет\")")
set(VARO_HELP_URL "https://varoonline.example/help" CACHE STRING
    "The project's help chat (header link \"Помощь\")")
set(VARO_DOWNLOAD_URL "https://varoonline.example/files/VaroLauncher.exe" CACHE STRING
    "Secure address of the launcher's executable on the project's site")
