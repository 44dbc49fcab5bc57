#include "sync/CacheRefresh.h"

#include "files/imgarchive/ArchiveEditor.h"
#include "service/ProcessState.h"
#include "sync/ListingGroups.h"
#include "sync/MemberLookup.h"
#include "sync/SyncHost.h"
#include "sync/SyncPaths.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QSet>

using ImgArchive::ArchiveEditor;

namespace {

Q_LOGGING_CATEGORY(lcRefresh, "varo.sync", QtInfoMsg)

constexpr qint64 HashChunkSize = 1 << 20;

// MD5 of a whole file, read in bounded chunks. False when the file cannot be
// opened or read to its end.
bool md5OfFile(const QString &path, QString *md5)
{
    // Only regular files: a folder, a pipe or a device where a file is
    // expected cannot be read as one.
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(int(HashChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), HashChunkSize);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        hash.addData(chunk.constData(), int(got));
    }
    if (!file.atEnd())
        return false;
    *md5 = QString::fromLatin1(hash.result().toHex());
    return true;
}

ListingEntry memberCopy(const ListingEntry &record)
{
    ListingEntry copy;
    copy.kind = EntryKind::File;
    copy.name = record.name;
    copy.size = record.size;
    copy.md5 = record.md5;
    return copy;
}

} // namespace

CacheRefresh::CacheRefresh(const QString &dir, SyncHost *syncHost, const Listing &local, Listing &cache)
    : gameDir(dir)
    , host(syncHost)
    , localListing(local)
    , cacheListing(cache)
{
}

bool CacheRefresh::run()
{
    mergeDirectories();
    if (ProcessState::isExitRequested())
        return false;
    mergeEntries();
    if (ProcessState::isExitRequested())
        return false;
    const QVector<ArchiveToHash> archives = mergeArchives();
    cacheListing.normalize();
    if (ProcessState::isExitRequested())
        return false;
    hashFiles();
    if (ProcessState::isExitRequested())
        return false;
    hashArchives(archives);
    return true;
}

void CacheRefresh::mergeDirectories()
{
    QSet<QString> onDisk;
    for (const QString &directory : qAsConst(localListing.directories)) {
        if (!directory.isEmpty())
            onDisk.insert(directory);
    }
    QSet<QString> cached;
    for (const QString &directory : qAsConst(cacheListing.directories)) {
        if (!directory.isEmpty())
            cached.insert(directory);
    }
    for (const QString &directory : qAsConst(localListing.directories)) {
        if (!directory.isEmpty() && !cached.contains(directory)) {
            cacheListing.directories.append(directory);
            cached.insert(directory);
        }
    }
    for (QString &directory : cacheListing.directories) {
        if (!directory.isEmpty() && !onDisk.contains(directory))
            directory.clear();
    }
}

void CacheRefresh::mergeEntries()
{
    QHash<QString, int> cached = cacheListing.entryIndexByPath();
    for (const ListingEntry &local : qAsConst(localListing.entries)) {
        if (local.isRemoved())
            continue;
        const auto found = cached.constFind(local.path);
        if (found != cached.constEnd()) {
            ListingEntry &entry = cacheListing.entries[found.value()];
            if (entry.kind != local.kind) {
                // The file changed its nature (an archive that no longer
                // reads as one, or a file that became an archive): it is
                // recorded afresh, so that neither a stale group nor a group
                // shared through imgId -1 describes it.
                qCDebug(lcRefresh).noquote() << "[kind changed]" << local.path;
                entry.kind = local.kind;
                entry.size = local.size;
                entry.md5.clear();
                entry.mtime = local.mtime;
                entry.blockCount = local.blockCount;
                entry.partSize = local.partSize;
                entry.extra = 0;
                entry.imgId = local.kind == EntryKind::ImgArchive ? ListingGroups::addGroup(cacheListing) : -1;
                continue;
            }
            if (local.kind == EntryKind::ImgArchive)
                continue;
            // A changed modification time means the content may have changed.
            // So does a changed size: times count in whole seconds, and a
            // file rewritten within the second it was recorded keeps its time.
            if (entry.mtime == 0 || local.mtime == 0 || entry.mtime != local.mtime || entry.size != local.size)
                entry.md5.clear();
            continue;
        }

        ListingEntry added;
        added.kind = local.kind;
        added.name = local.name;
        added.path = local.path;
        added.size = local.size;
        added.md5 = local.md5;
        added.mtime = local.mtime;
        added.blockCount = local.blockCount;
        added.partSize = local.partSize;
        if (local.kind == EntryKind::ImgArchive) {
            added.imgId = ListingGroups::addGroup(cacheListing);
            QVector<ListingEntry> &records = cacheListing.group(added.imgId);
            for (const ListingEntry &record : localListing.imgGroups.value(local.imgId)) {
                if (!record.isRemoved())
                    records.append(memberCopy(record));
            }
        }
        cacheListing.entries.append(added);
        cached.insert(added.path, cacheListing.entries.size() - 1);
    }

    // What the disk no longer holds is forgotten.
    QSet<QString> onDisk;
    onDisk.reserve(localListing.entries.size());
    for (const ListingEntry &local : qAsConst(localListing.entries)) {
        if (!local.isRemoved())
            onDisk.insert(local.path);
    }
    for (ListingEntry &entry : cacheListing.entries) {
        if (!entry.isRemoved() && !onDisk.contains(entry.path))
            entry.name.clear();
    }
}

QVector<CacheRefresh::ArchiveToHash> CacheRefresh::mergeArchives()
{
    QVector<ArchiveToHash> archives;
    const QHash<QString, int> cached = cacheListing.entryIndexByPath();
    QSet<qint32> claimed;
    for (const ListingEntry &local : qAsConst(localListing.entries)) {
        if (local.isRemoved() || local.kind != EntryKind::ImgArchive)
            continue;
        const int index = cached.value(local.path, -1);
        if (index < 0)
            continue;
        ListingEntry &entry = cacheListing.entries[index];
        if (entry.kind != EntryKind::ImgArchive)
            continue;
        // A damaged cache may name one group for two archives; each archive
        // needs a group of its own, or their members would mix.
        if (claimed.contains(entry.imgId))
            entry.imgId = ListingGroups::addGroup(cacheListing);
        claimed.insert(entry.imgId);
        archives.append({entry.path, entry.imgId});

        QVector<ListingEntry> &records = cacheListing.group(entry.imgId);
        QSet<QString> cachedNames;
        for (const ListingEntry &record : qAsConst(records)) {
            if (!record.isRemoved())
                cachedNames.insert(record.name);
        }
        QSet<QString> localNames;
        for (const ListingEntry &record : localListing.imgGroups.value(local.imgId)) {
            if (record.isRemoved())
                continue;
            localNames.insert(record.name);
            if (!cachedNames.contains(record.name)) {
                records.append(memberCopy(record));
                cachedNames.insert(record.name);
            }
        }
        for (ListingEntry &record : records) {
            if (!record.isRemoved() && !localNames.contains(record.name))
                record.name.clear();
        }
    }
    return archives;
}

void CacheRefresh::hashFiles()
{
    for (ListingEntry &entry : cacheListing.entries) {
        if (ProcessState::isExitRequested())
            return;
        if (entry.isRemoved() || entry.kind == EntryKind::ImgArchive || !entry.md5.isEmpty())
            continue;
        host->updateCurrentFile(entry.path, QString());
        const QString full = SyncPaths::inside(gameDir, entry.path);
        QString md5;
        // A file that cannot be read keeps an empty sum: it then differs from
        // the sync list and is fetched again, instead of passing unchecked.
        if (!full.isEmpty() && !md5OfFile(full, &md5))
            qCWarning(lcRefresh).noquote() << "[hash failed]" << entry.path;
        entry.md5 = md5;
    }
}

void CacheRefresh::hashArchives(const QVector<ArchiveToHash> &archives)
{
    quint64 total = 0;
    for (const ArchiveToHash &archive : archives) {
        for (const ListingEntry &record : cacheListing.imgGroups.value(archive.imgId)) {
            if (!record.isRemoved() && record.md5.isEmpty())
                ++total;
        }
    }
    if (total == 0)
        return;

    host->updateProgressBar(total, 0);
    quint64 done = 0;
    for (const ArchiveToHash &archive : archives) {
        if (ProcessState::isExitRequested())
            break;
        const QString full = SyncPaths::inside(gameDir, archive.path);
        if (full.isEmpty() || QFileInfo(full).isSymLink())
            continue;
        // Read-only: hashing must not rewrite archives that are not in the
        // launcher's own form.
        ArchiveEditor editor(full);
        if (!editor.openReadOnly()) {
            qCWarning(lcRefresh).noquote() << "[hash archive] cannot open" << archive.path;
            continue;
        }
        const MemberLookup members(editor.directory());
        QVector<ListingEntry> &records = cacheListing.group(archive.imgId);
        for (ListingEntry &record : records) {
            if (ProcessState::isExitRequested())
                break;
            if (record.isRemoved() || !record.md5.isEmpty())
                continue;
            const int index = members.find(record.name);
            if (index < 0)
                continue;
            host->updateCurrentFile(archive.path, QString());
            const QByteArray bytes = editor.read(index);
            if (bytes.isEmpty() && editor.entrySectors(index) != 0)
                qCWarning(lcRefresh).noquote() << "[hash failed]" << archive.path << record.name;
            else
                record.md5 = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
            ++done;
            host->updateProgressBar(total, done);
        }
        editor.close();
    }
    host->updateCurrentFile(QString(), QString());
    host->updateProgressBar(0, 1);
}
