#include "files/FileDownloader.h"

#include "files/BlockFetch.h"
#include "files/TempNames.h"
#include "files/ListWatch.h"
#include "files/imgarchive/ProgressReceiver.h"
#include "platform/Platform.h"
#include "service/Endpoints.h"
#include "service/ProcessState.h"
#include "service/Transfer.h"

#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QScopedValueRollback>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <limits>

namespace {

Q_LOGGING_CATEGORY(lcDownload, "varo.files", QtInfoMsg)

constexpr quint32 RetrySeconds = 3;
constexpr int FirstSpeedCalcMs = 100;
constexpr int SpeedCalcMs = DownloadProgress::SecondMs;
// Members up to this size are received in memory, larger ones in a
// temporary file: with several transfers at once, memory stays small.
constexpr qint64 MemberInMemoryLimit = 1 << 20;
// Qt keeps at most six connections to a host per network manager.
constexpr int ConnectionsPerManager = 6;

bool exitRequested()
{
    return ProcessState::isExitRequested();
}

} // namespace

FileDownloader::FileDownloader(const QString &gameDirectory, const QString &mirrorBase,
                               ProgressReceiver *progressReceiver, DownloadLedger *downloadLedger, QObject *parent)
    : QObject(parent)
    , gameDir(gameDirectory)
    , mirror(mirrorBase + QStringLiteral("pcgamefile/filesystem"))
    , queue(gameDirectory, downloadLedger)
    , status(progressReceiver, queue, runs, fetches)
    , assembler(gameDirectory, downloadLedger, queue, runs, status, *this)
    , maxFetches(Endpoints::downloadConnections())
    , maxSmallFetches(Endpoints::smallBlockConnections())
    , loop(new QEventLoop(this))
    , speedTimer(new QTimer(this))
    , fillTimer(new QTimer(this))
{
    fillTimer->setSingleShot(true);
    fillTimer->setInterval(0);
    connect(fillTimer, &QTimer::timeout, this, &FileDownloader::fill);
    status.setConnections(maxFetches);
    managers.push_back(new QNetworkAccessManager(this));
    speedTimer->setSingleShot(true);
    connect(speedTimer, &QTimer::timeout, this, &FileDownloader::speedCalc);
    speedTimer->start(FirstSpeedCalcMs);
}

FileDownloader::~FileDownloader()
{
    abortAll();
    for (ItemRun &run : runs)
        run.closeArchive();
}

void FileDownloader::setConnections(int count, int smallBlockCount)
{
    maxFetches = qMax(1, count);
    if (smallBlockCount > 0)
        maxSmallFetches = smallBlockCount;
    maxSmallFetches = maxFetches == 1 ? 1 : qMax(maxFetches, maxSmallFetches);
    status.setConnections(maxFetches);
}

void FileDownloader::watchList(const QUrl &hashUrl, const QByteArray &verifiedHash)
{
    delete listWatch;
    listWatch = new ListWatch(managers.front(), hashUrl, verifiedHash, this);
    connect(listWatch, &ListWatch::listChanged, this, &FileDownloader::onListChanged);
}

// What is in flight was fetched for a list that is gone: the queue ends, and
// the next pass plans against the new one.
void FileDownloader::onListChanged()
{
    listReplaced = true;
    abortAll();
}

void FileDownloader::addDirectory(const QString &path)
{
    queue.addDirectory(path);
}

void FileDownloader::addFile(const QString &name, const QString &path, quint32 size)
{
    queue.addFile(name, path, size);
}

void FileDownloader::addAudioFile(const QString &name, const QString &path, quint32 size, quint32 partCount,
                                  quint32 partSize)
{
    queue.addAudioFile(name, path, size, partCount, partSize);
}

void FileDownloader::addImgArchive(const QString &name, const QString &path, quint32 size, quint32 partCount,
                                   const QVector<ArchiveMember> &entries, bool createArchive, bool wholeArchive)
{
    queue.addImgArchive(name, path, size, partCount, entries, createArchive, wholeArchive);
}

const QStringList &FileDownloader::directories() const
{
    return queue.directories();
}

const QVector<DownloadItem> &FileDownloader::items() const
{
    return queue.items();
}

void FileDownloader::computeTotal()
{
    status.total = queue.totalBytes();
    status.sendTotal();
}

quint64 FileDownloader::totalBytes() const
{
    return status.total;
}

qint32 FileDownloader::spaceShortfall() const
{
    quint64 freeBytes = 0;
    if (!Platform::freeBytes(gameDir, &freeBytes))
        return 1;
    // Twice the download in MiB plus 3000 MiB, less the free MiB, in the
    // low 32 bits of the unsigned figures.
    const quint32 needed = quint32(status.total >> 19) + 3000u;
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
    status.sendProgress();
    runs.reset(size_t(queue.size()));
    frontier = 0;
    listReplaced = false;
    fill();
    if (!fetches.empty())
        loop->exec();
    abortAll();
    fillTimer->stop();
    for (int index = 0; index < queue.size(); ++index) {
        ItemRun &run = runs[size_t(index)];
        run.closeArchive();
        // Parts of an item that did not end: nothing half-made is kept.
        if (run.begun && !run.ended && queue.at(index).isPartItem())
            assembler.removePartFiles(index);
    }
}

// ---------------------------------------------------------------------------
// Scheduling

// The first item, in queue order, with a block left to start; -1 when none.
int FileDownloader::nextItemToFetch()
{
    // Past the frontier lie only items that have not begun, and files and
    // archives fetched by members with blocks left: the frontier's item can
    // start a block. Part items that have begun wait for their earlier parts
    // now and then; the few open ones are looked at by themselves.
    while (frontier < queue.size()) {
        const ItemRun &run = runs[size_t(frontier)];
        const DownloadItem &item = queue.at(frontier);
        if (!run.ended && run.nextPiece < item.pieceCount() && !(run.begun && item.isPartItem()))
            break;
        ++frontier;
    }
    for (const int index : runs.openPartItems()) {
        if (index > frontier)
            break;
        const ItemRun &run = runs[size_t(index)];
        // Parts are joined in order: the ones received ahead of their turn
        // wait on disk, no more of them than blocks in flight.
        if (run.nextPiece < queue.at(index).pieceCount() && run.nextPiece < run.storedPieces + quint32(maxFetches))
            return index;
    }
    return frontier < queue.size() ? frontier : -1;
}

int FileDownloader::fetchesOnWire() const
{
    return int(std::count_if(fetches.cbegin(), fetches.cend(),
                             [](const std::unique_ptr<BlockFetch> &fetch) { return fetch->onWire(); }));
}

int FileDownloader::fetchesWaiting() const
{
    return int(std::count_if(fetches.cbegin(), fetches.cend(),
                             [](const std::unique_ptr<BlockFetch> &fetch) { return fetch->waiting; }));
}

// The block, in queue order, whose countdown has ended; null when none.
BlockFetch *FileDownloader::firstDueRetry() const
{
    BlockFetch *first = nullptr;
    for (const std::unique_ptr<BlockFetch> &fetch : fetches) {
        if (fetch->due()
            && (!first || fetch->item < first->item || (fetch->item == first->item && fetch->piece < first->piece)))
            first = fetch.get();
    }
    return first;
}

// Whether a block of blockBytes may start with onWire blocks in flight.
bool FileDownloader::mayStart(qint64 blockBytes, int onWire) const
{
    return onWire < maxFetches || (onWire < maxSmallFetches && blockBytes <= SmallBlockBytes);
}

// The unpacked size of the next block of the item; parts count as large.
qint64 FileDownloader::nextBlockBytes(int index) const
{
    const DownloadItem &item = queue.at(index);
    if (item.kind == EntryKind::File)
        return item.size;
    if (item.isEntryItem())
        return item.entries.at(int(runs[size_t(index)].nextPiece)).second;
    return std::numeric_limits<qint64>::max();
}

// Starts blocks while connections are free: retries whose countdown has
// ended first, then new blocks in queue order. A block that may not start
// yet (a large one beyond connections()) holds back the ones behind it.
void FileDownloader::fill()
{
    if (filling)
        return;
    {
        const QScopedValueRollback<bool> guard(filling, true);
        while (!exitRequested() && !listReplaced) {
            const int onWire = fetchesOnWire();
            if (BlockFetch *due = firstDueRetry()) {
                // Starting an item over sends nothing yet; a part of any
                // length (-1) counts as large.
                const qint64 bytes = due->restartItem ? 0 : due->expected < 0 ? SmallBlockBytes + 1 : due->expected;
                if (!mayStart(bytes, onWire))
                    break;
                retry(*due);
                continue;
            }
            if (fetchesWaiting() >= MaxWaitingBlocks)
                break;
            const int index = nextItemToFetch();
            if (index < 0 || !mayStart(nextBlockBytes(index), onWire))
                break;
            startPiece(index);
        }
    }
    if (fetches.empty() && loop->isRunning())
        loop->quit();
}

void FileDownloader::startPiece(int index)
{
    ItemRun &run = runs[size_t(index)];
    if (!run.begun && !assembler.begin(index))
        return;
    const DownloadItem &item = queue.at(index);
    if (item.isPartItem()) {
        launch(pieceFetch(index, run.nextPiece++));
        return;
    }
    const QString destination = assembler.destinationOf(index);
    std::unique_ptr<BlockFetch> fetch(new BlockFetch);
    fetch->item = index;
    fetch->piece = run.nextPiece++;
    if (item.kind == EntryKind::File) {
        fetch->remote = item.path + QStringLiteral(".compressed");
        fetch->tempName = TempNames::block(destination);
        fetch->expected = item.size;
    } else {
        const ArchiveMember &entry = item.entries.at(int(fetch->piece));
        fetch->remote = item.path + QStringLiteral("_img/") + entry.first + QStringLiteral(".compressed");
        fetch->expected = entry.second;
        if (fetch->expected > MemberInMemoryLimit)
            fetch->tempName = TempNames::member(destination, entry.first);
    }
    BlockFetch &started = *fetch;
    fetches.push_back(std::move(fetch));
    launch(started);
}

// A failed block whose countdown has ended: sent again, or, when its item
// starts over, the item's first part comes next.
void FileDownloader::retry(BlockFetch &fetch)
{
    if (!fetch.restartItem) {
        launch(fetch);
        return;
    }
    ItemRun &run = runs[size_t(fetch.item)];
    run.nextPiece = 0;
    run.storedPieces = 0;
    run.doneBase = status.done;
    removeFetch(&fetch, false);
}

// The network manager with the fewest blocks on the wire; a new one when
// every one has all its connections busy.
QNetworkAccessManager *FileDownloader::leastBusyManager(int *lane)
{
    std::vector<int> load(managers.size(), 0);
    for (const std::unique_ptr<BlockFetch> &fetch : fetches) {
        if (fetch->onWire())
            ++load[size_t(fetch->lane)];
    }
    const auto least = std::min_element(load.cbegin(), load.cend());
    if (*least >= ConnectionsPerManager) {
        managers.push_back(new QNetworkAccessManager(this));
        *lane = int(managers.size()) - 1;
    } else {
        *lane = int(least - load.cbegin());
    }
    return managers[size_t(*lane)];
}

// Sends (or sends again) the fetch's request.
void FileDownloader::launch(BlockFetch &fetch)
{
    fetch.prepare(leastBusyManager(&fetch.lane), this);
    BlockFetch *const self = &fetch;
    connect(fetch.transfer.get(), &Transfer::finished, this, [this, self] { onFetchFinished(self); });
    connect(fetch.transfer.get(), &Transfer::progress, this,
            [this, self](qint64 read, qint64 totalBytes) { onFetchProgress(self, read, totalBytes); });

    status.sendStatus(fetch, TransferState::Starting);
    status.sendProgress();

    fetch.send(mirror);
    if (!fetch.transfer->isRunning())
        onFetchFinished(self);
}

void FileDownloader::onFetchProgress(BlockFetch *fetch, qint64 bytesRead, qint64 totalBytes)
{
    const qint64 delta = bytesRead - fetch->lastRead;
    status.countReceived(delta);
    fetch->lastRead = bytesRead;
    fetch->replyRead = bytesRead;
    fetch->replyTotal = totalBytes;
    if (exitRequested()) {
        abortAll();
        return;
    }
    const DownloadItem &item = queue.at(fetch->item);
    if (item.isPartItem())
        status.sendStatus(*fetch, TransferState::Progress);
    else
        status.sendStatus(*fetch, TransferState::Progress, sizeText(bytesRead, totalBytes, status.speed()));
    if (item.isPartItem())
        status.sendProgress();
}

void FileDownloader::onFetchFinished(BlockFetch *fetch)
{
    if (exitRequested()) {
        // Nothing half-received is kept, and nothing more is stored.
        fetch->discard();
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
        assembler.finishFile(*fetch);
    else if (item.isEntryItem())
        assembler.finishMember(*fetch);
    else
        assembler.finishPart(*fetch);
}

// A fetch of one part of an item, in the queue but not sent yet: a part to
// fetch, a part to fetch again, or the item while it waits to start over.
BlockFetch &FileDownloader::pieceFetch(int index, quint32 part)
{
    const DownloadItem &item = queue.at(index);
    std::unique_ptr<BlockFetch> fetch(new BlockFetch);
    fetch->item = index;
    fetch->piece = part;
    fetch->remote = item.path + QStringLiteral(".b") + QString::number(part) + QStringLiteral(".compressed");
    fetch->tempName = assembler.partFileName(index, part);
    // A part of an archive may have any length up to a whole part; the
    // block's header tells it.
    fetch->expected = item.kind == EntryKind::ImgArchive ? -1 : item.expectedPartSize(part);
    BlockFetch &added = *fetch;
    fetches.push_back(std::move(fetch));
    return added;
}

// ---------------------------------------------------------------------------
// Failures and retries

void FileDownloader::failNetwork(BlockFetch &fetch, qint32 code)
{
    qCDebug(lcDownload) << "[download network error]" << code << fetch.remote;
    // The mirror, or something before it, may limit the connections of one
    // player: the rest of the pass keeps to the usual number.
    if (maxSmallFetches > maxFetches && fetchesOnWire() >= maxFetches) {
        qCInfo(lcDownload) << "[download narrowed]" << maxSmallFetches << "->" << maxFetches;
        maxSmallFetches = maxFetches;
    }
    fetch.waitToRetry(RetrySeconds, code, false);
    status.sendStatus(fetch, TransferState::NetworkRetry);
    status.sendProgress();
    // A block the mirror no longer has may belong to a list that is gone.
    if (listWatch)
        listWatch->blockFailed();
    // Its connection is free; filled once the failure has been handled.
    fillTimer->start();
}

void FileDownloader::failCheck(BlockFetch &fetch, bool restart)
{
    qCDebug(lcDownload) << "[download check failed]" << fetch.remote;
    if (restart) {
        // The item starts over from its first part once the countdown ends:
        // what it had received and joined is given up.
        dropFetches(fetch.item, &fetch);
        assembler.restart(fetch.item);
    }
    fetch.waitToRetry(RetrySeconds, 0, true);
    fetch.restartItem = restart;
    status.sendStatus(fetch, TransferState::Md5Retry);
    status.sendProgress();
    if (listWatch)
        listWatch->blockFailed();
    fillTimer->start();
}

// The item cannot be stored here: it is neither stored nor committed, the
// failure goes to the ledger, and the queue goes on with the next one.
void FileDownloader::skipItem(int index, const char *reason, WorkFailure::Step step, Platform::FileFault fault)
{
    qCWarning(lcDownload) << "[download skipped]" << reason << queue.at(index).path;
    assembler.reportFailure(index, step, fault);
    dropFetches(index, nullptr);
    assembler.abandon(index);
    status.sendProgress();
    fill();
}

void FileDownloader::removeFetch(BlockFetch *fetch, bool refill)
{
    const auto found =
        std::find_if(fetches.begin(), fetches.end(),
                     [fetch](const std::unique_ptr<BlockFetch> &candidate) { return candidate.get() == fetch; });
    if (found == fetches.end())
        return;
    (*found)->dropTransfer();
    status.forget(fetch);
    fetches.erase(found);
    if (refill)
        fill();
}

// Every fetch of the item but keep goes, with what it had received.
void FileDownloader::dropFetches(int index, const BlockFetch *keep)
{
    for (auto it = fetches.begin(); it != fetches.end();) {
        BlockFetch &fetch = **it;
        if (fetch.item != index || &fetch == keep) {
            ++it;
            continue;
        }
        fetch.discard();
        status.forget(&fetch);
        it = fetches.erase(it);
    }
}

void FileDownloader::abortAll()
{
    for (const std::unique_ptr<BlockFetch> &fetch : fetches)
        fetch->discard();
    fetches.clear();
    status.forgetAll();
    if (loop->isRunning())
        loop->quit();
}

void FileDownloader::speedCalc()
{
    // Countdowns first; the blocks whose countdown ends wait for a
    // connection, in queue order.
    for (const std::unique_ptr<BlockFetch> &fetch : fetches) {
        if (!fetch->waiting || fetch->countdown == 0)
            continue;
        --fetch->countdown;
        status.sendStatus(*fetch, fetch->md5Failed ? TransferState::Md5Retry : TransferState::NetworkRetry);
    }
    status.endSecond();
    if (exitRequested()) {
        abortAll();
        speedTimer->start(SpeedCalcMs);
        return;
    }
    fill();
    // With several transfers the text may name another one now.
    if (maxFetches > 1) {
        if (BlockFetch *current = status.namedFetch()) {
            if (!current->waiting)
                status.sendStatus(*current, TransferState::Progress,
                                  queue.at(current->item).isPartItem()
                                      ? QString()
                                      : sizeText(current->replyRead, current->replyTotal, status.speed()));
        }
    }
    speedTimer->start(SpeedCalcMs);
}
