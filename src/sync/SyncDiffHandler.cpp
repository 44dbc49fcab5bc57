#include "sync/SyncDiffHandler.h"

#include "files/FileDownloader.h"
#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "service/ProcessState.h"
#include "sync/CacheRefresh.h"
#include "sync/ExtrasRemover.h"
#include "sync/SyncHost.h"
#include "sync/SyncPaths.h"
#include "sync/WorkPlanner.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>

#include <algorithm>

using ImgArchive::ArchiveEditor;

namespace {

Q_LOGGING_CATEGORY(lcDiff, "varo.sync", QtInfoMsg)

// Archives below this folder are the multiplayer client's own; the
// conversion stage leaves them in the form they have, and so does the
// rebuild.
const QLatin1String UntouchedArchiveFolder("multiplayer_c/models/");

} // namespace

SyncDiffHandler::SyncDiffHandler(const QString &dir, SyncHost *syncHost, QObject *parent)
    : QObject(parent)
    , gameDir(dir)
    , host(syncHost)
    , ledger(dir, syncHost)
{
}

SyncDiffHandler::~SyncDiffHandler()
{
    // Deleted while this ledger is still whole: the queue may close an open
    // archive on its way out.
    delete fileDownloader;
}

void SyncDiffHandler::setListings(FileSystem *local, FileSystem *cache, FileSystem *remote)
{
    localListing = local;
    cacheListing = cache;
    remoteListing = remote;
    ledger.setListings(cache, remote);
}

void SyncDiffHandler::setDownloader(FileDownloader *owned)
{
    if (fileDownloader != owned)
        delete fileDownloader;
    fileDownloader = owned;
}

bool SyncDiffHandler::hasWork() const
{
    return !work.isEmpty();
}

bool SyncDiffHandler::stopRequested()
{
    if (!ProcessState::isExitRequested())
        return false;
    if (host)
        host->finishAndQuit();
    return true;
}

void SyncDiffHandler::compare(bool oldCopy)
{
    work.clear();
    if (!localListing || !cacheListing || !remoteListing || !host)
        return;

    localListing->normalize();
    cacheListing->normalize();
    remoteListing->normalize();
    ledger.setListings(cacheListing, remoteListing);

    // Nothing on disk changed since the cache was saved, and the cache
    // matches the sync list: nothing to read, nothing to do.
    if (!oldCopy && cacheListing->listingDigest(true) == localListing->listingDigest(true)
        && remoteListing->listingDigest(false) == cacheListing->listingDigest(false)) {
        qCDebug(lcDiff) << "[compare] unchanged";
        return;
    }

    if (!CacheRefresh(gameDir, host, *localListing, *cacheListing).run()) {
        host->finishAndQuit();
        return;
    }
    // The merged, hashed state goes to disk before anything is decided.
    host->saveCacheListing();
    if (stopRequested())
        return;
    const WorkPlanner planner(*remoteListing, *cacheListing);
    work.directories = planner.directoryWork();
    if (stopRequested())
        return;
    work.files = planner.fileWork();
    work.archives = planner.archiveWork();
    if (stopRequested())
        return;
    qCDebug(lcDiff) << "[compare] directories" << work.directories.size() << "files" << work.files.size() << "archives"
                    << work.archives.size();
}

void SyncDiffHandler::queueDownloads()
{
    if (!fileDownloader || !remoteListing)
        return;
    for (const DirOp &op : qAsConst(work.directories)) {
        if (op.op != SyncOp::Remove)
            fileDownloader->addDirectory(op.path);
    }
    if (stopRequested())
        return;

    QSet<QString> wholeArchives;
    for (const FileOp &op : qAsConst(work.files)) {
        if (op.op == SyncOp::Remove)
            continue;
        const ListingEntry &entry = op.entry;
        switch (entry.kind) {
        case EntryKind::File:
            fileDownloader->addFile(entry.name, entry.path, entry.size);
            break;
        case EntryKind::AudioFile:
            fileDownloader->addAudioFile(entry.name, entry.path, entry.size, entry.blockCount, entry.partSize);
            break;
        case EntryKind::ImgArchive: {
            const ListingEntry *remote = ledger.remoteArchive(entry.path);
            if (!remote)
                break;
            QVector<ArchiveMember> members;
            for (const ListingEntry &record : remoteListing->imgGroups.value(remote->imgId)) {
                if (!record.isRemoved())
                    members.append({record.name, record.size});
            }
            fileDownloader->addImgArchive(entry.name, entry.path, entry.extra, entry.blockCount, members, true, true);
            wholeArchives.insert(entry.path);
            break;
        }
        }
    }

    for (const ArchiveOp &op : qAsConst(work.archives)) {
        if (wholeArchives.contains(op.path))
            continue;
        const ListingEntry *remote = ledger.remoteArchive(op.path);
        if (!remote)
            continue;
        QVector<ArchiveMember> changed;
        for (const MemberOp &member : op.members) {
            if (member.op != SyncOp::Remove)
                changed.append({member.record.name, member.record.size});
        }
        QVector<ArchiveMember> all;
        for (const ListingEntry &record : remoteListing->imgGroups.value(remote->imgId)) {
            if (!record.isRemoved())
                all.append({record.name, record.size});
        }
        // Members can be stored into, or removed from, an archive in the
        // launcher's own form only; any other archive would be damaged by
        // the editor's directory and is replaced whole instead.
        const QString full = SyncPaths::inside(gameDir, op.path);
        if (full.isEmpty())
            continue;
        const bool editable = !QFileInfo(full).isSymLink() && ArchiveEditor::isV2StaticHeader(full);
        if (editable && changed.isEmpty())
            continue;
        const int c = changed.size();
        const int n = all.size();
        if (editable && n / 2 > c) // fewer than about half the members changed
            fileDownloader->addImgArchive(remote->name, remote->path, remote->extra, remote->blockCount, changed, false,
                                          false);
        else
            fileDownloader->addImgArchive(remote->name, remote->path, remote->extra, remote->blockCount, all, false,
                                          true);
    }
    stopRequested();
}

void SyncDiffHandler::rebuildArchives()
{
    if (!host)
        return;
    QSet<QString> &pending = host->pendingRebuilds();
    QStringList paths = pending.values();
    std::sort(paths.begin(), paths.end());
    for (const QString &path : qAsConst(paths)) {
        if (ProcessState::isExitRequested())
            break;
        const QString full = SyncPaths::inside(gameDir, path);
        const QFileInfo info(full);
        if (full.isEmpty() || info.isSymLink() || !info.isFile())
            continue;
        if (!ArchiveEditor::isV2StaticHeader(full)) {
            if (path.startsWith(UntouchedArchiveFolder)) {
                qCDebug(lcDiff).noquote() << "[rebuild] left in its own form:" << path;
                continue;
            }
            if (!ArchiveEditor::convertToV2StaticHeader(full, host))
                continue;
        }
        // Already in the canonical form, as an archive fetched whole arrives:
        // rewriting it would copy every byte to the same place.
        if (ArchiveEditor::isCompactV2StaticHeader(full))
            continue;
        // Writing the directory sorts it by name; the conversion then packs
        // the members from the data area on in that order, the canonical form
        // in which the publisher builds its archives.
        {
            ArchiveEditor editor(full);
            if (!editor.open() || !editor.close()) {
                qCWarning(lcDiff).noquote() << "[rebuild] cannot sort" << path;
                continue;
            }
        }
        ArchiveEditor::convertToV2StaticHeader(full, host);
    }
    pending.clear();
}

void SyncDiffHandler::removeExtras()
{
    if (cacheListing)
        ExtrasRemover(gameDir, host, *cacheListing).run(work);
}

void SyncDiffHandler::addCachedDirectory(const QString &path)
{
    ledger.commitDirectory(path);
}

QString SyncDiffHandler::workSignature() const
{
    return work.signature();
}

QString SyncDiffHandler::firstWorkPath() const
{
    return work.firstPath();
}
