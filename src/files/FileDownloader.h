#pragma once

#include "files/DownloadItem.h"
#include "files/DownloadProgress.h"
#include "files/DownloadQueue.h"
#include "files/ItemAssembler.h"
#include "files/ItemRun.h"
#include "files/WorkFailure.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <vector>

class DownloadLedger;
class ProgressReceiver;
class QEventLoop;
class QNetworkAccessManager;
class QTimer;
struct BlockFetch;
class ListWatch;
class QUrl;

// The download queue of a sync pass. The diff handler fills it with what is
// missing or changed; start() then moves the files from the mirror into the
// game folder, blocking the calling thread in a nested event loop. Every
// file travels as one qCompress block (or as several, for audio files and
// whole archives) and is stored only after it has been unpacked and
// checked (ItemAssembler): plain files and assembled files are built beside
// their destination under a ".tmp" name and put in place in one step,
// archive members go into their archive through the archive editor.
//
// Up to connections() blocks travel at once, taken in queue order: files,
// parts of one file, members of one archive alike; while the blocks that
// start are small, up to smallBlockConnections(). A small block takes
// less time on the wire than its round trip, so only many of them in
// flight keep a long link full; large blocks fill it by themselves. Qt
// opens at most six connections to a host per network manager, so the
// queue spreads its blocks over as many managers as it needs. When a block
// fails on the network while more than connections() are in flight, the
// mirror may be refusing so many connections: the queue keeps to
// connections() for the rest of the pass. Parts are joined in
// their order and members stored one at a time, all on the calling thread,
// so each file has one writer. Every block has its own ten-second stall
// limit and its own retry: a failed transfer or check is tried again after
// a three-second countdown, without limit, until it succeeds or the
// launcher closes. A block counting down holds no connection: the others
// go on meanwhile, and a block whose countdown has ended goes before any new
// one. So that a mirror that fails everything is not asked ever faster, no
// new block starts while MaxWaitingBlocks are failing. With one connection
// the queue runs one block after the other.
//
// With a list watch set, failing blocks make the queue ask whether the sync
// list was replaced meanwhile; if it was, the queue ends early
// (listChanged()) so that the next pass works from the new list.
class FileDownloader final : public QObject, private ItemAssembler::Scheduler
{
    Q_OBJECT

public:
    // Files go into gameDir; blocks come from mirrorBase (ending in "/") +
    // "pcgamefile/filesystem".
    FileDownloader(const QString &gameDir, const QString &mirrorBase, ProgressReceiver *progress,
                   DownloadLedger *ledger, QObject *parent = nullptr);
    // Ends every transfer and closes open archives (writing their directory).
    ~FileDownloader() override;

    // What cannot be stored is not queued (DownloadQueue).
    void addDirectory(const QString &path);
    void addFile(const QString &name, const QString &path, quint32 size);
    void addAudioFile(const QString &name, const QString &path, quint32 size, quint32 partCount, quint32 partSize);
    void addImgArchive(const QString &name, const QString &path, quint32 size, quint32 partCount,
                       const QVector<ArchiveMember> &entries, bool createArchive, bool wholeArchive);

    const QStringList &directories() const;
    const QVector<DownloadItem> &items() const;

    // Blocks in flight at once (Endpoints::downloadConnections() unless set).
    int connections() const { return maxFetches; }
    // Blocks in flight at once while they are small
    // (Endpoints::smallBlockConnections() unless set): never fewer than
    // connections(), and 1 with one connection.
    int smallBlockConnections() const { return maxSmallFetches; }
    // smallBlockCount 0 leaves the wider count as it was (still at least
    // count).
    void setConnections(int count, int smallBlockCount = 0);
    // Blocks up to this size (unpacked) are small.
    static constexpr qint64 SmallBlockBytes = 1 << 20;
    // Failing blocks waiting for their next attempt beyond which no new
    // block starts.
    static constexpr int MaxWaitingBlocks = 32;

    // Watches the sync list's hash file at hashUrl while blocks fail (see
    // ListWatch); verifiedHash is the hash of the list the queue was filled
    // from.
    void watchList(const QUrl &hashUrl, const QByteArray &verifiedHash);
    // Whether the last start() ended early because the list was replaced.
    bool listChanged() const { return listReplaced; }

    // Sums the bytes the queue will store and reports (total, 0) as progress.
    void computeTotal();
    quint64 totalBytes() const;
    // MiB still missing on the game folder's volume for twice the download
    // plus 3000 MiB; 0 or less when there is room, 1 when the free space
    // cannot be read.
    qint32 spaceShortfall() const;

    // Runs the queue to its end or until the launcher closes. Blocks.
    void start();

    static QString sizeText(qint64 done, qint64 total, qint32 speed);

public slots:
    // Once a second: the speed, the retry countdowns and the status text.
    void speedCalc();

private:
    using TransferState = TransferTexts::TransferState;

    int nextItemToFetch();
    int fetchesOnWire() const;
    int fetchesWaiting() const;
    BlockFetch *firstDueRetry() const;
    bool mayStart(qint64 blockBytes, int onWire) const;
    qint64 nextBlockBytes(int index) const;
    QNetworkAccessManager *leastBusyManager(int *lane);
    void startPiece(int index);
    void retry(BlockFetch &fetch);
    void launch(BlockFetch &fetch);
    void onListChanged();
    void onFetchFinished(BlockFetch *fetch);
    void onFetchProgress(BlockFetch *fetch, qint64 bytesRead, qint64 totalBytes);
    void failNetwork(BlockFetch &fetch, qint32 code);
    void dropFetches(int index, const BlockFetch *keep);
    void abortAll();

    // ItemAssembler::Scheduler
    void failCheck(BlockFetch &fetch, bool restartItem = false) override;
    void skipItem(int index, const char *reason, WorkFailure::Step step, Platform::FileFault fault) override;
    BlockFetch &pieceFetch(int index, quint32 part) override;
    void removeFetch(BlockFetch *fetch, bool refill = true) override;
    void fill() override;

    QString gameDir;
    QString mirror;
    DownloadQueue queue;
    ItemRuns runs;
    std::vector<std::unique_ptr<BlockFetch>> fetches;
    DownloadProgress status;
    ItemAssembler assembler;
    int maxFetches = 1;
    int maxSmallFetches = 1;
    // Items before this one have ended, or all their blocks have started,
    // or are open part items (ItemRuns::openPartItems).
    int frontier = 0;
    // fill() is running: a nested call (a block that fails at once starts
    // the next one) leaves the work to it.
    bool filling = false;
    bool listReplaced = false;
    // The first one (the list watch's too), then those opened for more than
    // six blocks at once.
    std::vector<QNetworkAccessManager *> managers;
    QEventLoop *loop;
    QTimer *speedTimer;
    QTimer *fillTimer;
    ListWatch *listWatch = nullptr;
};
