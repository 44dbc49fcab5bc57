#pragma once

#include <QByteArray>
#include <QString>

class SecretKey;
class SigningKey;

// The signature of an update installer, published next to it as
// "<installer address>.sig": the project's statement that the installer
// with this SHA-256 is the launcher of this version.
//
//     varo-installer-signature 1
//     version 2.0.1
//     sha256 <64 hex digits>
//     signature <base64>
namespace InstallerSignature {

enum class Verdict {
    Valid,
    Unreadable,   // not a signature file, or not signed by the key
    OtherFile,    // signed for another installer
    OtherVersion, // signed for another version than the one announced
    NotNewer,     // the version is not newer than the running launcher's
};

// The signature file for an installer (sha256: its 32-byte digest); empty
// when the key or the version is not valid. A version is numbers joined by
// dots ("2.0.1").
QByteArray make(const SecretKey &key, const QString &version, const QByteArray &sha256);

// Whether signatureFile lets the installer whose digest is installerSha256
// run as the update to announcedVersion of a launcher at runningVersion.
Verdict check(const QByteArray &signatureFile, const SigningKey &key, const QByteArray &installerSha256,
              const QString &announcedVersion, const QString &runningVersion);

} // namespace InstallerSignature
