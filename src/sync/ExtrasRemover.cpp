#include "sync/ExtrasRemover.h"

#include "files/imgarchive/ArchiveEditor.h"
#include "service/ProcessState.h"
#include "sync/ListingGroups.h"
#include "sync/MemberLookup.h"
#include "sync/SyncHost.h"
#include "sync/SyncPaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>

#include <algorithm>

using ImgArchive::ArchiveEditor;

namespace {

Q_LOGGING_CATEGORY(lcRemove, "varo.sync", QtInfoMsg)

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

} // namespace

ExtrasRemover::ExtrasRemover(const QString &dir, SyncHost *syncHost, Listing &cache)
    : gameDir(dir)
    , host(syncHost)
    , cacheListing(cache)
{
}

bool ExtrasRemover::stopRequested()
{
    if (!ProcessState::isExitRequested())
        return false;
    if (host)
        host->finishAndQuit();
    return true;
}

void ExtrasRemover::run(const SyncWork &work)
{
    if (removeMembers(work.archives) && removeFiles(work.files))
        removeDirectories(work.directories);
}

// False when a stop request ended it.
bool ExtrasRemover::removeMembers(const QVector<ArchiveOp> &work)
{
    // The last cache archive entry with the path gives the group.
    QHash<QString, int> cachedArchives;
    for (int i = 0; i < cacheListing.entries.size(); ++i) {
        const ListingEntry &entry = cacheListing.entries.at(i);
        if (!entry.isRemoved() && entry.kind == EntryKind::ImgArchive)
            cachedArchives.insert(entry.path, i);
    }
    for (const ArchiveOp &op : work) {
        if (stopRequested())
            return false;
        const bool removes = std::any_of(op.members.cbegin(), op.members.cend(),
                                         [](const MemberOp &member) { return member.op == SyncOp::Remove; });
        const int index = cachedArchives.value(op.path, -1);
        if (!removes || index < 0)
            continue;
        const QString full = SyncPaths::inside(gameDir, op.path);
        if (full.isEmpty() || QFileInfo(full).isSymLink())
            continue;
        if (!ArchiveEditor::isV2StaticHeader(full)) {
            // Fetched whole instead (queueDownloads), which drops the members.
            qCDebug(lcRemove).noquote() << "[keep members] archive not in the launcher's form:" << op.path;
            continue;
        }
        ArchiveEditor editor(full);
        if (!editor.open()) {
            qCWarning(lcRemove).noquote() << "[remove members] cannot open" << op.path;
            reportFailure(op.path, WorkFailure::Step::EditArchive, Platform::lastFileFault());
            continue;
        }
        const MemberLookup members(editor.directory());
        QVector<ListingEntry> &records = cacheListing.group(cacheListing.entries.at(index).imgId);
        const QHash<QString, int> recordIndex = ListingGroups::nameIndex(records);
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
    return true;
}

// False when a stop request ended it.
bool ExtrasRemover::removeFiles(const QVector<FileOp> &work)
{
    const QHash<QString, int> cachedEntries = cacheListing.entryIndexByPath();
    for (const FileOp &op : work) {
        if (stopRequested())
            return false;
        if (op.op != SyncOp::Remove)
            continue;
        const QString full = SyncPaths::inside(gameDir, op.entry.path);
        if (full.isEmpty())
            continue;
        // A symbolic link is removed as a link.
        Platform::FileFault fault = Platform::FileFault::None;
        if (Platform::removeFile(full, &fault)) {
            host->workDone();
        } else {
            qCWarning(lcRemove).noquote() << "[remove failed]" << op.entry.path;
            reportFailure(op.entry.path, WorkFailure::Step::Remove, fault);
        }
        const int index = cachedEntries.value(op.entry.path, -1);
        if (index >= 0)
            cacheListing.entries[index].name.clear();
    }
    return true;
}

void ExtrasRemover::removeDirectories(const QVector<DirOp> &work)
{
    QHash<QString, int> cachedDirectories;
    for (int i = 0; i < cacheListing.directories.size(); ++i) {
        const QString &directory = cacheListing.directories.at(i);
        if (!directory.isEmpty() && !cachedDirectories.contains(directory))
            cachedDirectories.insert(directory, i);
    }
    for (const DirOp &op : work) {
        if (stopRequested())
            return;
        if (op.op != SyncOp::Remove)
            continue;
        const QString full = SyncPaths::inside(gameDir, op.path);
        if (full.isEmpty())
            continue;
        const QFileInfo info(full);
        Platform::FileFault fault = Platform::FileFault::Other;
        if (!info.exists() && !info.isSymLink()) {
            // gone already
        } else if (removeTree(full, &fault)) {
            host->workDone();
        } else {
            qCWarning(lcRemove).noquote() << "[remove failed]" << op.path;
            reportFailure(op.path, WorkFailure::Step::Remove, fault);
        }
        const int index = cachedDirectories.value(op.path, -1);
        if (index >= 0)
            cacheListing.directories[index].clear();
    }
}

void ExtrasRemover::reportFailure(const QString &path, WorkFailure::Step step, Platform::FileFault fault)
{
    if (!host)
        return;
    WorkFailure failure;
    failure.path = path;
    failure.step = step;
    failure.fault = fault;
    host->workFailed(failure);
}
