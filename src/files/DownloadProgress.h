#pragma once

#include "files/TransferTexts.h"

#include <QElapsedTimer>
#include <QString>

#include <memory>
#include <vector>

class DownloadQueue;
class ProgressReceiver;
struct BlockFetch;
class ItemRuns;
struct ItemRun;

// What the download queue shows while it runs: the bar (bytes stored and
// on their way of the total), the speed, and the status texts of the
// transfer it names. With several transfers at once the text names the
// oldest one in the queue, and moves on at most once a second so that it
// does not flicker between files.
class DownloadProgress final
{
public:
    using TransferState = TransferTexts::TransferState;
    static constexpr int SecondMs = 1000;

    // Reads the queue, the items' runs and the fetches in flight of the
    // download queue that owns it.
    DownloadProgress(ProgressReceiver *progress, const DownloadQueue &queue, const ItemRuns &runs,
                     const std::vector<std::unique_ptr<BlockFetch>> &fetches);

    // Bytes the queue stores in all, and bytes stored so far.
    quint64 total = 0;
    quint64 done = 0;

    void setConnections(int count) { connections = count; }

    // Bytes received; once a second they become the speed.
    void countReceived(qint64 bytes);
    void endSecond();
    qint32 speed() const { return bytesPerSecond; }

    // The fetch goes: the text no longer names it.
    void forget(const BlockFetch *fetch);
    void forgetAll() { named = nullptr; }

    // The fetch the status text names, or null.
    BlockFetch *namedFetch();
    // The texts of a fetch, when the text names it; given is the right-hand
    // text of a progress report (the size text of what it received).
    void sendStatus(BlockFetch &fetch, TransferState state, const QString &given = QString());
    // The texts of an item's last steps (saving, unpacking), as one-name or
    // two-name texts of the item itself.
    void sendStatus(int index, TransferState state);
    void sendProgress();
    // (total, 0): the bar before anything started.
    void sendTotal();

private:
    ProgressReceiver *progress;
    const DownloadQueue &queue;
    const ItemRuns &runs;
    const std::vector<std::unique_ptr<BlockFetch>> &fetches;
    int connections = 1;
    qint32 bytesPerSecond = -1;
    quint32 bytesThisSecond = 0;
    // The transfer the status text names, and since when.
    const BlockFetch *named = nullptr;
    QElapsedTimer sinceNamed;
};
