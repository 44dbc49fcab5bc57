#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QtGlobal>

class SecretKey;
class SigningKey;

// The signature of the sync list, published next to it as "sync.lst.sig":
// the project's statement that the list with this SHA-256 is publication
// number `serial`, to be trusted until `expires` when that is given.
//
//     varo-sync-list-signature 1
//     serial 42
//     sha256 <64 hex digits>
//     expires 2027-01-31T00:00:00Z      (optional)
//     signature <base64>
//
// The serial grows with every publication: a client that remembers the
// highest one it accepted refuses an older list replayed to it. The expiry
// keeps a stale list from being served for ever.
namespace ListSignature {

enum class Verdict {
    Valid,
    Unreadable, // not a signature file, or not signed by the key
    OtherList,  // signed for another list
    Replayed,   // a serial lower than one accepted before
    Expired,
};

struct Statement
{
    quint64 serial = 0;
    QByteArray sha256; // 32 bytes
    QDateTime expires; // null: never
};

// The signature file for list; empty when the key is not valid or serial is
// 0. expires, when not null, is kept to the second, in UTC.
QByteArray make(const SecretKey &key, const QByteArray &list, quint64 serial, const QDateTime &expires = QDateTime());

// The statement of a signature file without checking its signature: for
// the publisher, which counts on from its own mirror's serial.
bool read(const QByteArray &signatureFile, Statement *statement);

// Whether signatureFile lets a client whose highest accepted serial is
// highestSerial act on list at time now; *statement gets what it says when
// it is valid.
Verdict check(const QByteArray &signatureFile, const SigningKey &key, const QByteArray &list, quint64 highestSerial,
              const QDateTime &now, Statement *statement = nullptr);

} // namespace ListSignature
