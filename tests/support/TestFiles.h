#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Helpers that build game-folder fixtures on disk for tests.
namespace TestFiles {

// Writes data to path, creating missing folders. False on failure.
bool write(const QString &path, const QByteArray &data);
QByteArray read(const QString &path);

// Creates a sparse file of the given size (fast even for gigabytes).
bool sparse(const QString &path, qint64 size);

// Deterministic pseudo-random bytes.
QByteArray noise(int size, quint32 seed);

// Makes linkPath a link to target (a folder, or on Linux also a file): a
// symbolic link, and on Windows a junction, which Qt 5.15 does not count
// among links. Wine makes no junctions; there a Unix symbolic link stands in,
// which Wine shows Windows programs as a folder with a reparse point.
bool link(const QString &target, const QString &linkPath);

// The MD5 of data as lower-case hex, the way lists and states write it.
QString md5Hex(const QByteArray &data);

// data with zero bytes added up to a whole number of 2048-byte sectors.
QByteArray padded(const QByteArray &data);

struct Member
{
    QString name;
    QByteArray data;     // stored padded to whole sectors
    quint16 sectors = 0; // 0: derived from data
};

// A VER2 archive ("VER2", count, 32-byte records, data packed in sectors
// right after the directory), the game's own form.
bool ver2Archive(const QString &path, const QVector<Member> &members);

// bytes with a VER2 directory written over their start that names members
// of one sector each, from sector 1 on: any bytes of at least that length
// then read as an archive holding them.
QByteArray withArchiveDirectory(QByteArray bytes, const QStringList &names);

} // namespace TestFiles
