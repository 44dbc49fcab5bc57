#pragma once

#include "files/DownloadLedger.h"
#include "files/Listing.h"

#include <QHash>
#include <QSet>
#include <QString>

class SyncHost;

// The bookkeeping of a sync pass as the download queue sees it: the sums it
// checks come from the sync list (remote), and every file, archive member,
// archive and folder it stores is recorded in the remembered state (cache)
// and saved at once, so that the remembered state follows the disk as each
// file lands. Archives that received members, or arrived whole, are marked
// for the rebuild at the end of the pass.
class SyncLedger final : public DownloadLedger
{
public:
    SyncLedger(const QString &gameDir, SyncHost *host);

    // The listings (not owned); either may be null. Call again when the sync
    // list changed (normalised): its lookups are built once from it.
    void setListings(Listing *cache, const Listing *remote);

    // The sync list's archive entry with this path, or null.
    const ListingEntry *remoteArchive(const QString &path) const;

    // DownloadLedger
    QString remoteMd5(const QString &path) const override;
    QString remoteMemberMd5(const QString &archivePath, const QString &name) const override;
    void commitFile(const QString &path) override;
    void commitArchiveMember(const QString &archivePath, const QString &name) override;
    void commitArchive(const QString &path) override;
    void workFailed(const WorkFailure &failure) override;

    // Records a directory created on disk in the cache listing and saves it.
    void commitDirectory(const QString &path);

private:
    void ensureRemoteIndex() const;
    const ListingEntry *remoteEntry(const QString &path) const;
    int remoteMemberIndex(qint32 imgId, const QString &name) const;
    int cacheEntryIndex(const QString &path);

    QString gameDir;
    // Found once: every committed file's path is checked below it.
    QString canonicalGameDir;
    SyncHost *host = nullptr;
    Listing *cacheListing = nullptr;
    const Listing *remoteListing = nullptr;
    // The cache's folders, while reserving records new ones.
    QSet<QString> cachedDirectorySet;

    mutable bool remoteIndexed = false;
    mutable QHash<QString, int> remoteByPath;
    mutable QHash<QString, int> remoteArchiveByPath;
    mutable QHash<qint32, QHash<QString, int>> remoteMembersByName;
    // Path -> index of the cache's entries, built when it had this many.
    QHash<QString, int> cacheByPath;
    int cacheIndexedSize = -1;
};
