#pragma once

#include <QString>
#include <QTypeInfo>
#include <QtGlobal>

// What a listing record describes. The numbers are part of the stored and
// transferred listings' meaning and never change.
enum class EntryKind : quint32 {
    File = 0,       // a plain file, or a file inside an IMG archive
    ImgArchive = 1, // an IMG archive; its files form the IMG group `imgId`
    AudioFile = 2,  // a large audio file that travels in `blockCount` parts
};

// One file of the game folder, of the sync list or of the remembered state.
// Paths are relative to the game folder, lower case, "/"-separated. A record
// whose name is empty counts as removed: every reader of a listing skips it
// and it is left out when the listing is written.
struct ListingEntry
{
    EntryKind kind = EntryKind::File;
    QString name;           // lower-case file name; inside an archive: its name there
    QString path;           // lower-case relative path
    quint32 size = 0;       // bytes
    QString md5;            // 32 lower-case hex digits, empty when unknown
    quint32 mtime = 0;      // seconds since 1970-01-01 UTC; only in the remembered state
    qint32 imgId = -1;      // ImgArchive: key of its IMG group
    quint32 imgOffset = 0;  // inside an archive: start sector (2048-byte units); never written
    quint32 blockCount = 0; // AudioFile: parts; ImgArchive: 16 MiB blocks of the rebuilt archive
    quint32 partSize = 0;   // AudioFile: bytes per part
    quint32 extra = 0;      // ImgArchive in the sync list: download size of the whole archive

    bool isRemoved() const { return name.isEmpty(); }
};

// Only implicitly shared strings and plain numbers: a record may be moved in
// memory as bytes, so a growing QVector of them is moved with one memcpy
// instead of being copied record by record (a reference count per string).
Q_DECLARE_TYPEINFO(ListingEntry, Q_MOVABLE_TYPE);
