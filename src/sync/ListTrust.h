#pragma once

#include "signing/ListSignature.h"
#include "signing/SigningKey.h"

#include <QByteArray>
#include <QString>

// Whether the sync list may be acted on, for a project that signs its lists:
// the signature must be the project's for exactly this list, its serial not
// lower than the highest this launcher accepted before, and its expiry not
// past. The highest serial is kept in a file of its own next to the launcher
// and raised with every list accepted, so that an older list replayed later
// (one that would bring back a file since replaced) is refused, whatever the
// player did in between.
class ListTrust final
{
public:
    // keyText: the project's key (empty: lists need no signature; a key that
    // cannot be read trusts nothing). serialFile: where the highest serial
    // is kept.
    ListTrust(const QString &keyText, const QString &serialFile);

    bool isRequired() const { return required; }

    // Checks signatureFile against list and, when it holds, records its
    // serial.
    ListSignature::Verdict accept(const QByteArray &list, const QByteArray &signatureFile);

    // The highest serial accepted so far (0 when none, or when the file is
    // missing or unreadable).
    quint64 highestSerial() const;

    // Why a list was refused: the message box's text, and the status line's
    // (Russian, for the player).
    static QString messageText(ListSignature::Verdict verdict);
    static QString reasonText(ListSignature::Verdict verdict);

private:
    bool required;
    SigningKey key;
    QString serialFile;
};
