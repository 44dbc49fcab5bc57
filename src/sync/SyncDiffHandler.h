#pragma once

#include "files/DownloadLedger.h"
#include "files/ListingEntry.h"

#include <QHash>
#include <QSet>
#include <QObject>
#include <QString>
#include <QVector>

class FileDownloader;
class FileSystem;
class SyncHost;

// What a work-list item asks for. The numbers are fixed.
enum class SyncOp : qint32 {
    Add = 1,    // create the directory, fetch the file or member
    Remove = 2, // delete it
    Update = 3, // fetch it again (files and archive members only)
};

struct DirOp
{
    QString path;
    SyncOp op = SyncOp::Add;
};

struct FileOp
{
    ListingEntry entry; // a copy: the remote record for Add/Update, the cached one for Remove
    SyncOp op = SyncOp::Add;
};

struct MemberOp
{
    ListingEntry record; // a copy of the IMG group record
    SyncOp op = SyncOp::Add;
};

struct ArchiveOp
{
    QString path;
    QVector<MemberOp> members; // removals first, then additions and updates
};

// The decision-maker of a sync pass. compare() merges the fresh scan of the
// game folder into the remembered state (the cache listing), hashes what
// changed since the last run, saves the cache and compares it with the sync
// list, giving three work lists: directories, files and archive members to
// add, update or remove. The later stages of the pass carry them out through
// the same object: removeExtras(), queueDownloads(), addCachedDirectory()
// while folders are created, rebuildArchives() at the end. As the download
// queue's ledger it records every stored file in the cache listing.
//
// Paths in the listings come from the network or from a file on disk and are
// untrusted: nothing is deleted, opened for writing or queued unless it lies
// inside the game folder, without following symbolic links out of it.
class SyncDiffHandler final : public QObject, public DownloadLedger
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

    // DownloadLedger
    QString remoteMd5(const QString &path) const override;
    QString remoteMemberMd5(const QString &archivePath, const QString &name) const override;
    void commitFile(const QString &path) override;
    void commitArchiveMember(const QString &archivePath, const QString &name) override;
    void commitArchive(const QString &path) override;
    void workFailed(const WorkFailure &failure) override;

    // A digest of the work lists, equal for two passes that planned the same
    // work, and the path of the first item: what the run compares and names
    // when passes repeat themselves.
    QString workSignature() const;
    QString firstWorkPath() const;

    // Takes ownership; a previous downloader is deleted.
    void setDownloader(FileDownloader *owned);
    FileDownloader *downloader() const { return fileDownloader; }

    const QVector<DirOp> &dirOps() const { return directoryWork; }
    const QVector<FileOp> &fileOps() const { return fileWork; }
    const QVector<ArchiveOp> &archiveOps() const { return archiveWork; }

private:
    // An archive whose members are hashed in this pass: its path and the key
    // of its cache IMG group.
    struct ArchiveToHash
    {
        QString path;
        qint32 imgId = -1;
    };

    bool stopRequested();
    void mergeDirectories();
    void mergeEntries();
    QVector<ArchiveToHash> mergeArchives();
    void hashFiles();
    void hashArchives(const QVector<ArchiveToHash> &archives);
    void buildDirectoryWork();
    void buildFileWork();
    void buildArchiveWork();

    // Lookups in the sync list, built once: it does not change after compare
    // normalised it.
    void ensureRemoteIndex() const;
    const ListingEntry *remoteEntry(const QString &path) const;
    const ListingEntry *remoteArchive(const QString &path) const;

    // gameDir + "/" + path when that stays inside the game folder, else empty.
    QString insideGameDir(const QString &path) const;
    void reportFailure(const QString &path, WorkFailure::Step step, Platform::FileFault fault);
    qint32 freshCacheGroup();

    QString gameDir;
    SyncHost *host = nullptr;
    FileSystem *localListing = nullptr;
    FileSystem *cacheListing = nullptr;
    FileSystem *remoteListing = nullptr;
    FileDownloader *fileDownloader = nullptr;

    QVector<DirOp> directoryWork;
    QVector<FileOp> fileWork;
    QVector<ArchiveOp> archiveWork;
    // The cache's folders, while reserving records new ones.
    QSet<QString> cachedDirectorySet;

    mutable bool remoteIndexed = false;
    mutable QHash<QString, int> remoteByPath;
    mutable QHash<QString, int> remoteArchiveByPath;
    mutable QHash<qint32, QHash<QString, int>> remoteMembersByName;
};
