#pragma once

#include "files/ListingEntry.h"

#include <QPair>
#include <QString>
#include <QVector>

// One file of an archive to fetch: its name in the archive and its size.
using ArchiveMember = QPair<QString, quint32>;

// One queued transfer of the download queue.
struct DownloadItem
{
    EntryKind kind = EntryKind::File;
    QString name;
    QString path;                   // relative to the game folder
    quint32 size = 0;               // bytes after unpacking (whole archive: its size)
    quint32 partCount = 0;          // AudioFile, ImgArchive fetched whole
    quint32 partSize = 0;           // AudioFile: bytes per part
    QVector<ArchiveMember> entries; // ImgArchive fetched by entries
    bool createArchive = false;     // start entry downloads from a new empty archive
    bool wholeArchive = false;      // fetch the archive as one file in parts

    // An archive fetched member by member.
    bool isEntryItem() const { return kind == EntryKind::ImgArchive && !wholeArchive; }
    // A file fetched in parts joined in order: an audio file or a whole archive.
    bool isPartItem() const { return kind == EntryKind::AudioFile || (kind == EntryKind::ImgArchive && wholeArchive); }
    // The blocks the item travels in: its parts, its members, or one.
    quint32 pieceCount() const
    {
        if (isPartItem())
            return partCount;
        return isEntryItem() ? quint32(entries.size()) : 1;
    }
    // Part k of an audio file holds partSize bytes; the last one holds what
    // remains of the item's size.
    qint64 expectedPartSize(quint32 part) const
    {
        if (part + 1 < partCount)
            return qint64(partSize);
        return qint64(size) - qint64(partCount - 1) * qint64(partSize);
    }
};
