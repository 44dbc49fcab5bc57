#pragma once

#include "files/WorkFailure.h"

#include <QString>

// What the download queue needs from the synchronisation's bookkeeping: the
// expected MD5 sums from the sync list, and a record of every file it has
// stored, so that the remembered state follows the disk as each file lands.
class DownloadLedger
{
public:
    virtual ~DownloadLedger() = default;

    // MD5 of the sync list's entry with this path, or empty.
    virtual QString remoteMd5(const QString &path) const = 0;
    // MD5 of the named file inside the sync list's archive at archivePath,
    // or empty.
    virtual QString remoteMemberMd5(const QString &archivePath, const QString &name) const = 0;

    // A File or AudioFile was stored; also called when an archive is opened
    // for entry downloads.
    virtual void commitFile(const QString &path) = 0;
    // A file was stored inside the archive at archivePath.
    virtual void commitArchiveMember(const QString &archivePath, const QString &name) = 0;
    // An archive fetched whole was assembled.
    virtual void commitArchive(const QString &path) = 0;

    // Something could not be stored: the disk did not let it be written or
    // put in place, or its path leads out of the game folder.
    virtual void workFailed(const WorkFailure &failure) = 0;
};
