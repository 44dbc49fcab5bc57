#include "signing/InstallerSignature.h"

#include "signing/SignedText.h"
#include "signing/SigningKey.h"

#include <QStringList>
#include <QVector>

#include <algorithm>

namespace {

const QByteArray Header = QByteArrayLiteral("varo-installer-signature 1");

// The numbers of a version written as numbers joined by dots ("2.0.1"),
// nothing else; empty otherwise.
QVector<int> versionNumbers(const QString &text)
{
    constexpr int MaxParts = 8;
    const QStringList parts = text.split(QLatin1Char('.'));
    QVector<int> numbers;
    if (parts.size() > MaxParts)
        return numbers;
    for (const QString &part : parts) {
        // Digits only: no sign, blank or "+", and no more than an int holds.
        if (part.isEmpty() || part.size() > 9)
            return {};
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return {};
        }
        numbers.append(part.toInt());
    }
    return numbers;
}

// Whether a is a later version than b; missing numbers count as 0, so that
// "2.0" and "2.0.0" are the same version.
bool isNewer(QVector<int> a, QVector<int> b)
{
    const int size = qMax(a.size(), b.size());
    a.resize(size);
    b.resize(size);
    return std::lexicographical_compare(b.cbegin(), b.cend(), a.cbegin(), a.cend());
}

} // namespace

namespace InstallerSignature {

QByteArray make(const SecretKey &key, const QString &version, const QByteArray &sha256)
{
    if (versionNumbers(version).isEmpty() || sha256.size() != 32)
        return QByteArray();
    return SignedText::make(Header, {{"version", version.toLatin1()}, {"sha256", sha256.toHex()}}, key);
}

Verdict check(const QByteArray &signatureFile, const SigningKey &key, const QByteArray &installerSha256,
              const QString &announcedVersion, const QString &runningVersion)
{
    SignedText::Fields fields;
    if (!SignedText::open(signatureFile, Header, key, &fields) || fields.size() != 2 || fields.at(0).first != "version"
        || fields.at(1).first != "sha256")
        return Verdict::Unreadable;
    if (fields.at(1).second != installerSha256.toHex())
        return Verdict::OtherFile;
    const QString signedVersion = QString::fromLatin1(fields.at(0).second);
    if (signedVersion != announcedVersion)
        return Verdict::OtherVersion;
    const QVector<int> version = versionNumbers(signedVersion);
    const QVector<int> running = versionNumbers(runningVersion);
    if (version.isEmpty() || running.isEmpty() || !isNewer(version, running))
        return Verdict::NotNewer;
    return Verdict::Valid;
}

} // namespace InstallerSignature
