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
    QString path;              // relative to the game folder
    quint32 size = 0;          // bytes after unpacking (whole archive: its size)
    quint32 partCount = 0;     // AudioFile, ImgArchive fetched whole
    quint32 partSize = 0;      // AudioFile: bytes per part
    QVector<ArchiveMember> entries; // ImgArchive fetched by entries
    bool createArchive = false; // start entry downloads from a new empty archive
    bool wholeArchive = false;  // fetch the archive as one file in parts
};
