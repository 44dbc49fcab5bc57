#include "files/DownloadQueue.h"

#include "files/DownloadLedger.h"
#include "files/FileSystem.h"
#include "files/SafePath.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "platform/Platform.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcQueue, "varo.files", QtInfoMsg)

// The largest file an archive record can describe.
constexpr quint32 MaxMemberBytes = ImgArchive::ArchiveEditor::MaxEntrySectors
    * quint32(ImgArchive::ArchiveEditor::SectorSize);

DownloadItem newItem(EntryKind kind, const QString &name, const QString &path, quint32 size)
{
    DownloadItem item;
    item.kind = kind;
    item.name = name;
    item.path = path;
    item.size = size;
    return item;
}

} // namespace

DownloadQueue::DownloadQueue(const QString &gameDirectory, DownloadLedger *downloadLedger)
    : gameDir(gameDirectory)
    , canonicalGameDir(Platform::canonicalPath(gameDirectory))
    , ledger(downloadLedger)
{
}

// The parts' sizes are not tied to the archive's listed size: how a mirror
// computes that size is its own affair. Each part is bounded by itself.
bool DownloadQueue::wholeArchivePartsUsable(quint32 partCount)
{
    return partCount >= 1 && partCount <= FileSystem::MaxImgBlocks;
}

// Whether something may be stored at path: a path that would lead out of
// the game folder is logged, reported and never queued.
bool DownloadQueue::isInsideGameDir(const QString &path)
{
    if (!SafePath::inside(gameDir, path, canonicalGameDir).isEmpty())
        return true;
    qCWarning(lcQueue) << "[download skipped] path outside the game folder:" << path;
    WorkFailure failure;
    failure.path = path;
    failure.step = WorkFailure::Step::LeadsOutside;
    ledger->workFailed(failure);
    return false;
}

void DownloadQueue::addDirectory(const QString &path)
{
    if (isInsideGameDir(path))
        directoryList.append(path);
}

void DownloadQueue::addFile(const QString &name, const QString &path, quint32 size)
{
    if (isInsideGameDir(path))
        queue.append(newItem(EntryKind::File, name, path, size));
}

void DownloadQueue::addAudioFile(const QString &name, const QString &path, quint32 size, quint32 partCount,
                                 quint32 partSize)
{
    if (!isInsideGameDir(path))
        return;
    DownloadItem item = newItem(EntryKind::AudioFile, name, path, size);
    if (partCount > FileSystem::MaxAudioParts || !FileSystem::partsAddUp(size, partCount, partSize)) {
        qCWarning(lcQueue) << "[download skipped] parts do not add up:" << path << size << partCount << partSize;
        return;
    }
    item.partCount = partCount;
    item.partSize = partSize;
    queue.append(item);
}

void DownloadQueue::addImgArchive(const QString &name, const QString &path, quint32 size, quint32 partCount,
                                  const QVector<ArchiveMember> &entries, bool createArchive, bool wholeArchive)
{
    if (!isInsideGameDir(path))
        return;
    DownloadItem item = newItem(EntryKind::ImgArchive, name, path, size);
    if (wholeArchive && !wholeArchivePartsUsable(partCount)) {
        qCWarning(lcQueue) << "[download skipped] unusable part count:" << path << partCount;
        return;
    }
    QVector<ArchiveMember> usable;
    usable.reserve(entries.size());
    for (const ArchiveMember &entry : entries) {
        if (!SafePath::isSafeMemberName(entry.first)) {
            qCWarning(lcQueue) << "[download skipped] unusable member name:" << entry.first << "in" << path;
            continue;
        }
        if (entry.second > MaxMemberBytes) {
            qCWarning(lcQueue) << "[download skipped] member too large for an archive:" << entry.first << entry.second
                               << "in" << path;
            continue;
        }
        usable.append(entry);
    }
    if (!wholeArchive && usable.isEmpty() && !entries.isEmpty())
        return;
    item.partCount = partCount;
    item.entries = usable;
    item.createArchive = createArchive;
    item.wholeArchive = wholeArchive;
    queue.append(item);
}

quint64 DownloadQueue::totalBytes() const
{
    quint64 total = 0;
    for (const DownloadItem &item : queue) {
        if (item.isEntryItem()) {
            for (const ArchiveMember &entry : item.entries)
                total += entry.second;
        } else {
            total += item.size;
        }
    }
    return total;
}
