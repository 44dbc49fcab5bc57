#include "sync/SyncLedger.h"

#include "files/SafePath.h"
#include "platform/Platform.h"
#include "sync/ListingGroups.h"
#include "sync/SyncHost.h"
#include "sync/SyncPaths.h"

#include <algorithm>

namespace {

// What the remembered state keeps of a record of the sync list: everything
// but the fields that only mean something inside one listing (the group key,
// a member's place in its archive).
ListingEntry rememberedCopy(const ListingEntry &remote)
{
    ListingEntry copy = remote;
    copy.imgId = -1;
    copy.imgOffset = 0;
    return copy;
}

} // namespace

SyncLedger::SyncLedger(const QString &dir, SyncHost *syncHost)
    : gameDir(dir)
    , canonicalGameDir(Platform::canonicalPath(dir))
    , host(syncHost)
{
}

void SyncLedger::setListings(Listing *cache, const Listing *remote)
{
    cacheListing = cache;
    remoteListing = remote;
    remoteIndexed = false;
    cacheByPath.clear();
    cacheIndexedSize = -1;
}

// The first live cache entry with this path, or -1, without a walk of the
// cache per stored file. Saving the cache sorts it, and merging drops
// entries: the index is checked at each hit and built again when the cache
// has been reordered or has changed in size (a reordering keeps the set of
// paths, so a miss in an index of the same size is a true miss).
int SyncLedger::cacheEntryIndex(const QString &path)
{
    if (cacheIndexedSize == cacheListing->entries.size()) {
        const int index = cacheByPath.value(path, -1);
        if (index < 0)
            return -1;
        const ListingEntry &entry = cacheListing->entries.at(index);
        if (!entry.isRemoved() && entry.path == path)
            return index;
    }
    cacheByPath = cacheListing->entryIndexByPath();
    cacheIndexedSize = cacheListing->entries.size();
    return cacheByPath.value(path, -1);
}

void SyncLedger::workFailed(const WorkFailure &failure)
{
    if (host)
        host->workFailed(failure);
}

void SyncLedger::ensureRemoteIndex() const
{
    if (remoteIndexed || !remoteListing)
        return;
    remoteByPath = remoteListing->entryIndexByPath();
    remoteArchiveByPath.clear();
    for (int i = 0; i < remoteListing->entries.size(); ++i) {
        const ListingEntry &entry = remoteListing->entries.at(i);
        if (!entry.isRemoved() && entry.kind == EntryKind::ImgArchive && !remoteArchiveByPath.contains(entry.path))
            remoteArchiveByPath.insert(entry.path, i);
    }
    remoteMembersByName.clear();
    remoteIndexed = true;
}

const ListingEntry *SyncLedger::remoteEntry(const QString &path) const
{
    ensureRemoteIndex();
    const int index = remoteByPath.value(path, -1);
    return index < 0 ? nullptr : &remoteListing->entries.at(index);
}

const ListingEntry *SyncLedger::remoteArchive(const QString &path) const
{
    ensureRemoteIndex();
    const int index = remoteArchiveByPath.value(path, -1);
    return index < 0 ? nullptr : &remoteListing->entries.at(index);
}

QString SyncLedger::remoteMd5(const QString &path) const
{
    const ListingEntry *entry = remoteEntry(path);
    return entry ? entry->md5 : QString();
}

QString SyncLedger::remoteMemberMd5(const QString &archivePath, const QString &name) const
{
    const ListingEntry *archive = remoteArchive(archivePath);
    if (!archive)
        return QString();
    const int index = remoteMemberIndex(archive->imgId, name);
    return index < 0 ? QString() : remoteListing->imgGroups.value(archive->imgId).at(index).md5;
}

int SyncLedger::remoteMemberIndex(qint32 imgId, const QString &name) const
{
    auto members = remoteMembersByName.find(imgId);
    if (members == remoteMembersByName.end())
        members = remoteMembersByName.insert(imgId, ListingGroups::nameIndex(remoteListing->imgGroups.value(imgId)));
    return members.value().value(name, -1);
}

void SyncLedger::commitFile(const QString &path)
{
    if (!cacheListing || !host)
        return;
    const ListingEntry *remote = remoteEntry(path);
    if (!remote)
        return;
    ListingEntry copy = rememberedCopy(*remote);
    copy.extra = 0;
    const QString full = SafePath::inside(gameDir, path, canonicalGameDir);
    // One stat, and no conversion to local time (which reads the time zone
    // file each time).
    qint64 modified = 0;
    if (!full.isEmpty() && Platform::modificationTime(full, &modified))
        copy.mtime = quint32(modified);

    const int index = cacheEntryIndex(path);
    if (index >= 0) {
        const ListingEntry &old = cacheListing->entries.at(index);
        if (copy.kind == EntryKind::ImgArchive) {
            // An archive keeps its remembered members; one that was a plain
            // file before gets a group of its own.
            copy.imgId = old.kind == EntryKind::ImgArchive ? old.imgId : ListingGroups::addGroup(*cacheListing);
        }
        cacheListing->entries[index] = copy;
    } else {
        if (copy.kind == EntryKind::ImgArchive)
            copy.imgId = ListingGroups::addGroup(*cacheListing);
        cacheListing->entries.append(copy);
        if (cacheIndexedSize == cacheListing->entries.size() - 1) {
            cacheByPath.insert(path, cacheListing->entries.size() - 1);
            cacheIndexedSize = cacheListing->entries.size();
        }
    }
    host->workDone();
    host->saveCacheListing();
}

void SyncLedger::commitArchiveMember(const QString &archivePath, const QString &name)
{
    if (!cacheListing || !host)
        return;
    const ListingEntry *remote = remoteArchive(archivePath);
    const int index = cacheListing->firstArchiveIndex(archivePath);
    if (!remote || index < 0)
        return;
    host->pendingRebuilds().insert(archivePath);

    const QVector<ListingEntry> remoteRecords = remoteListing->imgGroups.value(remote->imgId);
    const int found = remoteMemberIndex(remote->imgId, name);
    const auto source = found < 0 ? remoteRecords.cend() : remoteRecords.cbegin() + found;
    if (source != remoteRecords.cend()) {
        QVector<ListingEntry> &records = cacheListing->group(cacheListing->entries.at(index).imgId);
        const auto target = std::find_if(records.begin(), records.end(), [&name](const ListingEntry &record) {
            return !record.isRemoved() && record.name == name;
        });
        if (target != records.end())
            *target = *source;
        else
            records.append(*source);
    }
    host->workDone();
    host->saveCacheListing();
}

void SyncLedger::commitArchive(const QString &path)
{
    if (!cacheListing || !host)
        return;
    const ListingEntry *remote = remoteArchive(path);
    if (!remote)
        return;
    ListingEntry copy = rememberedCopy(*remote);
    host->pendingRebuilds().insert(path);

    int kept = -1;
    for (int i = 0; i < cacheListing->entries.size();) {
        if (cacheListing->entries.at(i).isRemoved() || cacheListing->entries.at(i).path != path) {
            ++i;
            continue;
        }
        if (kept >= 0) {
            cacheListing->entries.remove(i);
            continue;
        }
        kept = i++;
    }
    if (kept >= 0) {
        const ListingEntry &old = cacheListing->entries.at(kept);
        if (old.kind == EntryKind::ImgArchive) {
            copy.imgId = old.imgId;
            // The archive was replaced as a whole: the remembered member sums
            // describe the old one. The names and sizes stay; the sums are
            // taken afresh from the new archive in the next pass.
            for (ListingEntry &record : cacheListing->group(copy.imgId))
                record.md5.clear();
        } else {
            copy.imgId = ListingGroups::addGroup(*cacheListing);
        }
        cacheListing->entries[kept] = copy;
    } else {
        copy.imgId = ListingGroups::addGroup(*cacheListing);
        cacheListing->entries.append(copy);
    }
    host->workDone();
    host->saveCacheListing();
}

void SyncLedger::commitDirectory(const QString &path)
{
    if (!cacheListing || !host || path.isEmpty() || !SyncPaths::isSafe(path))
        return;
    // Reserving may record tens of thousands of folders: a set answers
    // "known already?" at once, and the order is restored when the listing
    // is saved (which normalises it), not with every folder.
    if (cachedDirectorySet.isEmpty()) {
        for (const QString &directory : qAsConst(cacheListing->directories)) {
            if (!directory.isEmpty())
                cachedDirectorySet.insert(directory);
        }
    }
    if (cachedDirectorySet.contains(path))
        return;
    cachedDirectorySet.insert(path);
    cacheListing->directories.append(path);
    host->saveCacheListing();
}
