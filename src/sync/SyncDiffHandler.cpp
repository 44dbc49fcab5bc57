#include "sync/SyncDiffHandler.h"

#include "files/FileDownloader.h"
#include "files/FileSystem.h"
#include "files/SafePath.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "platform/Platform.h"
#include "service/ProcessState.h"
#include "sync/SyncHost.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>

#include <algorithm>

using ImgArchive::ArchiveEditor;

namespace {

Q_LOGGING_CATEGORY(lcDiff, "varo.sync", QtInfoMsg)

constexpr qint64 HashChunkSize = 1 << 20;

// Archives below this folder are the multiplayer client's own; the
// conversion stage leaves them in the form they have, and so does the
// rebuild.
const QLatin1String UntouchedArchiveFolder("multiplayer_c/models/");

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

// Deletes a file or a folder with everything below it. Links (symbolic links,
// Windows junctions) are removed as links and never followed, so nothing
// outside the folder goes. On failure *fault tells why the first thing that
// stayed could not go.
bool removeTree(const QString &path, Platform::FileFault *fault)
{
    const QFileInfo info(path);
    const bool link = info.isSymLink() || (info.isDir() && Platform::isLink(path));
    // A link to a folder (a junction) goes as a folder without entering it.
    if (link && info.isDir() && QDir().rmdir(path))
        return true;
    if (link || !info.isDir()) {
        if (Platform::removeFile(path, fault))
            return true;
        return link && QDir().rmdir(path);
    }
    bool ok = true;
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    while (it.hasNext())
        ok = removeTree(it.next(), ok ? fault : nullptr) && ok;
    if (QDir().rmdir(path))
        return ok;
    if (ok && fault)
        *fault = Platform::lastFileFault();
    return false;
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

// An archive's members by name, looked up as ArchiveEditor::find() looks
// them up: the exact name first, else one that differs in case only. Built
// once per archive instead of a walk of the directory per name.
class MemberLookup final
{
public:
    explicit MemberLookup(const QVector<ImgDirEntry> &directory)
    {
        exact.reserve(directory.size());
        folded.reserve(directory.size());
        for (int i = 0; i < directory.size(); ++i) {
            const QString &name = directory.at(i).name;
            if (name.isEmpty())
                continue;
            if (!exact.contains(name))
                exact.insert(name, i);
            const QString key = name.toCaseFolded();
            if (!folded.contains(key))
                folded.insert(key, i);
        }
    }

    int find(const QString &name) const
    {
        const int index = exact.value(name, -1);
        return index >= 0 ? index : folded.value(name.toCaseFolded(), -1);
    }

private:
    QHash<QString, int> exact;
    QHash<QString, int> folded;
};

// Name -> index of the first live record of a listing group (exact names).
QHash<QString, int> groupIndex(const QVector<ListingEntry> &group)
{
    QHash<QString, int> index;
    index.reserve(group.size());
    for (int i = 0; i < group.size(); ++i) {
        const ListingEntry &record = group.at(i);
        if (!record.isRemoved() && !index.contains(record.name))
            index.insert(record.name, i);
    }
    return index;
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

SyncDiffHandler::SyncDiffHandler(const QString &dir, SyncHost *syncHost, QObject *parent)
    : QObject(parent)
    , gameDir(dir)
    , host(syncHost)
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
    remoteIndexed = false;
}

void SyncDiffHandler::setDownloader(FileDownloader *owned)
{
    if (fileDownloader != owned)
        delete fileDownloader;
    fileDownloader = owned;
}

bool SyncDiffHandler::hasWork() const
{
    return !directoryWork.isEmpty() || !fileWork.isEmpty() || !archiveWork.isEmpty();
}

bool SyncDiffHandler::stopRequested()
{
    if (!ProcessState::isExitRequested())
        return false;
    if (host)
        host->finishAndQuit();
    return true;
}

QString SyncDiffHandler::insideGameDir(const QString &path) const
{
    const QString full = SafePath::inside(gameDir, path);
    if (full.isEmpty())
        qCWarning(lcDiff).noquote() << "[unsafe path] left alone:" << path;
    return full;
}

qint32 SyncDiffHandler::freshCacheGroup()
{
    const qint32 imgId = cacheListing->nextImgId();
    cacheListing->group(imgId); // taken: the next call gives another key
    return imgId;
}

// ---------------------------------------------------------------------------
// Comparison

void SyncDiffHandler::compare(bool oldCopy)
{
    directoryWork.clear();
    fileWork.clear();
    archiveWork.clear();
    if (!localListing || !cacheListing || !remoteListing || !host)
        return;

    localListing->normalize();
    cacheListing->normalize();
    remoteListing->normalize();
    remoteIndexed = false;

    // Nothing on disk changed since the cache was saved, and the cache
    // matches the sync list: nothing to read, nothing to do.
    if (!oldCopy && cacheListing->listingDigest(true) == localListing->listingDigest(true)
        && remoteListing->listingDigest(false) == cacheListing->listingDigest(false)) {
        qCDebug(lcDiff) << "[compare] unchanged";
        return;
    }

    mergeDirectories();
    if (stopRequested())
        return;
    mergeEntries();
    if (stopRequested())
        return;
    const QVector<ArchiveToHash> archives = mergeArchives();
    cacheListing->normalize();
    if (!ProcessState::isExitRequested())
        hashFiles();
    if (stopRequested())
        return;
    hashArchives(archives);

    // The merged, hashed state goes to disk before anything is decided.
    host->saveCacheListing();
    if (stopRequested())
        return;
    buildDirectoryWork();
    if (stopRequested())
        return;
    buildFileWork();
    buildArchiveWork();
    if (stopRequested())
        return;
    qCDebug(lcDiff) << "[compare] directories" << directoryWork.size() << "files" << fileWork.size() << "archives"
                    << archiveWork.size();
}

void SyncDiffHandler::mergeDirectories()
{
    QSet<QString> onDisk;
    for (const QString &directory : qAsConst(localListing->directories)) {
        if (!directory.isEmpty())
            onDisk.insert(directory);
    }
    QSet<QString> cached;
    for (const QString &directory : qAsConst(cacheListing->directories)) {
        if (!directory.isEmpty())
            cached.insert(directory);
    }
    for (const QString &directory : qAsConst(localListing->directories)) {
        if (!directory.isEmpty() && !cached.contains(directory)) {
            cacheListing->directories.append(directory);
            cached.insert(directory);
        }
    }
    for (QString &directory : cacheListing->directories) {
        if (!directory.isEmpty() && !onDisk.contains(directory))
            directory.clear();
    }
}

void SyncDiffHandler::mergeEntries()
{
    QHash<QString, int> cached = cacheListing->entryIndexByPath();
    for (const ListingEntry &local : qAsConst(localListing->entries)) {
        if (local.isRemoved())
            continue;
        const auto found = cached.constFind(local.path);
        if (found != cached.constEnd()) {
            ListingEntry &entry = cacheListing->entries[found.value()];
            if (entry.kind != local.kind) {
                // The file changed its nature (an archive that no longer
                // reads as one, or a file that became an archive): it is
                // recorded afresh, so that neither a stale group nor a group
                // shared through imgId -1 describes it.
                qCDebug(lcDiff).noquote() << "[kind changed]" << local.path;
                entry.kind = local.kind;
                entry.size = local.size;
                entry.md5.clear();
                entry.mtime = local.mtime;
                entry.blockCount = local.blockCount;
                entry.partSize = local.partSize;
                entry.extra = 0;
                entry.imgId = local.kind == EntryKind::ImgArchive ? freshCacheGroup() : -1;
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
            added.imgId = freshCacheGroup();
            QVector<ListingEntry> &records = cacheListing->group(added.imgId);
            for (const ListingEntry &record : localListing->imgGroups.value(local.imgId)) {
                if (!record.isRemoved())
                    records.append(memberCopy(record));
            }
        }
        cacheListing->entries.append(added);
        cached.insert(added.path, cacheListing->entries.size() - 1);
    }

    // What the disk no longer holds is forgotten.
    QSet<QString> onDisk;
    onDisk.reserve(localListing->entries.size());
    for (const ListingEntry &local : qAsConst(localListing->entries)) {
        if (!local.isRemoved())
            onDisk.insert(local.path);
    }
    for (ListingEntry &entry : cacheListing->entries) {
        if (!entry.isRemoved() && !onDisk.contains(entry.path))
            entry.name.clear();
    }
}

QVector<SyncDiffHandler::ArchiveToHash> SyncDiffHandler::mergeArchives()
{
    QVector<ArchiveToHash> archives;
    const QHash<QString, int> cached = cacheListing->entryIndexByPath();
    QSet<qint32> claimed;
    for (const ListingEntry &local : qAsConst(localListing->entries)) {
        if (local.isRemoved() || local.kind != EntryKind::ImgArchive)
            continue;
        const int index = cached.value(local.path, -1);
        if (index < 0)
            continue;
        ListingEntry &entry = cacheListing->entries[index];
        if (entry.kind != EntryKind::ImgArchive)
            continue;
        // A damaged cache may name one group for two archives; each archive
        // needs a group of its own, or their members would mix.
        if (claimed.contains(entry.imgId))
            entry.imgId = freshCacheGroup();
        claimed.insert(entry.imgId);
        archives.append({entry.path, entry.imgId});

        QVector<ListingEntry> &records = cacheListing->group(entry.imgId);
        QSet<QString> cachedNames;
        for (const ListingEntry &record : qAsConst(records)) {
            if (!record.isRemoved())
                cachedNames.insert(record.name);
        }
        QSet<QString> localNames;
        for (const ListingEntry &record : localListing->imgGroups.value(local.imgId)) {
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

void SyncDiffHandler::hashFiles()
{
    for (ListingEntry &entry : cacheListing->entries) {
        if (ProcessState::isExitRequested())
            return;
        if (entry.isRemoved() || entry.kind == EntryKind::ImgArchive || !entry.md5.isEmpty())
            continue;
        host->updateCurrentFile(entry.path, QString());
        const QString full = insideGameDir(entry.path);
        QString md5;
        // A file that cannot be read keeps an empty sum: it then differs from
        // the sync list and is fetched again, instead of passing unchecked.
        if (!full.isEmpty() && !md5OfFile(full, &md5))
            qCWarning(lcDiff).noquote() << "[hash failed]" << entry.path;
        entry.md5 = md5;
    }
}

void SyncDiffHandler::hashArchives(const QVector<ArchiveToHash> &archives)
{
    quint64 total = 0;
    for (const ArchiveToHash &archive : archives) {
        for (const ListingEntry &record : cacheListing->imgGroups.value(archive.imgId)) {
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
        const QString full = insideGameDir(archive.path);
        if (full.isEmpty() || QFileInfo(full).isSymLink())
            continue;
        // Read-only: hashing must not rewrite archives that are not in the
        // launcher's own form.
        ArchiveEditor editor(full);
        if (!editor.openReadOnly()) {
            qCWarning(lcDiff).noquote() << "[hash archive] cannot open" << archive.path;
            continue;
        }
        const MemberLookup members(editor.directory());
        QVector<ListingEntry> &records = cacheListing->group(archive.imgId);
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
                qCWarning(lcDiff).noquote() << "[hash failed]" << archive.path << record.name;
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

void SyncDiffHandler::buildDirectoryWork()
{
    ensureRemoteIndex();
    QSet<QString> remoteDirectories;
    for (const QString &directory : qAsConst(remoteListing->directories)) {
        if (!directory.isEmpty())
            remoteDirectories.insert(directory);
    }
    QSet<QString> cachedDirectories;
    for (const QString &directory : qAsConst(cacheListing->directories)) {
        if (!directory.isEmpty())
            cachedDirectories.insert(directory);
    }
    // Folders that hold something that stays (a file the sync list names, or
    // a kept "compressed/" file) are not deleted with everything below them.
    QSet<QString> holding;
    for (const ListingEntry &entry : qAsConst(remoteListing->entries)) {
        if (!entry.isRemoved())
            addAncestors(entry.path, &holding);
    }
    for (const ListingEntry &entry : qAsConst(cacheListing->entries)) {
        if (!entry.isRemoved() && isKeptEntry(entry.path))
            addAncestors(entry.path, &holding);
    }

    for (const QString &directory : qAsConst(cacheListing->directories)) {
        if (directory.isEmpty() || remoteDirectories.contains(directory) || isKeptDirectory(directory))
            continue;
        if (holding.contains(directory)) {
            qCDebug(lcDiff).noquote() << "[keep directory] holds kept files:" << directory;
            continue;
        }
        if (!SafePath::isSafeRelative(directory)) {
            qCWarning(lcDiff).noquote() << "[unsafe path] left alone:" << directory;
            continue;
        }
        directoryWork.append({directory, SyncOp::Remove});
    }
    for (const QString &directory : qAsConst(remoteListing->directories)) {
        if (directory.isEmpty() || cachedDirectories.contains(directory))
            continue;
        if (!SafePath::isSafeRelative(directory)) {
            qCWarning(lcDiff).noquote() << "[unsafe path] left alone:" << directory;
            continue;
        }
        directoryWork.append({directory, SyncOp::Add});
    }
}

void SyncDiffHandler::buildFileWork()
{
    ensureRemoteIndex();
    const QHash<QString, int> cached = cacheListing->entryIndexByPath();
    for (const ListingEntry &entry : qAsConst(cacheListing->entries)) {
        if (entry.isRemoved() || remoteByPath.contains(entry.path) || isKeptEntry(entry.path))
            continue;
        if (!SafePath::isSafeRelative(entry.path)) {
            qCWarning(lcDiff).noquote() << "[unsafe path] left alone:" << entry.path;
            continue;
        }
        fileWork.append({entry, SyncOp::Remove});
    }
    for (const ListingEntry &remote : qAsConst(remoteListing->entries)) {
        if (remote.isRemoved())
            continue;
        if (!SafePath::isSafeRelative(remote.path)) {
            qCWarning(lcDiff).noquote() << "[unsafe path] left alone:" << remote.path;
            continue;
        }
        const int index = cached.value(remote.path, -1);
        if (index < 0) {
            fileWork.append({remote, SyncOp::Add}); // an archive too: fetched whole
            continue;
        }
        // Archives are compared member by member (buildArchiveWork).
        if (remote.kind == EntryKind::ImgArchive || cacheListing->entries.at(index).md5 == remote.md5)
            continue;
        fileWork.append({remote, SyncOp::Update});
    }
}

void SyncDiffHandler::buildArchiveWork()
{
    const QHash<QString, int> cached = cacheListing->entryIndexByPath();
    for (const ListingEntry &remote : qAsConst(remoteListing->entries)) {
        if (remote.isRemoved() || remote.kind != EntryKind::ImgArchive || !SafePath::isSafeRelative(remote.path))
            continue;
        const int index = cached.value(remote.path, -1);
        if (index < 0)
            continue;
        const ListingEntry &entry = cacheListing->entries.at(index);
        // A plain file in the cache has no members: everything is new.
        const QVector<ListingEntry> cachedRecords = entry.kind == EntryKind::ImgArchive
                                                        ? cacheListing->imgGroups.value(entry.imgId)
                                                        : QVector<ListingEntry>();
        const QVector<ListingEntry> remoteRecords = remoteListing->imgGroups.value(remote.imgId);
        const QHash<QString, int> cachedNames = groupIndex(cachedRecords);
        const QHash<QString, int> remoteNames = groupIndex(remoteRecords);

        QVector<MemberOp> members;
        for (const ListingEntry &record : cachedRecords) {
            if (record.isRemoved() || remoteNames.contains(record.name))
                continue;
            if (!SafePath::isSafeMemberName(record.name)) {
                qCWarning(lcDiff).noquote() << "[unsafe name] left alone:" << remote.path << record.name;
                continue;
            }
            members.append({record, SyncOp::Remove});
        }
        for (const ListingEntry &record : remoteRecords) {
            if (record.isRemoved())
                continue;
            if (!SafePath::isSafeMemberName(record.name)) {
                qCWarning(lcDiff).noquote() << "[unsafe name] left alone:" << remote.path << record.name;
                continue;
            }
            const int cachedIndex = cachedNames.value(record.name, -1);
            if (cachedIndex < 0)
                members.append({record, SyncOp::Add});
            else if (cachedRecords.at(cachedIndex).md5 != record.md5)
                members.append({record, SyncOp::Update});
        }
        if (!members.isEmpty())
            archiveWork.append({remote.path, members});
    }
}

// ---------------------------------------------------------------------------
// Carrying out the work lists

void SyncDiffHandler::queueDownloads()
{
    if (!fileDownloader || !remoteListing)
        return;
    for (const DirOp &op : qAsConst(directoryWork)) {
        if (op.op != SyncOp::Remove)
            fileDownloader->addDirectory(op.path);
    }
    if (stopRequested())
        return;

    QSet<QString> wholeArchives;
    for (const FileOp &op : qAsConst(fileWork)) {
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
            const ListingEntry *remote = remoteArchive(entry.path);
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

    for (const ArchiveOp &op : qAsConst(archiveWork)) {
        if (wholeArchives.contains(op.path))
            continue;
        const ListingEntry *remote = remoteArchive(op.path);
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
        const QString full = insideGameDir(op.path);
        if (full.isEmpty())
            continue;
        const bool editable = !QFileInfo(full).isSymLink() && ArchiveEditor::isV2StaticHeader(full);
        if (editable && changed.isEmpty())
            continue;
        const int c = changed.size();
        const int n = all.size();
        if (editable && n / 2 > c) // fewer than about half the members changed
            fileDownloader->addImgArchive(remote->name, remote->path, remote->extra, remote->blockCount, changed,
                                          false, false);
        else
            fileDownloader->addImgArchive(remote->name, remote->path, remote->extra, remote->blockCount, all, false,
                                          true);
    }
    stopRequested();
}

void SyncDiffHandler::removeExtras()
{
    if (!cacheListing)
        return;

    // Archive members first. The last cache archive entry with the path
    // gives the group.
    QHash<QString, int> cachedArchives;
    for (int i = 0; i < cacheListing->entries.size(); ++i) {
        const ListingEntry &entry = cacheListing->entries.at(i);
        if (!entry.isRemoved() && entry.kind == EntryKind::ImgArchive)
            cachedArchives.insert(entry.path, i);
    }
    for (const ArchiveOp &op : qAsConst(archiveWork)) {
        if (stopRequested())
            return;
        const bool removes = std::any_of(op.members.cbegin(), op.members.cend(),
                                         [](const MemberOp &member) { return member.op == SyncOp::Remove; });
        const int index = cachedArchives.value(op.path, -1);
        if (!removes || index < 0)
            continue;
        const QString full = insideGameDir(op.path);
        if (full.isEmpty() || QFileInfo(full).isSymLink())
            continue;
        if (!ArchiveEditor::isV2StaticHeader(full)) {
            // Fetched whole instead (queueDownloads), which drops the members.
            qCDebug(lcDiff).noquote() << "[keep members] archive not in the launcher's form:" << op.path;
            continue;
        }
        ArchiveEditor editor(full);
        if (!editor.open()) {
            qCWarning(lcDiff).noquote() << "[remove members] cannot open" << op.path;
            reportFailure(op.path, WorkFailure::Step::EditArchive, Platform::lastFileFault());
            continue;
        }
        const MemberLookup members(editor.directory());
        QVector<ListingEntry> &records = cacheListing->group(cacheListing->entries.at(index).imgId);
        const QHash<QString, int> recordIndex = groupIndex(records);
        int removed = 0;
        for (const MemberOp &member : op.members) {
            if (member.op != SyncOp::Remove)
                continue;
            int i = members.find(member.record.name);
            // Names that differ in case only: the one found is gone already.
            if (i >= 0 && editor.directory().at(i).name.isEmpty())
                i = editor.find(member.record.name);
            if (i >= 0) {
                editor.remove(i);
                ++removed;
            }
            const int recordAt = recordIndex.value(member.record.name, -1);
            if (recordAt >= 0)
                records[recordAt].name.clear();
        }
        if (editor.close()) {
            if (removed > 0)
                host->workDone();
        } else {
            reportFailure(op.path, WorkFailure::Step::EditArchive, Platform::lastFileFault());
        }
    }

    const QHash<QString, int> cachedEntries = cacheListing->entryIndexByPath();
    for (const FileOp &op : qAsConst(fileWork)) {
        if (stopRequested())
            return;
        if (op.op != SyncOp::Remove)
            continue;
        const QString full = insideGameDir(op.entry.path);
        if (full.isEmpty())
            continue;
        // A symbolic link is removed as a link.
        Platform::FileFault fault = Platform::FileFault::None;
        if (Platform::removeFile(full, &fault)) {
            host->workDone();
        } else {
            qCWarning(lcDiff).noquote() << "[remove failed]" << op.entry.path;
            reportFailure(op.entry.path, WorkFailure::Step::Remove, fault);
        }
        const int index = cachedEntries.value(op.entry.path, -1);
        if (index >= 0)
            cacheListing->entries[index].name.clear();
    }

    QHash<QString, int> cachedDirectories;
    for (int i = 0; i < cacheListing->directories.size(); ++i) {
        const QString &directory = cacheListing->directories.at(i);
        if (!directory.isEmpty() && !cachedDirectories.contains(directory))
            cachedDirectories.insert(directory, i);
    }
    for (const DirOp &op : qAsConst(directoryWork)) {
        if (stopRequested())
            return;
        if (op.op != SyncOp::Remove)
            continue;
        const QString full = insideGameDir(op.path);
        if (full.isEmpty())
            continue;
        const QFileInfo info(full);
        Platform::FileFault fault = Platform::FileFault::Other;
        if (!info.exists() && !info.isSymLink()) {
            // gone already
        } else if (removeTree(full, &fault)) {
            host->workDone();
        } else {
            qCWarning(lcDiff).noquote() << "[remove failed]" << op.path;
            reportFailure(op.path, WorkFailure::Step::Remove, fault);
        }
        const int index = cachedDirectories.value(op.path, -1);
        if (index >= 0)
            cacheListing->directories[index].clear();
    }
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
        const QString full = insideGameDir(path);
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

void SyncDiffHandler::addCachedDirectory(const QString &path)
{
    if (!cacheListing || !host || path.isEmpty())
        return;
    if (!SafePath::isSafeRelative(path)) {
        qCWarning(lcDiff).noquote() << "[unsafe path] left alone:" << path;
        return;
    }
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

void SyncDiffHandler::reportFailure(const QString &path, WorkFailure::Step step, Platform::FileFault fault)
{
    WorkFailure failure;
    failure.path = path;
    failure.step = step;
    failure.fault = fault;
    workFailed(failure);
}

void SyncDiffHandler::workFailed(const WorkFailure &failure)
{
    if (host)
        host->workFailed(failure);
}

QString SyncDiffHandler::workSignature() const
{
    // Every planned item, one line each, hashed: passes are compared by it.
    QCryptographicHash hash(QCryptographicHash::Md5);
    const auto line = [&hash](int op, const QString &path, const QString &member = QString()) {
        hash.addData(QString(QString::number(op) + QLatin1Char(' ') + path + QLatin1Char(' ') + member
                             + QLatin1Char('\n'))
                         .toUtf8());
    };
    for (const DirOp &op : directoryWork)
        line(int(op.op), op.path);
    for (const FileOp &op : fileWork)
        line(int(op.op), op.entry.path);
    for (const ArchiveOp &op : archiveWork) {
        for (const MemberOp &member : op.members)
            line(int(member.op), op.path, member.record.name);
    }
    return QString::fromLatin1(hash.result().toHex());
}

QString SyncDiffHandler::firstWorkPath() const
{
    if (!fileWork.isEmpty())
        return fileWork.first().entry.path;
    if (!archiveWork.isEmpty())
        return archiveWork.first().path;
    return directoryWork.isEmpty() ? QString() : directoryWork.first().path;
}

// ---------------------------------------------------------------------------
// Ledger of the download queue

void SyncDiffHandler::ensureRemoteIndex() const
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

const ListingEntry *SyncDiffHandler::remoteEntry(const QString &path) const
{
    ensureRemoteIndex();
    const int index = remoteByPath.value(path, -1);
    return index < 0 ? nullptr : &remoteListing->entries.at(index);
}

const ListingEntry *SyncDiffHandler::remoteArchive(const QString &path) const
{
    ensureRemoteIndex();
    const int index = remoteArchiveByPath.value(path, -1);
    return index < 0 ? nullptr : &remoteListing->entries.at(index);
}

QString SyncDiffHandler::remoteMd5(const QString &path) const
{
    const ListingEntry *entry = remoteEntry(path);
    return entry ? entry->md5 : QString();
}

QString SyncDiffHandler::remoteMemberMd5(const QString &archivePath, const QString &name) const
{
    const ListingEntry *archive = remoteArchive(archivePath);
    if (!archive)
        return QString();
    auto members = remoteMembersByName.find(archive->imgId);
    if (members == remoteMembersByName.end())
        members = remoteMembersByName.insert(archive->imgId,
                                             groupIndex(remoteListing->imgGroups.value(archive->imgId)));
    const int index = members.value().value(name, -1);
    return index < 0 ? QString() : remoteListing->imgGroups.value(archive->imgId).at(index).md5;
}

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

void SyncDiffHandler::commitFile(const QString &path)
{
    if (!cacheListing || !host)
        return;
    const ListingEntry *remote = remoteEntry(path);
    if (!remote)
        return;
    ListingEntry copy = rememberedCopy(*remote);
    copy.extra = 0;
    const QString full = SafePath::inside(gameDir, path);
    const QFileInfo info(full);
    if (!full.isEmpty() && info.exists())
        copy.mtime = quint32(info.lastModified().toSecsSinceEpoch());

    const int index = cacheListing->firstEntryIndex(path);
    if (index >= 0) {
        const ListingEntry &old = cacheListing->entries.at(index);
        if (copy.kind == EntryKind::ImgArchive) {
            // An archive keeps its remembered members; one that was a plain
            // file before gets a group of its own.
            copy.imgId = old.kind == EntryKind::ImgArchive ? old.imgId : freshCacheGroup();
        }
        cacheListing->entries[index] = copy;
    } else {
        if (copy.kind == EntryKind::ImgArchive)
            copy.imgId = freshCacheGroup();
        cacheListing->entries.append(copy);
    }
    host->workDone();
    host->saveCacheListing();
}

void SyncDiffHandler::commitArchiveMember(const QString &archivePath, const QString &name)
{
    if (!cacheListing || !host)
        return;
    const ListingEntry *remote = remoteArchive(archivePath);
    const int index = cacheListing->firstArchiveIndex(archivePath);
    if (!remote || index < 0)
        return;
    host->pendingRebuilds().insert(archivePath);

    const QVector<ListingEntry> remoteRecords = remoteListing->imgGroups.value(remote->imgId);
    const auto source = std::find_if(remoteRecords.cbegin(), remoteRecords.cend(),
                                     [&name](const ListingEntry &record) { return record.name == name; });
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

void SyncDiffHandler::commitArchive(const QString &path)
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
            copy.imgId = freshCacheGroup();
        }
        cacheListing->entries[kept] = copy;
    } else {
        copy.imgId = freshCacheGroup();
        cacheListing->entries.append(copy);
    }
    host->workDone();
    host->saveCacheListing();
}
