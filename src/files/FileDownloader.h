#pragma once

#include "files/DownloadItem.h"
#include "files/TransferTexts.h"
#include "files/WorkFailure.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class DownloadLedger;
class NetworkFile;
class ProgressReceiver;
class QEventLoop;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class QUrl;

namespace ImgArchive {
class ArchiveEditor;
}

// The download queue of a sync pass. The diff handler fills it with what is
// missing or changed; start() then moves the files from the mirror into the
// game folder strictly one at a time, each through a nested event loop on
// the calling thread. Every file travels as one qCompress block (or as
// several, for audio files and whole archives) and is stored only after it
// has been unpacked and checked: plain files and assembled files are built
// beside their destination under a ".tmp" name and put in place in one
// step, archive members go into their archive through the archive editor.
// Failed transfers and failed checks are retried after a three-second
// countdown, without limit, until they succeed or the launcher closes.
class FileDownloader final : public QObject
{
    Q_OBJECT

public:
    FileDownloader(const QString &gameDir, ProgressReceiver *progress, DownloadLedger *ledger,
                   QObject *parent = nullptr);
    // Closes an open archive (writing its directory).
    ~FileDownloader() override;

    // Items and directories whose path would leave the game folder, archive
    // members with unusable names and items whose part layout cannot add up
    // to their size are not queued (each is logged).
    void addDirectory(const QString &path);
    void addFile(const QString &name, const QString &path, quint32 size);
    void addAudioFile(const QString &name, const QString &path, quint32 size, quint32 partCount, quint32 partSize);
    void addImgArchive(const QString &name, const QString &path, quint32 size, quint32 partCount,
                       const QVector<ArchiveMember> &entries, bool createArchive, bool wholeArchive);

    const QStringList &directories() const;
    const QVector<DownloadItem> &items() const;

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
    void networkFinished();
    void networkReadyRead();
    void networkProgress(qint64 bytesRead, qint64 totalBytes);
    void speedCalc();

private:
    using TransferState = TransferTexts::TransferState;

    bool isInsideGameDir(const QString &path);
    bool downloadNext(bool resume);
    bool openArchiveForEntries(const DownloadItem &item, const QString &destination);
    bool fallBackToWholeArchive(DownloadItem &item);
    void sendRequest(const QUrl &url);
    void receive(QNetworkReply *source);
    void followRedirect(const QUrl &target);
    void rejectTransfer(const char *reason);
    void failNetwork();
    void failCheck();
    void skipCurrentItem(const char *reason, WorkFailure::Step step, Platform::FileFault fault);
    void reportFailure(WorkFailure::Step step, Platform::FileFault fault, const QString &member = QString());
    bool acceptAnnouncedSize(qint64 announced);
    void finishFile();
    void finishMember();
    void finishPart();
    void assembleParts();
    void moveOn();
    void closeEditor();
    void closeTransferFiles();
    void removePartFiles(const DownloadItem &item) const;
    void sendStatus(TransferState state, const QString &given = QString());
    void sendProgress();

    QNetworkReply *currentReply() const;
    bool isEntryItem(const DownloadItem &item) const;
    bool isPartItem(const DownloadItem &item) const;
    qint64 expectedPartSize(const DownloadItem &item, quint32 part) const;
    QString partFileName(quint32 part) const;

    QString gameDir;
    ProgressReceiver *progress;
    DownloadLedger *ledger;
    QString mirror;
    QStringList directoryList;
    QVector<DownloadItem> queue;
    quint32 currentIndex = 0;
    quint32 entryIndex = 0;
    quint32 partIndex = 0;
    QNetworkAccessManager *manager;
    QPointer<QNetworkReply> reply;
    quint64 total = 0;
    quint64 done = 0;
    quint64 partBytes = 0;
    QEventLoop *loop;
    std::unique_ptr<QFile> tempFile;
    qint32 speed = -1;
    bool retry = false;
    quint32 countdown = 0;
    qint32 errorCode = 0;
    bool md5Failed = false;
    quint32 stallSeconds = 0;
    quint32 bytesThisSecond = 0;
    quint32 lastBytesRead = 0;
    std::unique_ptr<ImgArchive::ArchiveEditor> editor;
    std::unique_ptr<NetworkFile> buffer;
    quint32 wholeBytes = 0;
    QTimer *speedTimer;

    // The current transfer: where it lands, what it must unpack to, and
    // what has arrived of it.
    QString destination;
    qint64 expectedSize = 0;
    qint64 receivedLimit = 0;
    qint64 transferBytes = 0;
    // Body bytes of the current answer dropped because it is not the file.
    qint64 discardedBytes = 0;
    QByteArray head;
    int redirectsLeft = 0;
    bool rejected = false;
    // Set by a finished transfer: the item cannot be stored and the queue
    // moves on, or the item starts again from its first part.
    bool skipItem = false;
    bool restartItem = false;
    Platform::FileFault skipFault = Platform::FileFault::Other;
    // Bytes of the assembled file so far: the parts unpacked into it.
    qint64 assembledBytes = 0;
    // Done bytes when the current multi-part item began.
    quint64 itemDoneBase = 0;
};
