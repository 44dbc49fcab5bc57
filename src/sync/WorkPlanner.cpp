#include "sync/WorkPlanner.h"

#include "files/SafePath.h"
#include "sync/ListingGroups.h"
#include "sync/SyncPaths.h"

#include <QLoggingCategory>
#include <QSet>

namespace {

Q_LOGGING_CATEGORY(lcPlan, "varo.sync", QtInfoMsg)

// Folders that are never deleted, though the sync list does not name them.
bool isKeptDirectory(const QString &path)
{
    return path == QLatin1String("enbseries") || path == QLatin1String("compressed");
}

// Files that are never deleted, though the sync list does not name them.
bool isKeptEntry(const QString &path)
{
    return path.contains(QLatin1String("compressed/"), Qt::CaseInsensitive);
}

// Adds every folder above path ("a/b/c" gives "a/b" and "a").
void addAncestors(const QString &path, QSet<QString> *folders)
{
    for (int slash = path.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = path.lastIndexOf(QLatin1Char('/'), slash - 1)) {
        const QString folder = path.left(slash);
        if (folders->contains(folder))
            return; // its own ancestors are there already
        folders->insert(folder);
    }
}

QSet<QString> directorySet(const Listing &listing)
{
    QSet<QString> set;
    for (const QString &directory : listing.directories) {
        if (!directory.isEmpty())
            set.insert(directory);
    }
    return set;
}

} // namespace

WorkPlanner::WorkPlanner(const Listing &remoteListing, const Listing &cacheListing)
    : remote(remoteListing)
    , cache(cacheListing)
    , remoteByPath(remoteListing.entryIndexByPath())
{
}

SyncWork WorkPlanner::plan() const
{
    SyncWork work;
    work.directories = directoryWork();
    work.files = fileWork();
    work.archives = archiveWork();
    return work;
}

QVector<DirOp> WorkPlanner::directoryWork() const
{
    QVector<DirOp> work;
    const QSet<QString> remoteDirectories = directorySet(remote);
    const QSet<QString> cachedDirectories = directorySet(cache);
    // Folders that hold something that stays (a file the sync list names, or
    // a kept "compressed/" file) are not deleted with everything below them.
    QSet<QString> holding;
    for (const ListingEntry &entry : remote.entries) {
        if (!entry.isRemoved())
            addAncestors(entry.path, &holding);
    }
    for (const ListingEntry &entry : cache.entries) {
        if (!entry.isRemoved() && isKeptEntry(entry.path))
            addAncestors(entry.path, &holding);
    }

    for (const QString &directory : cache.directories) {
        if (directory.isEmpty() || remoteDirectories.contains(directory) || isKeptDirectory(directory))
            continue;
        if (holding.contains(directory)) {
            qCDebug(lcPlan).noquote() << "[keep directory] holds kept files:" << directory;
            continue;
        }
        if (SyncPaths::isSafe(directory))
            work.append({directory, SyncOp::Remove});
    }
    for (const QString &directory : remote.directories) {
        if (!directory.isEmpty() && !cachedDirectories.contains(directory) && SyncPaths::isSafe(directory))
            work.append({directory, SyncOp::Add});
    }
    return work;
}

QVector<FileOp> WorkPlanner::fileWork() const
{
    QVector<FileOp> work;
    const QHash<QString, int> cached = cache.entryIndexByPath();
    for (const ListingEntry &entry : cache.entries) {
        if (entry.isRemoved() || remoteByPath.contains(entry.path) || isKeptEntry(entry.path))
            continue;
        if (SyncPaths::isSafe(entry.path))
            work.append({entry, SyncOp::Remove});
    }
    for (const ListingEntry &entry : remote.entries) {
        if (entry.isRemoved() || !SyncPaths::isSafe(entry.path))
            continue;
        const int index = cached.value(entry.path, -1);
        if (index < 0) {
            work.append({entry, SyncOp::Add}); // an archive too: fetched whole
            continue;
        }
        // Archives are compared member by member (archiveWork).
        if (entry.kind == EntryKind::ImgArchive || cache.entries.at(index).md5 == entry.md5)
            continue;
        work.append({entry, SyncOp::Update});
    }
    return work;
}

QVector<ArchiveOp> WorkPlanner::archiveWork() const
{
    QVector<ArchiveOp> work;
    const QHash<QString, int> cached = cache.entryIndexByPath();
    for (const ListingEntry &archive : remote.entries) {
        if (archive.isRemoved() || archive.kind != EntryKind::ImgArchive || !SafePath::isSafeRelative(archive.path))
            continue;
        const int index = cached.value(archive.path, -1);
        if (index < 0)
            continue;
        const ListingEntry &entry = cache.entries.at(index);
        // A plain file in the cache has no members: everything is new.
        const QVector<ListingEntry> cachedRecords = entry.kind == EntryKind::ImgArchive
            ? cache.imgGroups.value(entry.imgId)
            : QVector<ListingEntry>();
        const QVector<ListingEntry> remoteRecords = remote.imgGroups.value(archive.imgId);
        const QHash<QString, int> cachedNames = ListingGroups::nameIndex(cachedRecords);
        const QHash<QString, int> remoteNames = ListingGroups::nameIndex(remoteRecords);

        QVector<MemberOp> members;
        for (const ListingEntry &record : cachedRecords) {
            if (record.isRemoved() || remoteNames.contains(record.name))
                continue;
            if (!SafePath::isSafeMemberName(record.name)) {
                qCWarning(lcPlan).noquote() << "[unsafe name] left alone:" << archive.path << record.name;
                continue;
            }
            members.append({record, SyncOp::Remove});
        }
        for (const ListingEntry &record : remoteRecords) {
            if (record.isRemoved())
                continue;
            if (!SafePath::isSafeMemberName(record.name)) {
                qCWarning(lcPlan).noquote() << "[unsafe name] left alone:" << archive.path << record.name;
                continue;
            }
            const int cachedIndex = cachedNames.value(record.name, -1);
            if (cachedIndex < 0)
                members.append({record, SyncOp::Add});
            else if (cachedRecords.at(cachedIndex).md5 != record.md5)
                members.append({record, SyncOp::Update});
        }
        if (!members.isEmpty())
            work.append({archive.path, members});
    }
    return work;
}
