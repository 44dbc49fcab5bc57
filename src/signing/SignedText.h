#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

class SecretKey;
class SigningKey;

// The form of every signature file the project publishes: a small text
//
//     <header>\n
//     <name> <value>\n        (the statement's fields, in a fixed order)
//     signature <base64>\n
//
// whose last line is the Ed25519 signature of all the bytes before it. The
// header names what the statement is about and the form's version
// ("varo-installer-signature 1", "varo-sync-list-signature 1"), so that a
// signature made for one purpose never passes for another. Names are
// lower-case letters, digits and "-"; values printable ASCII without blanks.
// Anything else, a repeated name, a "\r", or more than MaxSize bytes make
// the file unreadable.
namespace SignedText {

constexpr int MaxSize = 4096;

using Fields = QList<QPair<QByteArray, QByteArray>>;

// The signed text of fields under header (empty when the key or a field is
// not valid).
QByteArray make(const QByteArray &header, const Fields &fields, const SecretKey &key);

// The fields of text when it has the form above and header, without looking
// at the signature: for the operators' own files only.
bool parse(const QByteArray &text, const QByteArray &header, Fields *fields);

// The fields of text when it has the form above and header and key signed
// it.
bool open(const QByteArray &text, const QByteArray &header, const SigningKey &key, Fields *fields);

} // namespace SignedText
