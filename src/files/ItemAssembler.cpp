#include "files/ItemAssembler.h"

#include "files/BlockFetch.h"
#include "files/BlockStore.h"
#include "files/DownloadLedger.h"
#include "files/DownloadProgress.h"
#include "files/DownloadQueue.h"
#include "files/ItemRun.h"
#include "files/SafePath.h"
#include "files/TempNames.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "platform/Platform.h"
#include "service/ProcessState.h"

#include <QFile>
#include <QLoggingCategory>
#include <QSet>

namespace {

Q_LOGGING_CATEGORY(lcAssemble, "varo.files", QtInfoMsg)

using TransferState = TransferTexts::TransferState;

// Whether the assembled file at path is an archive holding every member the
// item lists (by name, as the archive looks names up). Their contents are
// checked by the next pass, member by member, as for any archive.
bool holdsListedMembers(const QString &path, const DownloadItem &item)
{
    ImgArchive::ArchiveEditor archive(path);
    if (!archive.openReadOnly())
        return false;
    // Names as the archive compares them (ignoring case), in a set: an
    // archive may hold thousands of members.
    QSet<QString> names;
    names.reserve(archive.directory().size());
    for (const ImgDirEntry &record : archive.directory()) {
        if (!record.name.isEmpty())
            names.insert(record.name.toCaseFolded());
    }
    for (const ArchiveMember &entry : item.entries) {
        if (!names.contains(entry.first.toCaseFolded())) {
            qCWarning(lcAssemble) << "[download rejected] assembled archive lacks" << entry.first << path;
            return false;
        }
    }
    return true;
}

} // namespace

ItemAssembler::ItemAssembler(const QString &gameDirectory, DownloadLedger *downloadLedger, DownloadQueue &downloadQueue,
                             ItemRuns &itemRuns, DownloadProgress &downloadProgress, Scheduler &fetchScheduler)
    : gameDir(gameDirectory)
    , canonicalGameDir(Platform::canonicalPath(gameDirectory))
    , ledger(downloadLedger)
    , queue(downloadQueue)
    , runs(itemRuns)
    , progress(downloadProgress)
    , scheduler(fetchScheduler)
{
}

bool ItemAssembler::begin(int index)
{
    ItemRun &run = runs[size_t(index)];
    DownloadItem &item = queue.item(index);
    run.begun = true;
    run.doneBase = progress.done;
    // Checked again now: a folder on the way may have become a link since
    // the item was queued.
    if (destinationOf(index).isEmpty()) {
        qCWarning(lcAssemble) << "[download skipped] path outside the game folder:" << item.path;
        reportFailure(index, WorkFailure::Step::LeadsOutside, Platform::FileFault::Other);
        endItem(index);
        return false;
    }
    if (item.isEntryItem()) {
        if (openArchiveForEntries(index)) {
            ledger->commitFile(item.path);
        } else {
            const Platform::FileFault fault = Platform::lastFileFault();
            if (!fallBackToWholeArchive(item)) {
                reportFailure(index, WorkFailure::Step::EditArchive, fault);
                endItem(index);
                return false;
            }
        }
    }
    if (item.pieceCount() == 0) {
        endItem(index);
        return false;
    }
    if (item.isPartItem())
        runs.partItemOpened(index);
    return true;
}

// Opens the item's archive for member downloads: a new empty one when the
// item asks for it, else only an archive already in the fixed-directory
// form. Writing members into any other file would overwrite its data with
// the directory.
bool ItemAssembler::openArchiveForEntries(int index)
{
    const DownloadItem &item = queue.at(index);
    const QString path = destinationOf(index);
    if (item.createArchive)
        ImgArchive::ArchiveEditor::createEmpty(path);
    else if (!ImgArchive::ArchiveEditor::isV2StaticHeader(path))
        return false;
    std::unique_ptr<ImgArchive::ArchiveEditor> editor(new ImgArchive::ArchiveEditor(path));
    if (!editor->open())
        return false;
    runs[size_t(index)].editor = std::move(editor);
    return true;
}

// An archive that cannot take its members is fetched whole instead; left as
// it was, every later pass would stop at it again.
bool ItemAssembler::fallBackToWholeArchive(DownloadItem &item)
{
    if (!DownloadQueue::wholeArchivePartsUsable(item.partCount)) {
        qCWarning(lcAssemble) << "[download skipped] archive cannot be opened and cannot be fetched whole:" << item.path
                              << item.partCount;
        return false;
    }
    qCDebug(lcAssemble) << "[download whole archive] cannot open for member downloads:" << item.path;
    quint64 memberBytes = 0;
    for (const ArchiveMember &entry : qAsConst(item.entries))
        memberBytes += entry.second;
    progress.total = progress.total - qMin(progress.total, memberBytes) + item.size;
    item.wholeArchive = true;
    return true;
}

// A plain file: unpacked beside its destination, checked, then put in place.
void ItemAssembler::finishFile(BlockFetch &fetch)
{
    const int index = fetch.item;
    const DownloadItem &item = queue.at(index);
    const BlockStore::Outcome stored = BlockStore::storeFile(fetch.tempName, destinationOf(index), item.size,
                                                             ledger->remoteMd5(item.path));
    switch (stored.kind) {
    case BlockStore::Outcome::BadContent:
        scheduler.failCheck(fetch);
        return;
    case BlockStore::Outcome::WriteFailed:
        scheduler.skipItem(index, "cannot write the unpacked file", WorkFailure::Step::Write, stored.fault);
        return;
    case BlockStore::Outcome::StoreFailed:
        reportFailure(index, WorkFailure::Step::Store, stored.fault);
        break;
    case BlockStore::Outcome::Stored:
        ledger->commitFile(item.path);
        break;
    }
    progress.done += item.size;
    endItem(index);
    progress.sendProgress();
    scheduler.removeFetch(&fetch);
}

// An archive member: unpacked, checked, then written into the open archive.
void ItemAssembler::finishMember(BlockFetch &fetch)
{
    const int index = fetch.item;
    const DownloadItem &item = queue.at(index);
    ItemRun &run = runs[size_t(index)];
    const ArchiveMember &entry = item.entries.at(int(fetch.piece));
    QByteArray content;
    const QByteArray block = fetch.memory ? fetch.memory->data() : QByteArray();
    if (!BlockStore::unpackMember(block, fetch.tempName, entry.second, ledger->remoteMemberMd5(item.path, entry.first),
                                  &content)) {
        scheduler.failCheck(fetch);
        return;
    }
    if (run.editor) {
        const BlockStore::Outcome stored = BlockStore::storeMember(*run.editor, entry.first, content);
        if (stored.kind == BlockStore::Outcome::Stored) {
            ledger->commitArchiveMember(item.path, entry.first);
        } else {
            qCWarning(lcAssemble) << "[download not stored] member" << entry.first << "in" << item.path;
            reportFailure(index, WorkFailure::Step::EditArchive, stored.fault, entry.first);
        }
    }
    progress.done += quint64(content.size());
    ++run.storedPieces;
    if (run.storedPieces >= item.pieceCount()) {
        progress.sendStatus(index, TransferState::Saving);
        run.closeArchive();
        endItem(index);
    }
    progress.sendProgress();
    scheduler.removeFetch(&fetch);
}

// One part of an audio file or of a whole archive. Parts are joined in their
// order: each is unpacked behind the ones before it in the file assembled
// beside the destination, every byte inflated a single time. A part that
// arrives ahead of its turn waits on disk.
void ItemAssembler::finishPart(BlockFetch &fetch)
{
    const int index = fetch.item;
    ItemRun &run = runs[size_t(index)];
    const qint64 wireBytes = fetch.transfer->received();
    run.arrived.insert(fetch.piece, fetch.sink->announcedSize());
    run.arrivedWireBytes.insert(fetch.piece, wireBytes);
    if (queue.at(index).kind == EntryKind::ImgArchive)
        run.wholeBytes += quint64(wireBytes);
    scheduler.removeFetch(&fetch, false);
    joinArrivedParts(index);
}

void ItemAssembler::joinArrivedParts(int index)
{
    ItemRun &run = runs[size_t(index)];
    const DownloadItem &item = queue.at(index);
    const QString assembled = TempNames::assembled(destinationOf(index));
    while (!run.ended && run.arrived.contains(run.storedPieces)) {
        const quint32 part = run.storedPieces;
        if (run.joinedBytes > 0 && QFile(assembled).size() != run.joinedBytes) {
            // The parts before this one are not all there any more: the item
            // starts over.
            scheduler.failCheck(scheduler.pieceFetch(index, part), true);
            return;
        }
        const qint64 length = run.arrived.take(part);
        const qint64 wireBytes = run.arrivedWireBytes.take(part);
        const BlockStore::Outcome joined = BlockStore::appendPart(partFileName(index, part), assembled, run.joinedBytes,
                                                                  length);
        if (joined.kind == BlockStore::Outcome::WriteFailed) {
            scheduler.skipItem(index, "cannot write the assembled file", WorkFailure::Step::Write, joined.fault);
            return;
        }
        if (joined.kind != BlockStore::Outcome::Stored) {
            // A part that does not unpack to its length is fetched again
            // alone; the others stay.
            if (item.kind == EntryKind::ImgArchive)
                run.wholeBytes -= qMin(run.wholeBytes, quint64(wireBytes));
            scheduler.failCheck(scheduler.pieceFetch(index, part));
            return;
        }
        run.joinedBytes += length;
        if (item.kind == EntryKind::AudioFile)
            progress.done += quint64(wireBytes);
        ++run.storedPieces;
    }
    if (!run.ended && run.storedPieces >= item.partCount)
        finishJoinedItem(index);
    else
        progress.sendProgress();
    scheduler.fill();
}

// All parts are joined: the assembled file is put in place only when it is
// whole (an audio file of its listed size and MD5, an archive that reads as
// one and holds every listed member); the old file stays usable until then.
// A failed check fetches the whole item again.
void ItemAssembler::finishJoinedItem(int index)
{
    ItemRun &run = runs[size_t(index)];
    const DownloadItem &item = queue.at(index);
    const bool archive = item.kind == EntryKind::ImgArchive;
    progress.sendStatus(index, archive ? TransferState::Unpacking : TransferState::Saving);
    const QString destination = destinationOf(index);
    const QString assembled = TempNames::assembled(destination);
    const bool whole = archive ? holdsListedMembers(assembled, item)
                               : BlockStore::isWholeFile(assembled, item.size, ledger->remoteMd5(item.path));
    if (!whole) {
        // The last part stands for the item in its countdown.
        scheduler.failCheck(scheduler.pieceFetch(index, item.partCount - 1), true);
        return;
    }
    if (archive) {
        run.wholeBytes = 0;
        progress.done += item.size;
    }
    Platform::FileFault fault = Platform::FileFault::None;
    if (Platform::replaceFile(assembled, destination, &fault)) {
        if (archive)
            ledger->commitArchive(item.path);
        else
            ledger->commitFile(item.path);
    } else {
        qCWarning(lcAssemble) << "[download not stored] cannot replace" << destination;
        QFile::remove(assembled);
        reportFailure(index, WorkFailure::Step::Store, fault);
    }
    endItem(index);
    progress.sendProgress();
}

void ItemAssembler::restart(int index)
{
    ItemRun &run = runs[size_t(index)];
    removePartFiles(index);
    progress.done = run.doneBase;
    run.wholeBytes = 0;
    run.joinedBytes = 0;
    run.storedPieces = 0;
    run.arrived.clear();
    run.arrivedWireBytes.clear();
}

void ItemAssembler::abandon(int index)
{
    if (queue.at(index).isPartItem())
        removePartFiles(index);
    ItemRun &run = runs[size_t(index)];
    run.closeArchive();
    progress.done = qMax(progress.done, run.doneBase);
    run.wholeBytes = 0;
    endItem(index);
}

void ItemAssembler::endItem(int index)
{
    runs.itemEnded(index);
}

void ItemAssembler::reportFailure(int index, WorkFailure::Step step, Platform::FileFault fault, const QString &member)
{
    WorkFailure failure;
    failure.path = queue.at(index).path;
    failure.member = member;
    failure.step = step;
    failure.fault = fault;
    ledger->workFailed(failure);
}

// Gives up the parts of an item: the received ones and the file they are
// being joined into. The part count comes from the list; it is bounded when
// queued, and a stop request ends the walk all the same.
void ItemAssembler::removePartFiles(int index) const
{
    const DownloadItem &item = queue.at(index);
    for (quint32 part = 0; part < item.partCount && !ProcessState::isExitRequested(); ++part)
        QFile::remove(partFileName(index, part));
    QFile::remove(TempNames::assembled(destinationOf(index)));
}

QString ItemAssembler::destinationOf(int index) const
{
    return SafePath::inside(gameDir, queue.at(index).path, canonicalGameDir);
}

QString ItemAssembler::partFileName(int index, quint32 part) const
{
    return TempNames::part(destinationOf(index), part);
}
