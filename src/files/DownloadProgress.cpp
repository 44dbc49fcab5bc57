#include "files/DownloadProgress.h"

#include "files/BlockFetch.h"
#include "files/DownloadQueue.h"
#include "files/ItemRun.h"
#include "files/imgarchive/ProgressReceiver.h"

DownloadProgress::DownloadProgress(ProgressReceiver *progressReceiver, const DownloadQueue &downloadQueue,
                                   const ItemRuns &itemRuns, const std::vector<std::unique_ptr<BlockFetch>> &inFlight)
    : progress(progressReceiver)
    , queue(downloadQueue)
    , runs(itemRuns)
    , fetches(inFlight)
{
}

void DownloadProgress::countReceived(qint64 bytes)
{
    bytesThisSecond += quint32(qMax<qint64>(0, bytes));
}

void DownloadProgress::endSecond()
{
    bytesPerSecond = qint32(bytesThisSecond);
    bytesThisSecond = 0;
}

void DownloadProgress::forget(const BlockFetch *fetch)
{
    if (named == fetch)
        named = nullptr;
}

BlockFetch *DownloadProgress::namedFetch()
{
    BlockFetch *oldest = nullptr;
    for (const std::unique_ptr<BlockFetch> &fetch : fetches) {
        if (!oldest || fetch->item < oldest->item || (fetch->item == oldest->item && fetch->piece < oldest->piece))
            oldest = fetch.get();
    }
    const bool mayMove = connections == 1 || !named || !sinceNamed.isValid() || sinceNamed.elapsed() >= SecondMs;
    if (oldest != named && mayMove) {
        named = oldest;
        sinceNamed.start();
    }
    if (!named)
        return nullptr;
    for (const std::unique_ptr<BlockFetch> &fetch : fetches) {
        if (fetch.get() == named)
            return fetch.get();
    }
    return nullptr;
}

void DownloadProgress::sendStatus(BlockFetch &fetch, TransferState state, const QString &given)
{
    if (namedFetch() != &fetch)
        return;
    const DownloadItem &item = queue.at(fetch.item);
    const ItemRun &run = runs[size_t(fetch.item)];
    const bool member = item.isEntryItem();
    const QString left = member
        ? TransferTexts::leftText(state, item.entries.at(int(fetch.piece)).first, item.path, fetch.errorCode,
                                  fetch.countdown)
        : TransferTexts::leftText(state, item.path, QString(), fetch.errorCode, fetch.countdown);
    QString right;
    if (state == TransferState::NetworkRetry || state == TransferState::Md5Retry) {
        // no right text while waiting
    } else if (item.kind == EntryKind::AudioFile) {
        const qint64 received = qint64(fetch.piece) * item.partSize + (fetch.transfer ? fetch.transfer->received() : 0);
        right = TransferTexts::sizeText(received, item.size, bytesPerSecond);
    } else if (item.isPartItem()) {
        qint64 inFlight = 0;
        for (const std::unique_ptr<BlockFetch> &other : fetches) {
            if (other->item == fetch.item && other->transfer && !other->waiting)
                inFlight += other->transfer->received();
        }
        right = TransferTexts::sizeText(qint64(run.wholeBytes) + inFlight, item.size, bytesPerSecond);
    } else {
        const qint64 size = member ? qint64(item.entries.at(int(fetch.piece)).second) : qint64(item.size);
        if (state == TransferState::Starting)
            right = TransferTexts::sizeText(0, size, bytesPerSecond);
        else if (state == TransferState::Progress)
            right = given;
        else
            right = TransferTexts::sizeText(size, size, bytesPerSecond);
    }
    progress->updateCurrentFile(left, right);
}

// The texts of an item's last steps (saving, unpacking), as one-name or
// two-name texts of the item itself.
void DownloadProgress::sendStatus(int index, TransferState state)
{
    const DownloadItem &item = queue.at(index);
    const ItemRun &run = runs[size_t(index)];
    if (connections > 1 && namedFetch() && namedFetch()->item != index)
        return;
    QString left;
    QString right;
    if (item.isEntryItem()) {
        const ArchiveMember &entry = item.entries.last();
        left = TransferTexts::leftText(state, entry.first, item.path, 0, 0);
        right = TransferTexts::sizeText(entry.second, entry.second, bytesPerSecond);
    } else if (item.kind == EntryKind::AudioFile) {
        left = TransferTexts::leftText(state, item.path, QString(), 0, 0);
        if (state != TransferState::Saving)
            right = TransferTexts::sizeText(qint64(item.partCount - 1) * item.partSize, item.size, bytesPerSecond);
    } else {
        left = TransferTexts::leftText(state, item.path, QString(), 0, 0);
        right = TransferTexts::sizeText(qint64(run.wholeBytes), item.size, bytesPerSecond);
    }
    progress->updateCurrentFile(left, right);
}

void DownloadProgress::sendProgress()
{
    // Bytes in hand that are not stored yet: only items fetched in parts
    // hold any between their blocks.
    quint64 current = done;
    for (const int index : runs.openPartItems()) {
        const ItemRun &run = runs[size_t(index)];
        current += run.wholeBytes;
        if (queue.at(index).kind == EntryKind::AudioFile) {
            for (const qint64 bytes : run.arrivedWireBytes)
                current += quint64(bytes);
        }
    }
    for (const std::unique_ptr<BlockFetch> &fetch : fetches) {
        if (fetch->transfer && !fetch->waiting && queue.at(fetch->item).isPartItem())
            current += quint64(fetch->transfer->received());
    }
    progress->updateProgressBar(total, current);
}

void DownloadProgress::sendTotal()
{
    progress->updateProgressBar(total, 0);
}
