#pragma once

#include <QString>

// The built-in addresses of the deployment. Each is fixed at build time (the
// CMake cache variable of the same name) and can be overridden at run time
// by a non-empty environment variable of that name, read on every call:
//
//     VARO_API_BASE        launcher API base, path "/launcher_api"
//     VARO_MIRROR_BASE     primary file mirror base, ending in "/"
//     VARO_MONITORING_URL  monitoring endpoint, path "/servers/monitoring"
//     VARO_GAME_HOST       host name of the game servers, sent to monitoring
//     VARO_DEFAULT_SERVER  IPv4 address of the fallback game server
//     VARO_DOWNLOAD_CONNECTIONS  game-file transfers at once (1 to 16)
//     VARO_SMALL_BLOCK_CONNECTIONS  the same while the blocks are small (1 to 64)
namespace Endpoints {

QString launcherApiBase();

// Always ends in "/" (one is added to an override that lacks it).
QString primaryMirrorBase();

QString monitoringUrl();

QString gameHost();

QString defaultServerAddress();

// How many game-file transfers the download queue keeps going at once; 1
// fetches strictly one after the other. An override that is not a number
// from 1 to 16 is ignored.
int downloadConnections();

// How many game-file transfers the download queue keeps going at once while
// the blocks it starts are small: never fewer than downloadConnections(),
// and 1 when that is 1. An override that is not a number from 1 to 64 is
// ignored.
int smallBlockConnections();

// The project's signing key (Ed25519 public key, base64 or hex), fixed at
// build time by VARO_SIGNING_PUBLIC_KEY; empty when the build has none, and
// then nothing is asked to be signed. Unlike the addresses it has no
// override in a release: only a test build reads VARO_TEST_SIGNING_PUBLIC_KEY
// (set, even to nothing, it replaces the built-in key).
QString signingPublicKey();

} // namespace Endpoints
