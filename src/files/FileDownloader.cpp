#include "files/FileDownloader.h"

#include "files/BlockSink.h"
#include "files/BlockStore.h"
#include "files/DownloadLedger.h"
#include "files/FileSystem.h"
#include "files/NetworkFile.h"
#include "files/SafePath.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "files/imgarchive/ProgressReceiver.h"
#include "platform/Platform.h"
#include "service/Endpoints.h"
#include "service/ProcessState.h"
#include "service/Transfer.h"

#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <limits>

namespace {

Q_LOGGING_CATEGORY(lcDownload, "varo.files", QtInfoMsg)

constexpr int MaxRedirects = 10;
constexpr quint32 RetrySeconds = 3;
constexpr int StallLimitMs = 10000;
constexpr int FirstSpeedCalcMs = 100;
constexpr int SpeedCalcMs = 1000;
// Members up to this size are received in memory, larger ones in a
// temporary file: with several transfers at once, memory stays small.
constexpr qint64 MemberInMemoryLimit = 1 << 20;
// The largest file an archive record can describe.
constexpr quint32 MaxMemberBytes = ImgArchive::ArchiveEditor::MaxEntrySectors * quint32(ImgArchive::ArchiveEditor::SectorSize);

bool exitRequested()
{
    return ProcessState::isExitRequested();
}

// Whether an archive can be fetched whole in this many 16 MiB parts. The
// parts' sizes are not tied to the archive's listed size: how a mirror
// computes that size is its own affair. Each part is bounded by itself.
bool wholeArchivePartsUsable(quint32 partCount)
{
    return partCount >= 1 && partCount <= FileSystem::MaxImgBlocks;
}

DownloadItem newItem(EntryKind kind, const QString &name, const QString &path, quint32 size)
{
    DownloadItem item;
    item.kind = kind;
    item.name = name;
    item.path = path;
    item.size = size;
    return item;
}

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
            qCWarning(lcDownload) << "[download rejected] assembled archive lacks" << entry.first << path;
            return false;
        }
    }
    return true;
}

} // namespace

// One block on its way: a plain file, a part, or an archive member. It
// lives from its first request until it is stored or its item ends; in
// between it may fail and count down to its next attempt.
struct FileDownloader::Fetch
{
    int item = 0;
    quint32 piece = 0; // part or member index
    QString remote;
    qint64 expected = 0; // -1: any length up to a whole part
    QString tempName;    // empty: the block is kept in memory
    std::unique_ptr<Transfer> transfer;
    std::unique_ptr<BlockSink> sink;
    NetworkFile *memory = nullptr; // the sink's target when in memory
    bool waiting = false;
    quint32 countdown = 0;
    bool md5Failed = false;
    qint32 errorCode = 0;
    bool restartItem = false; // the retry starts the whole item over
    qint64 lastRead = 0;
    qint64 replyRead = 0;
    qint64 replyTotal = -1;
};

// What the queue knows of one item while it runs.
struct FileDownloader::ItemRun
{
    bool begun = false;
    bool ended = false;
    quint32 nextPiece = 0;
    quint32 storedPieces = 0; // members stored, or parts joined in order
    qint64 joinedBytes = 0;   // of the assembled file
    // Parts received ahead of their turn: part -> its unpacked length.
    QMap<quint32, qint64> arrived;
    QMap<quint32, qint64> arrivedWireBytes;
    quint64 doneBase = 0;
    quint64 wholeBytes = 0; // received bytes of an archive fetched whole
    std::unique_ptr<ImgArchive::ArchiveEditor> editor;
};

FileDownloader::FileDownloader(const QString &gameDirectory, const QString &mirrorBase,
                               ProgressReceiver *progressReceiver, DownloadLedger *downloadLedger, QObject *parent)
    : QObject(parent)
    , gameDir(gameDirectory)
    , progress(progressReceiver)
    , ledger(downloadLedger)
    , mirror(mirrorBase + QStringLiteral("pcgamefile/filesystem"))
    , maxFetches(Endpoints::downloadConnections())
    , manager(new QNetworkAccessManager(this))
    , loop(new QEventLoop(this))
    , speedTimer(new QTimer(this))
{
    speedTimer->setSingleShot(true);
    connect(speedTimer, &QTimer::timeout, this, &FileDownloader::speedCalc);
    speedTimer->start(FirstSpeedCalcMs);
}

FileDownloader::~FileDownloader()
{
    abortAll();
    for (ItemRun &run : runs) {
        if (run.editor)
            run.editor->close();
    }
}

void FileDownloader::setConnections(int count)
{
    maxFetches = qMax(1, count);
}

// Whether something may be stored at path: a path that would lead out of
// the game folder is logged, reported and never queued.
bool FileDownloader::isInsideGameDir(const QString &path)
{
    if (!SafePath::inside(gameDir, path).isEmpty())
        return true;
    qCWarning(lcDownload) << "[download skipped] path outside the game folder:" << path;
    WorkFailure failure;
    failure.path = path;
    failure.step = WorkFailure::Step::LeadsOutside;
    ledger->workFailed(failure);
    return false;
}

void FileDownloader::addDirectory(const QString &path)
{
    if (isInsideGameDir(path))
        directoryList.append(path);
}

void FileDownloader::addFile(const QString &name, const QString &path, quint32 size)
{
    if (isInsideGameDir(path))
        queue.append(newItem(EntryKind::File, name, path, size));
}

void FileDownloader::addAudioFile(const QString &name, const QString &path, quint32 size, quint32 partCount,
                                  quint32 partSize)
{
    if (!isInsideGameDir(path))
        return;
    DownloadItem item = newItem(EntryKind::AudioFile, name, path, size);
    if (partCount > FileSystem::MaxAudioParts || !FileSystem::partsAddUp(size, partCount, partSize)) {
        qCWarning(lcDownload) << "[download skipped] parts do not add up:" << path << size << partCount << partSize;
        return;
    }
    item.partCount = partCount;
    item.partSize = partSize;
    queue.append(item);
}

void FileDownloader::addImgArchive(const QString &name, const QString &path, quint32 size, quint32 partCount,
                                   const QVector<ArchiveMember> &entries, bool createArchive, bool wholeArchive)
{
    if (!isInsideGameDir(path))
        return;
    DownloadItem item = newItem(EntryKind::ImgArchive, name, path, size);
    if (wholeArchive && !wholeArchivePartsUsable(partCount)) {
        qCWarning(lcDownload) << "[download skipped] unusable part count:" << path << partCount;
        return;
    }
    QVector<ArchiveMember> usable;
    usable.reserve(entries.size());
    for (const ArchiveMember &entry : entries) {
        if (!SafePath::isSafeMemberName(entry.first)) {
            qCWarning(lcDownload) << "[download skipped] unusable member name:" << entry.first << "in" << path;
            continue;
        }
        if (entry.second > MaxMemberBytes) {
            qCWarning(lcDownload) << "[download skipped] member too large for an archive:" << entry.first
                                  << entry.second << "in" << path;
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

const QStringList &FileDownloader::directories() const
{
    return directoryList;
}

const QVector<DownloadItem> &FileDownloader::items() const
{
    return queue;
}

void FileDownloader::computeTotal()
{
    total = 0;
    for (const DownloadItem &item : qAsConst(queue)) {
        if (isEntryItem(item)) {
            for (const ArchiveMember &entry : item.entries)
                total += entry.second;
        } else {
            total += item.size;
        }
    }
    progress->updateProgressBar(total, 0);
}

quint64 FileDownloader::totalBytes() const
{
    return total;
}

qint32 FileDownloader::spaceShortfall() const
{
    quint64 freeBytes = 0;
    if (!Platform::freeBytes(gameDir, &freeBytes))
        return 1;
    // Twice the download in MiB plus 3000 MiB, less the free MiB, in the
    // low 32 bits of the unsigned figures.
    const quint32 needed = quint32(total >> 19) + 3000u;
    return qint32(needed - quint32(freeBytes >> 20));
}

QString FileDownloader::sizeText(qint64 doneBytes, qint64 totalBytes, qint32 bytesPerSecond)
{
    return TransferTexts::sizeText(doneBytes, totalBytes, bytesPerSecond);
}

void FileDownloader::start()
{
    if (exitRequested() || queue.isEmpty())
        return;
    sendProgress();
    runs.clear();
    runs.resize(size_t(queue.size()));
    firstOpenItem = 0;
    fill();
    if (!fetches.empty())
        loop->exec();
    abortAll();
    for (int index = 0; index < queue.size(); ++index) {
        ItemRun &run = runs[size_t(index)];
        if (run.editor) {
            run.editor->close();
            run.editor.reset();
        }
        // Parts of an item that did not end: nothing half-made is kept.
        if (run.begun && !run.ended && isPartItem(queue.at(index)))
            removePartFiles(index);
    }
}

// ---------------------------------------------------------------------------
// Scheduling

// The first item, in queue order, with a block left to start; -1 when none.
int FileDownloader::nextItemToFetch() const
{
    for (int index = firstOpenItem; index < queue.size(); ++index) {
        const ItemRun &run = runs[size_t(index)];
        if (run.ended)
            continue;
        const DownloadItem &item = queue.at(index);
        if (run.nextPiece >= pieceCount(item))
            continue;
        // Parts are joined in order: the ones received ahead of their turn
        // wait on disk, no more of them than blocks in flight.
        if (isPartItem(item) && run.nextPiece >= run.storedPieces + quint32(maxFetches))
            continue;
        return index;
    }
    return -1;
}

void FileDownloader::fill()
{
    while (!exitRequested() && int(fetches.size()) < maxFetches) {
        const int index = nextItemToFetch();
        if (index < 0)
            break;
        startPiece(index);
    }
    while (firstOpenItem < queue.size() && runs[size_t(firstOpenItem)].ended)
        ++firstOpenItem;
    if (fetches.empty() && loop->isRunning())
        loop->quit();
}

// Prepares the item when its first block is about to start. False when it
// cannot be fetched at all (it has then ended).
bool FileDownloader::beginItem(int index)
{
    ItemRun &run = runs[size_t(index)];
    DownloadItem &item = queue[index];
    run.begun = true;
    run.doneBase = done;
    // Checked again now: a folder on the way may have become a link since
    // the item was queued.
    if (destinationOf(index).isEmpty()) {
        qCWarning(lcDownload) << "[download skipped] path outside the game folder:" << item.path;
        reportFailure(index, WorkFailure::Step::LeadsOutside, Platform::FileFault::Other);
        endItem(index);
        return false;
    }
    if (isEntryItem(item)) {
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
    if (pieceCount(item) == 0) {
        endItem(index);
        return false;
    }
    return true;
}

// Opens the item's archive for member downloads: a new empty one when the
// item asks for it, else only an archive already in the fixed-directory
// form. Writing members into any other file would overwrite its data with
// the directory.
bool FileDownloader::openArchiveForEntries(int index)
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
bool FileDownloader::fallBackToWholeArchive(DownloadItem &item)
{
    if (!wholeArchivePartsUsable(item.partCount)) {
        qCWarning(lcDownload) << "[download skipped] archive cannot be opened and cannot be fetched whole:"
                              << item.path << item.partCount;
        return false;
    }
    qCDebug(lcDownload) << "[download whole archive] cannot open for member downloads:" << item.path;
    quint64 memberBytes = 0;
    for (const ArchiveMember &entry : qAsConst(item.entries))
        memberBytes += entry.second;
    total = total - qMin(total, memberBytes) + item.size;
    item.wholeArchive = true;
    return true;
}

void FileDownloader::startPiece(int index)
{
    ItemRun &run = runs[size_t(index)];
    if (!run.begun && !beginItem(index))
        return;
    const DownloadItem &item = queue.at(index);
    const QString destination = destinationOf(index);
    std::unique_ptr<Fetch> fetch(new Fetch);
    fetch->item = index;
    fetch->piece = run.nextPiece++;
    if (isPartItem(item)) {
        fetch->remote = item.path + QStringLiteral(".b") + QString::number(fetch->piece) + QStringLiteral(".compressed");
        fetch->tempName = partFileName(index, fetch->piece);
        // A part of an archive may have any length up to a whole part; the
        // block's header tells it.
        fetch->expected = item.kind == EntryKind::ImgArchive ? -1 : expectedPartSize(item, fetch->piece);
    } else if (item.kind == EntryKind::File) {
        fetch->remote = item.path + QStringLiteral(".compressed");
        fetch->tempName = destination + QStringLiteral(".tmp");
        fetch->expected = item.size;
    } else {
        const ArchiveMember &entry = item.entries.at(int(fetch->piece));
        fetch->remote = item.path + QStringLiteral("_img/") + entry.first + QStringLiteral(".compressed");
        fetch->expected = entry.second;
        if (fetch->expected > MemberInMemoryLimit)
            fetch->tempName = destination + QLatin1Char('_') + entry.first + QStringLiteral(".tmp");
    }
    Fetch &started = *fetch;
    fetches.push_back(std::move(fetch));
    launch(started);
}

// Sends (or sends again) the fetch's request.
void FileDownloader::launch(Fetch &fetch)
{
    fetch.waiting = false;
    fetch.countdown = 0;
    fetch.errorCode = 0;
    fetch.md5Failed = false;
    fetch.lastRead = 0;
    fetch.replyRead = 0;
    fetch.replyTotal = -1;
    std::unique_ptr<TransferSink> target;
    fetch.memory = nullptr;
    if (fetch.tempName.isEmpty()) {
        auto *memory = new NetworkFile;
        fetch.memory = memory;
        target.reset(memory);
    } else {
        target.reset(new FileSink(fetch.tempName));
    }
    fetch.sink.reset(new BlockSink(std::move(target), fetch.expected, FileSystem::ImgBlockSize));
    dropTransfer(fetch);
    fetch.transfer.reset(new Transfer(manager, this));
    Fetch *const self = &fetch;
    connect(fetch.transfer.get(), &Transfer::finished, this, [this, self] { onFetchFinished(self); });
    connect(fetch.transfer.get(), &Transfer::progress, this,
            [this, self](qint64 read, qint64 totalBytes) { onFetchProgress(self, read, totalBytes); });

    sendStatus(fetch, TransferState::Starting);
    sendProgress();

    QUrl url(mirror);
    url.setPath(url.path() + QLatin1Char('/') + fetch.remote);
    Transfer::Limits limits;
    limits.maxRedirects = MaxRedirects;
    // The block sink holds the transfer to what the block can take; an
    // announced length alone refuses nothing.
    limits.maxBodySize = std::numeric_limits<qint64>::max();
    limits.stallMs = StallLimitMs;
    fetch.transfer->get(url, fetch.sink.get(), limits);
    if (!fetch.transfer->isRunning())
        onFetchFinished(self);
}

void FileDownloader::onFetchProgress(Fetch *fetch, qint64 bytesRead, qint64 totalBytes)
{
    const qint64 delta = bytesRead - fetch->lastRead;
    bytesThisSecond += quint32(qMax<qint64>(0, delta));
    fetch->lastRead = bytesRead;
    fetch->replyRead = bytesRead;
    fetch->replyTotal = totalBytes;
    if (exitRequested()) {
        abortAll();
        return;
    }
    const DownloadItem &item = queue.at(fetch->item);
    if (isPartItem(item))
        sendStatus(*fetch, TransferState::Progress);
    else
        sendStatus(*fetch, TransferState::Progress, sizeText(bytesRead, totalBytes, speed));
    if (isPartItem(item))
        sendProgress();
}

void FileDownloader::onFetchFinished(Fetch *fetch)
{
    if (exitRequested()) {
        // Nothing half-received is kept, and nothing more is stored. The
        // sink lets go of its file first: Windows removes no open file.
        fetch->sink.reset();
        fetch->memory = nullptr;
        if (!fetch->tempName.isEmpty())
            QFile::remove(fetch->tempName);
        removeFetch(fetch);
        return;
    }
    const Transfer::Result result = fetch->transfer->result();
    switch (result) {
    case Transfer::Result::Ok:
        break;
    case Transfer::Result::Aborted:
        return;
    case Transfer::Result::Rejected:
    case Transfer::Result::TooLarge:
        qCWarning(lcDownload) << "[download rejected] not the block asked for:" << fetch->remote
                              << fetch->sink->announcedSize() << fetch->transfer->received();
        failCheck(*fetch);
        return;
    case Transfer::Result::SinkFailed: {
        const FileSink *file = dynamic_cast<FileSink *>(&fetch->sink->target());
        skipItem(fetch->item, "the received file cannot be written", WorkFailure::Step::Write,
                 file ? file->fault() : Platform::FileFault::Other);
        return;
    }
    default:
        failNetwork(*fetch, fetch->transfer->networkError());
        return;
    }
    const DownloadItem &item = queue.at(fetch->item);
    if (item.kind == EntryKind::File)
        finishFile(*fetch);
    else if (isEntryItem(item))
        finishMember(*fetch);
    else
        finishPart(*fetch);
}

// ---------------------------------------------------------------------------
// Storing

// A plain file: unpacked beside its destination, checked, then put in place.
void FileDownloader::finishFile(Fetch &fetch)
{
    const int index = fetch.item;
    const DownloadItem &item = queue.at(index);
    const BlockStore::Outcome stored =
        BlockStore::storeFile(fetch.tempName, destinationOf(index), item.size, ledger->remoteMd5(item.path));
    switch (stored.kind) {
    case BlockStore::Outcome::BadContent:
        failCheck(fetch);
        return;
    case BlockStore::Outcome::WriteFailed:
        skipItem(index, "cannot write the unpacked file", WorkFailure::Step::Write, stored.fault);
        return;
    case BlockStore::Outcome::StoreFailed:
        reportFailure(index, WorkFailure::Step::Store, stored.fault);
        break;
    case BlockStore::Outcome::Stored:
        ledger->commitFile(item.path);
        break;
    }
    done += item.size;
    endItem(index);
    sendProgress();
    removeFetch(&fetch);
}

// An archive member: unpacked, checked, then written into the open archive.
void FileDownloader::finishMember(Fetch &fetch)
{
    const int index = fetch.item;
    const DownloadItem &item = queue.at(index);
    ItemRun &run = runs[size_t(index)];
    const ArchiveMember &entry = item.entries.at(int(fetch.piece));
    QByteArray content;
    const QByteArray block = fetch.memory ? fetch.memory->data() : QByteArray();
    if (!BlockStore::unpackMember(block, fetch.tempName, entry.second, ledger->remoteMemberMd5(item.path, entry.first),
                                  &content)) {
        failCheck(fetch);
        return;
    }
    if (run.editor) {
        const BlockStore::Outcome stored = BlockStore::storeMember(*run.editor, entry.first, content);
        if (stored.kind == BlockStore::Outcome::Stored) {
            ledger->commitArchiveMember(item.path, entry.first);
        } else {
            qCWarning(lcDownload) << "[download not stored] member" << entry.first << "in" << item.path;
            reportFailure(index, WorkFailure::Step::EditArchive, stored.fault, entry.first);
        }
    }
    done += quint64(content.size());
    ++run.storedPieces;
    if (run.storedPieces >= pieceCount(item)) {
        sendStatus(index, TransferState::Saving);
        if (run.editor) {
            run.editor->close();
            run.editor.reset();
        }
        endItem(index);
    }
    sendProgress();
    removeFetch(&fetch);
}

// One part of an audio file or of a whole archive. Parts are joined in their
// order: each is unpacked behind the ones before it in the file assembled
// beside the destination, every byte inflated a single time. A part that
// arrives ahead of its turn waits on disk.
void FileDownloader::finishPart(Fetch &fetch)
{
    const int index = fetch.item;
    ItemRun &run = runs[size_t(index)];
    const qint64 wireBytes = fetch.transfer->received();
    run.arrived.insert(fetch.piece, fetch.sink->announcedSize());
    run.arrivedWireBytes.insert(fetch.piece, wireBytes);
    if (queue.at(index).kind == EntryKind::ImgArchive)
        run.wholeBytes += quint64(wireBytes);
    removeFetch(&fetch, false);
    joinArrivedParts(index);
}

void FileDownloader::joinArrivedParts(int index)
{
    ItemRun &run = runs[size_t(index)];
    const DownloadItem &item = queue.at(index);
    const QString assembled = destinationOf(index) + QStringLiteral(".tmp");
    while (!run.ended && run.arrived.contains(run.storedPieces)) {
        const quint32 part = run.storedPieces;
        if (run.joinedBytes > 0 && QFile(assembled).size() != run.joinedBytes) {
            // The parts before this one are not all there any more: the item
            // starts over.
            failCheck(pieceFetch(index, part), true);
            return;
        }
        const qint64 length = run.arrived.take(part);
        const qint64 wireBytes = run.arrivedWireBytes.take(part);
        const BlockStore::Outcome joined =
            BlockStore::appendPart(partFileName(index, part), assembled, run.joinedBytes, length);
        if (joined.kind == BlockStore::Outcome::WriteFailed) {
            skipItem(index, "cannot write the assembled file", WorkFailure::Step::Write, joined.fault);
            return;
        }
        if (joined.kind != BlockStore::Outcome::Stored) {
            // A part that does not unpack to its length is fetched again
            // alone; the others stay.
            if (item.kind == EntryKind::ImgArchive)
                run.wholeBytes -= qMin(run.wholeBytes, quint64(wireBytes));
            failCheck(pieceFetch(index, part));
            return;
        }
        run.joinedBytes += length;
        if (item.kind == EntryKind::AudioFile)
            done += quint64(wireBytes);
        ++run.storedPieces;
    }
    if (!run.ended && run.storedPieces >= item.partCount)
        finishJoinedItem(index);
    else
        sendProgress();
    fill();
}

// A fetch of one part of an item, in the queue but not sent: it stands for
// a part to fetch again, or for the item while it waits to start over.
FileDownloader::Fetch &FileDownloader::pieceFetch(int index, quint32 part)
{
    const DownloadItem &item = queue.at(index);
    std::unique_ptr<Fetch> fetch(new Fetch);
    fetch->item = index;
    fetch->piece = part;
    fetch->remote = item.path + QStringLiteral(".b") + QString::number(part) + QStringLiteral(".compressed");
    fetch->tempName = partFileName(index, part);
    fetch->expected = item.kind == EntryKind::ImgArchive ? -1 : expectedPartSize(item, part);
    Fetch &added = *fetch;
    fetches.push_back(std::move(fetch));
    return added;
}

// All parts are joined: the assembled file is put in place only when it is
// whole (an audio file of its listed size and MD5, an archive that reads as
// one and holds every listed member); the old file stays usable until then.
// A failed check fetches the whole item again.
void FileDownloader::finishJoinedItem(int index)
{
    ItemRun &run = runs[size_t(index)];
    const DownloadItem &item = queue.at(index);
    const bool archive = item.kind == EntryKind::ImgArchive;
    sendStatus(index, archive ? TransferState::Unpacking : TransferState::Saving);
    const QString destination = destinationOf(index);
    const QString assembled = destination + QStringLiteral(".tmp");
    const bool whole = archive ? holdsListedMembers(assembled, item)
                               : BlockStore::isWholeFile(assembled, item.size, ledger->remoteMd5(item.path));
    if (!whole) {
        // The last part stands for the item in its countdown.
        failCheck(pieceFetch(index, item.partCount - 1), true);
        return;
    }
    if (archive) {
        run.wholeBytes = 0;
        done += item.size;
    }
    Platform::FileFault fault = Platform::FileFault::None;
    if (Platform::replaceFile(assembled, destination, &fault)) {
        if (archive)
            ledger->commitArchive(item.path);
        else
            ledger->commitFile(item.path);
    } else {
        qCWarning(lcDownload) << "[download not stored] cannot replace" << destination;
        QFile::remove(assembled);
        reportFailure(index, WorkFailure::Step::Store, fault);
    }
    endItem(index);
    sendProgress();
}

// ---------------------------------------------------------------------------
// Failures and retries

void FileDownloader::failNetwork(Fetch &fetch, qint32 code)
{
    qCDebug(lcDownload) << "[download network error]" << code << fetch.remote;
    if (!fetch.tempName.isEmpty())
        QFile::remove(fetch.tempName);
    fetch.waiting = true;
    fetch.countdown = RetrySeconds;
    fetch.errorCode = code;
    fetch.md5Failed = false;
    sendStatus(fetch, TransferState::NetworkRetry);
    sendProgress();
}

void FileDownloader::failCheck(Fetch &fetch, bool restart)
{
    qCDebug(lcDownload) << "[download check failed]" << fetch.remote;
    if (!fetch.tempName.isEmpty())
        QFile::remove(fetch.tempName);
    if (restart)
        restartItem(fetch.item, &fetch);
    fetch.waiting = true;
    fetch.countdown = RetrySeconds;
    fetch.errorCode = 0;
    fetch.md5Failed = true;
    fetch.restartItem = restart;
    sendStatus(fetch, TransferState::Md5Retry);
    sendProgress();
}

// The item starts over from its first part once the countdown ends: what
// it had received and joined is given up.
void FileDownloader::restartItem(int index, const Fetch *keep)
{
    ItemRun &run = runs[size_t(index)];
    dropFetches(index, keep);
    removePartFiles(index);
    done = run.doneBase;
    run.wholeBytes = 0;
    run.joinedBytes = 0;
    run.storedPieces = 0;
    run.arrived.clear();
    run.arrivedWireBytes.clear();
}

// The item cannot be stored here: it is neither stored nor committed, the
// failure goes to the ledger, and the queue goes on with the next one.
void FileDownloader::skipItem(int index, const char *reason, WorkFailure::Step step, Platform::FileFault fault,
                              const QString &member)
{
    qCWarning(lcDownload) << "[download skipped]" << reason << queue.at(index).path;
    reportFailure(index, step, fault, member);
    dropFetches(index, nullptr);
    if (isPartItem(queue.at(index)))
        removePartFiles(index);
    ItemRun &run = runs[size_t(index)];
    if (run.editor) {
        run.editor->close();
        run.editor.reset();
    }
    done = qMax(done, run.doneBase);
    run.wholeBytes = 0;
    endItem(index);
    sendProgress();
    fill();
}

void FileDownloader::endItem(int index)
{
    runs[size_t(index)].ended = true;
}

bool FileDownloader::isQueued(const Fetch *fetch) const
{
    return std::any_of(fetches.cbegin(), fetches.cend(),
                       [fetch](const std::unique_ptr<Fetch> &candidate) { return candidate.get() == fetch; });
}

void FileDownloader::removeFetch(Fetch *fetch, bool refill)
{
    const auto found = std::find_if(fetches.begin(), fetches.end(),
                                    [fetch](const std::unique_ptr<Fetch> &candidate) { return candidate.get() == fetch; });
    if (found == fetches.end())
        return;
    dropTransfer(**found);
    if (named == fetch)
        named = nullptr;
    fetches.erase(found);
    if (refill)
        fill();
}

// Every fetch of the item but keep goes, with what it had received.
void FileDownloader::dropFetches(int index, const Fetch *keep)
{
    for (auto it = fetches.begin(); it != fetches.end();) {
        Fetch &fetch = **it;
        if (fetch.item != index || &fetch == keep) {
            ++it;
            continue;
        }
        dropTransfer(fetch);
        fetch.sink.reset(); // closes the file, which Windows would not remove
        fetch.memory = nullptr;
        if (!fetch.tempName.isEmpty())
            QFile::remove(fetch.tempName);
        if (named == &fetch)
            named = nullptr;
        it = fetches.erase(it);
    }
}

// The transfer goes quietly (no more signals) and later: it may be the
// sender of the signal being handled.
void FileDownloader::dropTransfer(Fetch &fetch)
{
    if (!fetch.transfer)
        return;
    fetch.transfer->disconnect(this);
    fetch.transfer.release()->deleteLater();
}

void FileDownloader::abortAll()
{
    for (const std::unique_ptr<Fetch> &fetch : fetches) {
        dropTransfer(*fetch);
        fetch->sink.reset(); // closes the file, which Windows would not remove
        fetch->memory = nullptr;
        if (!fetch->tempName.isEmpty())
            QFile::remove(fetch->tempName);
    }
    fetches.clear();
    named = nullptr;
    if (loop->isRunning())
        loop->quit();
}

void FileDownloader::reportFailure(int index, WorkFailure::Step step, Platform::FileFault fault, const QString &member)
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
void FileDownloader::removePartFiles(int index) const
{
    const DownloadItem &item = queue.at(index);
    for (quint32 part = 0; part < item.partCount && !exitRequested(); ++part)
        QFile::remove(partFileName(index, part));
    QFile::remove(destinationOf(index) + QStringLiteral(".tmp"));
}

void FileDownloader::speedCalc()
{
    // Countdowns first, in queue order, each retry sent when its own ends.
    std::vector<Fetch *> due;
    for (const std::unique_ptr<Fetch> &fetch : fetches) {
        if (!fetch->waiting || fetch->countdown == 0)
            continue;
        --fetch->countdown;
        sendStatus(*fetch, fetch->md5Failed ? TransferState::Md5Retry : TransferState::NetworkRetry);
        if (fetch->countdown == 0)
            due.push_back(fetch.get());
    }
    speed = qint32(bytesThisSecond);
    bytesThisSecond = 0;
    if (exitRequested()) {
        abortAll();
        speedTimer->start(SpeedCalcMs);
        return;
    }
    for (Fetch *fetch : due) {
        // An earlier retry may have ended the item, and its fetches with it.
        if (!isQueued(fetch))
            continue;
        if (fetch->restartItem) {
            // The whole item again, from its first part.
            ItemRun &run = runs[size_t(fetch->item)];
            run.nextPiece = 0;
            run.storedPieces = 0;
            run.doneBase = done;
            removeFetch(fetch);
        } else {
            launch(*fetch);
        }
    }
    // With several transfers the text may name another one now.
    if (maxFetches > 1) {
        if (Fetch *current = namedFetch()) {
            if (!current->waiting)
                sendStatus(*current, TransferState::Progress,
                           isPartItem(queue.at(current->item)) ? QString()
                                                                 : sizeText(current->replyRead, current->replyTotal, speed));
        }
    }
    speedTimer->start(SpeedCalcMs);
}

// ---------------------------------------------------------------------------
// Texts and progress

// The transfer the status text is about: the oldest in the queue. With
// several at once the name moves on at most once a second, so that the
// text does not flicker between files.
FileDownloader::Fetch *FileDownloader::namedFetch()
{
    Fetch *oldest = nullptr;
    for (const std::unique_ptr<Fetch> &fetch : fetches) {
        if (!oldest || fetch->item < oldest->item || (fetch->item == oldest->item && fetch->piece < oldest->piece))
            oldest = fetch.get();
    }
    const bool mayMove = maxFetches == 1 || !named || !sinceNamed.isValid() || sinceNamed.elapsed() >= SpeedCalcMs;
    if (oldest != named && mayMove) {
        named = oldest;
        sinceNamed.start();
    }
    if (!named)
        return nullptr;
    for (const std::unique_ptr<Fetch> &fetch : fetches) {
        if (fetch.get() == named)
            return fetch.get();
    }
    return nullptr;
}

void FileDownloader::sendStatus(Fetch &fetch, TransferState state, const QString &given)
{
    if (namedFetch() != &fetch)
        return;
    const DownloadItem &item = queue.at(fetch.item);
    const ItemRun &run = runs[size_t(fetch.item)];
    const bool member = isEntryItem(item);
    const QString left = member ? TransferTexts::leftText(state, item.entries.at(int(fetch.piece)).first, item.path,
                                                          fetch.errorCode, fetch.countdown)
                                : TransferTexts::leftText(state, item.path, QString(), fetch.errorCode, fetch.countdown);
    QString right;
    if (state == TransferState::NetworkRetry || state == TransferState::Md5Retry) {
        // no right text while waiting
    } else if (item.kind == EntryKind::AudioFile) {
        const qint64 received = qint64(fetch.piece) * item.partSize + (fetch.transfer ? fetch.transfer->received() : 0);
        right = sizeText(received, item.size, speed);
    } else if (isPartItem(item)) {
        qint64 inFlight = 0;
        for (const std::unique_ptr<Fetch> &other : fetches) {
            if (other->item == fetch.item && other->transfer && !other->waiting)
                inFlight += other->transfer->received();
        }
        right = sizeText(qint64(run.wholeBytes) + inFlight, item.size, speed);
    } else {
        const qint64 size = member ? qint64(item.entries.at(int(fetch.piece)).second) : qint64(item.size);
        if (state == TransferState::Starting)
            right = sizeText(0, size, speed);
        else if (state == TransferState::Progress)
            right = given;
        else
            right = sizeText(size, size, speed);
    }
    progress->updateCurrentFile(left, right);
}

// The texts of an item's last steps (saving, unpacking), as one-name or
// two-name texts of the item itself.
void FileDownloader::sendStatus(int index, TransferState state)
{
    const DownloadItem &item = queue.at(index);
    const ItemRun &run = runs[size_t(index)];
    if (maxFetches > 1 && namedFetch() && namedFetch()->item != index)
        return;
    QString left;
    QString right;
    if (isEntryItem(item)) {
        const ArchiveMember &entry = item.entries.last();
        left = TransferTexts::leftText(state, entry.first, item.path, 0, 0);
        right = sizeText(entry.second, entry.second, speed);
    } else if (item.kind == EntryKind::AudioFile) {
        left = TransferTexts::leftText(state, item.path, QString(), 0, 0);
        if (state != TransferState::Saving)
            right = sizeText(qint64(item.partCount - 1) * item.partSize, item.size, speed);
    } else {
        left = TransferTexts::leftText(state, item.path, QString(), 0, 0);
        right = sizeText(qint64(run.wholeBytes), item.size, speed);
    }
    progress->updateCurrentFile(left, right);
}

void FileDownloader::sendProgress()
{
    quint64 current = done;
    for (size_t index = 0; index < runs.size(); ++index) {
        const ItemRun &run = runs[index];
        if (run.ended)
            continue;
        current += run.wholeBytes;
        for (const qint64 bytes : run.arrivedWireBytes) {
            if (queue.at(int(index)).kind == EntryKind::AudioFile)
                current += quint64(bytes);
        }
    }
    for (const std::unique_ptr<Fetch> &fetch : fetches) {
        if (fetch->transfer && !fetch->waiting && isPartItem(queue.at(fetch->item)))
            current += quint64(fetch->transfer->received());
    }
    progress->updateProgressBar(total, current);
}

// ---------------------------------------------------------------------------

bool FileDownloader::isEntryItem(const DownloadItem &item) const
{
    return item.kind == EntryKind::ImgArchive && !item.wholeArchive;
}

bool FileDownloader::isPartItem(const DownloadItem &item) const
{
    return item.kind == EntryKind::AudioFile || (item.kind == EntryKind::ImgArchive && item.wholeArchive);
}

quint32 FileDownloader::pieceCount(const DownloadItem &item) const
{
    if (isPartItem(item))
        return item.partCount;
    if (isEntryItem(item))
        return quint32(item.entries.size());
    return 1;
}

// Part k of an audio file holds partSize bytes; the last one holds what
// remains of the item's size.
qint64 FileDownloader::expectedPartSize(const DownloadItem &item, quint32 part) const
{
    if (part + 1 < item.partCount)
        return qint64(item.partSize);
    return qint64(item.size) - qint64(item.partCount - 1) * qint64(item.partSize);
}

QString FileDownloader::destinationOf(int index) const
{
    return SafePath::inside(gameDir, queue.at(index).path);
}

QString FileDownloader::partFileName(int index, quint32 part) const
{
    return destinationOf(index) + QStringLiteral("_b") + QString::number(part) + QStringLiteral(".tmp");
}
