#pragma once

#include "service/HttpRequest.h"

#include <QString>

// The signed form of every call to the launcher API: a GET of
// apiBase + "/api_v2.php" whose parameters name the action ("data"), carry a
// fresh salt ("sig") and the MD5 signature of action and salt ("hash"), and,
// for the update check, the launcher's version ("version"). The answer is
// plain JSON in the body.
namespace ApiEnvelope {

// Key shared with the API server; part of every signature.
extern const char ApiKey[];

// The launcher's own version, as reported to the update check.
extern const char LauncherVersion[];

// 20 pseudo-random bytes in standard Base64 with padding (28 characters
// ending in "="). The generator is re-seeded with the current time in whole
// seconds before every salt, so salts made within the same second are equal.
QString makeSalt();

// MD5 of the UTF-8 bytes of action + salt + ApiKey as 32 lower-case hex
// digits. Only the action is signed.
QString apiSignature(const QString &action, const QString &salt);

// apiBase + "/api_v2.php".
QString scriptUrl(const QString &apiBase);

// A request for `action` with a fresh salt, ready for get(). A non-empty
// version is sent as "version" (only the update check does so).
HttpRequest makeRequest(const QString &apiBase, const QString &action, const QString &version = QString());

// The same with a given salt.
HttpRequest makeRequest(const QString &apiBase, const QString &action, const QString &version, const QString &salt);

} // namespace ApiEnvelope
