#pragma once

#include "files/DownloadLedger.h"
#include "sync/SyncLedger.h"
#include "sync/SyncWork.h"

#include <QObject>
#include <QString>
#include <QVector>

class FileDownloader;
class FileSystem;
class SyncHost;

// The decision-maker of a sync pass, which coordinates the pieces that do
// the work. compare() brings the remembered state (the cache listing) in
// line with the fresh scan of the game folder (CacheRefresh: merge, then
// hash what changed since the last run), saves it and plans the work against
// the sync list (WorkPlanner): directories, files and archive members to
// add, update or remove. The later stages of the pass carry it out through
// the same object: removeExtras() (ExtrasRemover), queueDownloads(),
// addCachedDirectory() while folders are created, rebuildArchives() at the
// end. As the download queue's ledger (SyncLedger) it records every stored
// file in the cache listing.
//
// Paths in the listings come from the network or from a file on disk and are
// untrusted: nothing is deleted, opened for writing or queued unless it lies
// inside the game folder, without following symbolic links out of it.
class SyncDiffHandler final : public QObject
{
    Q_OBJECT

public:
    SyncDiffHandler(const QString &gameDir, SyncHost *host, QObject *parent = nullptr);
    ~SyncDiffHandler() override;

    // The worker's three listings (not owned).
    void setListings(FileSystem *local, FileSystem *cache, FileSystem *remote);

    // Builds the work lists. oldCopy: the cache was just rebuilt from a hashed
    // scan, so the quick "nothing changed" test is skipped.
    void compare(bool oldCopy);
    bool hasWork() const;
    // Fills the download queue from the work lists.
    void queueDownloads();
    // Carries out every removal: archive members, files, then directories.
    void removeExtras();
    // Brings every archive touched in this pass into its compact canonical
    // form and empties the host's set of archives to rebuild.
    void rebuildArchives();
    // Records a directory created on disk in the cache listing and saves it.
    void addCachedDirectory(const QString &path);

    // What the download queue reports stored files to.
    DownloadLedger *downloadLedger() { return &ledger; }

    // A digest of the work lists, equal for two passes that planned the same
    // work, and the path of the first item: what the run compares and names
    // when passes repeat themselves.
    QString workSignature() const;
    QString firstWorkPath() const;

    // Takes ownership; a previous downloader is deleted.
    void setDownloader(FileDownloader *owned);
    FileDownloader *downloader() const { return fileDownloader; }

    const QVector<DirOp> &dirOps() const { return work.directories; }
    const QVector<FileOp> &fileOps() const { return work.files; }
    const QVector<ArchiveOp> &archiveOps() const { return work.archives; }

private:
    bool stopRequested();

    QString gameDir;
    SyncHost *host = nullptr;
    FileSystem *localListing = nullptr;
    FileSystem *cacheListing = nullptr;
    FileSystem *remoteListing = nullptr;
    FileDownloader *fileDownloader = nullptr;
    SyncLedger ledger;
    SyncWork work;
};
