#pragma once

#include <QByteArray>
#include <QString>

// Encrypted list files next to the launcher ("varo_servers.bin",
// "varo_launcher.bin"): the 13-byte magic "VAROBNRYLST01" followed by a
// cipher text of PayloadCipher::forCache().

// The plaintext of the file at path, or empty when the file is
// missing, unreadable, larger than any list we write, not headed by the magic
// or fails to decrypt. Callers treat empty as "nothing cached".
QByteArray readBinaryList(const QString &path);

// Replaces the file at path with data, encrypted. The new file
// takes the place of the old one only once it has been written completely,
// so a failed write leaves the previous list as it was. Returns whether the
// file was replaced; callers may ignore it, a missing cache is rebuilt.
bool writeBinaryList(const QString &path, const QByteArray &data);
