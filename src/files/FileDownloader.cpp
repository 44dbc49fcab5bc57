#include "files/FileDownloader.h"

#include "files/BlockInflater.h"
#include "files/DownloadLedger.h"
#include "files/FileSystem.h"
#include "files/NetworkFile.h"
#include "files/SafePath.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "files/imgarchive/ProgressReceiver.h"
#include "platform/Platform.h"
#include "service/Compression.h"
#include "service/ProcessState.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <optional>

namespace {

Q_LOGGING_CATEGORY(lcDownload, "varo.files", QtInfoMsg)

constexpr int MaxRedirects = 10;
constexpr quint32 RetrySeconds = 3;
constexpr quint32 StallLimitSeconds = 10;
constexpr int FirstSpeedCalcMs = 100;
constexpr int SpeedCalcMs = 1000;
constexpr int HeaderSize = 4;
// Most body bytes taken from an answer that is not the file (an error page,
// a redirect's text): far more than any real one has.
constexpr qint64 MaxDiscardedBytes = 1 << 20;
// Most bytes the network layer reads ahead of receive(). Without a limit,
// Qt's HTTP thread reads a body that comes in as fast as it is read in one
// loop that does not end: the abort of a transfer cut off in receive(), and
// every request after it, wait until the sender pauses (tens of seconds on a
// busy machine), and readyRead is held back while more data is queued, so
// the bound is checked late. With a limit it stops at each full buffer and
// answers the abort at once.
constexpr qint64 ReadBufferBytes = 1 << 20;
// The largest file an archive record can describe.
constexpr quint32 MaxMemberBytes = ImgArchive::ArchiveEditor::MaxEntrySectors * quint32(ImgArchive::ArchiveEditor::SectorSize);

bool exitRequested()
{
    return ProcessState::isExitRequested();
}

// Only web addresses are fetched: the network layer would also read file:,
// qrc: and data: addresses, and a mirror answer must never make the launcher
// read its own disk.
bool isWebAddress(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// Whether partCount parts of partSize bytes, the last one shorter, make up
// size bytes.
bool partsAddUp(quint64 size, quint32 partCount, quint64 partSize)
{
    if (partCount == 0)
        return false;
    if (partCount == 1)
        return true;
    const quint64 before = quint64(partCount - 1) * partSize;
    return partSize > 0 && before <= size && size - before <= partSize;
}

// What a compressed block of this many unpacked bytes may plausibly take on
// the wire: deflate barely expands data it cannot compress.
qint64 plausibleBlockSize(qint64 unpacked)
{
    return unpacked + unpacked / 64 + 1024;
}

// A queue item for a path inside the game folder, or none: a path that would
// lead out of it is logged and never queued.
std::optional<DownloadItem> newItem(const QString &gameDir, EntryKind kind, const QString &name,
                                    const QString &path, quint32 size)
{
    if (SafePath::inside(gameDir, path).isEmpty()) {
        qCWarning(lcDownload) << "[download skipped] path outside the game folder:" << path;
        return std::nullopt;
    }
    DownloadItem item;
    item.kind = kind;
    item.name = name;
    item.path = path;
    item.size = size;
    return item;
}

QString hexMd5(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// Where part k of a multi-part item begins in the assembled file: every part
// before the last holds partSize bytes (16 MiB for a whole archive).
qint64 partStart(const DownloadItem &item, quint32 part)
{
    const qint64 partSize = item.kind == EntryKind::AudioFile ? qint64(item.partSize) : qint64(FileSystem::ImgBlockSize);
    return qint64(part) * partSize;
}

} // namespace

FileDownloader::FileDownloader(const QString &gameDirectory, ProgressReceiver *progressReceiver,
                               DownloadLedger *downloadLedger, QObject *parent)
    : QObject(parent)
    , gameDir(gameDirectory)
    , progress(progressReceiver)
    , ledger(downloadLedger)
    , mirror(ProcessState::mirrorBase() + QStringLiteral("pcgamefile/filesystem"))
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
    if (reply) {
        reply->disconnect(this);
        reply->abort();
    }
    closeEditor();
}

void FileDownloader::addDirectory(const QString &path)
{
    if (SafePath::inside(gameDir, path).isEmpty()) {
        qCWarning(lcDownload) << "[download skipped] directory outside the game folder:" << path;
        return;
    }
    directoryList.append(path);
}

void FileDownloader::addFile(const QString &name, const QString &path, quint32 size)
{
    if (const std::optional<DownloadItem> item = newItem(gameDir, EntryKind::File, name, path, size))
        queue.append(*item);
}

void FileDownloader::addAudioFile(const QString &name, const QString &path, quint32 size, quint32 partCount,
                                  quint32 partSize)
{
    std::optional<DownloadItem> item = newItem(gameDir, EntryKind::AudioFile, name, path, size);
    if (!item)
        return;
    if (!partsAddUp(size, partCount, partSize)) {
        qCWarning(lcDownload) << "[download skipped] parts do not add up:" << path << size << partCount << partSize;
        return;
    }
    item->partCount = partCount;
    item->partSize = partSize;
    queue.append(*item);
}

void FileDownloader::addImgArchive(const QString &name, const QString &path, quint32 size, quint32 partCount,
                                   const QVector<ArchiveMember> &entries, bool createArchive, bool wholeArchive)
{
    std::optional<DownloadItem> item = newItem(gameDir, EntryKind::ImgArchive, name, path, size);
    if (!item)
        return;
    if (wholeArchive && !partsAddUp(size, partCount, FileSystem::ImgBlockSize)) {
        qCWarning(lcDownload) << "[download skipped] parts do not add up:" << path << size << partCount;
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
    item->partCount = partCount;
    item->entries = usable;
    item->createArchive = createArchive;
    item->wholeArchive = wholeArchive;
    queue.append(*item);
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

void FileDownloader::start()
{
    if (exitRequested() || queue.isEmpty())
        return;
    sendProgress();
    currentIndex = 0;
    entryIndex = 0;
    partIndex = 0;
    bool resume = false;
    while (!exitRequested() && currentIndex < quint32(queue.size())) {
        skipItem = false;
        restartItem = false;
        const bool ran = downloadNext(resume);
        if (exitRequested())
            break;
        if (!ran || skipItem) {
            moveOn();
            resume = false;
            continue;
        }
        const DownloadItem &item = queue.at(int(currentIndex));
        if (retry) {
            // A plain file starts from its beginning; a part or member is
            // fetched again, unless the assembled item failed its check.
            resume = item.kind != EntryKind::File && !restartItem;
            continue;
        }
        if (isEntryItem(item)) {
            if (++entryIndex < quint32(item.entries.size())) {
                resume = true;
                continue;
            }
        } else if (isPartItem(item)) {
            if (++partIndex < item.partCount) {
                resume = true;
                continue;
            }
        }
        moveOn();
        resume = false;
    }
    closeTransferFiles();
    closeEditor();
}

QString FileDownloader::sizeText(qint64 doneBytes, qint64 totalBytes, qint32 bytesPerSecond)
{
    return TransferTexts::sizeText(doneBytes, totalBytes, bytesPerSecond);
}

// Prepares and sends the transfer of the current item, part or member and
// waits in the nested loop until it has finished or is due for its retry.
// False when nothing was sent because the item cannot be fetched.
bool FileDownloader::downloadNext(bool resume)
{
    if (exitRequested() || currentIndex >= quint32(queue.size()))
        return false;
    closeTransferFiles();
    DownloadItem &item = queue[int(currentIndex)];

    // Checked again now: a folder on the way may have become a link since
    // the item was queued.
    destination = SafePath::inside(gameDir, item.path);
    if (destination.isEmpty()) {
        qCWarning(lcDownload) << "[download skipped] path outside the game folder:" << item.path;
        return false;
    }

    if (isEntryItem(item) && !resume) {
        closeEditor();
        if (openArchiveForEntries(item, destination)) {
            ledger->commitFile(item.path);
            entryIndex = 0;
        } else if (!fallBackToWholeArchive(item)) {
            return false;
        }
    }
    if (isEntryItem(item) && (!editor || entryIndex >= quint32(item.entries.size()))) {
        closeEditor();
        return false;
    }
    if (!isEntryItem(item))
        closeEditor();

    QString remote;
    QString tempName;
    if (isPartItem(item)) {
        if (!resume) {
            partIndex = 0;
            if (item.kind == EntryKind::ImgArchive)
                wholeBytes = 0;
            itemDoneBase = done;
        }
        remote = item.path + QStringLiteral(".b") + QString::number(partIndex) + QStringLiteral(".compressed");
        tempName = partFileName(partIndex);
        expectedSize = expectedPartSize(item, partIndex);
    } else if (item.kind == EntryKind::File) {
        remote = item.path + QStringLiteral(".compressed");
        tempName = destination + QStringLiteral(".tmp");
        expectedSize = item.size;
    } else {
        const ArchiveMember &entry = item.entries.at(int(entryIndex));
        remote = item.path + QStringLiteral("_img/") + entry.first + QStringLiteral(".compressed");
        expectedSize = entry.second;
        buffer.reset(new NetworkFile);
    }

    if (!tempName.isEmpty()) {
        tempFile.reset(new QFile(tempName));
        if (!tempFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            // The folder cannot take the file; fetching it could only end in
            // the same place. The next pass sees the difference again.
            qCWarning(lcDownload) << "[download skipped] cannot write" << tempName << tempFile->errorString();
            tempFile.reset();
            if (isPartItem(item))
                removePartFiles(item);
            return false;
        }
    }

    retry = false;
    countdown = 0;
    errorCode = 0;
    md5Failed = false;
    stallSeconds = 0;
    lastBytesRead = 0;
    partBytes = 0;
    receivedLimit = plausibleBlockSize(expectedSize);
    transferBytes = 0;
    head.clear();
    redirectsLeft = MaxRedirects;
    rejected = false;

    sendStatus(TransferState::Starting);
    sendProgress();

    QUrl url(mirror);
    url.setPath(url.path() + QLatin1Char('/') + remote);
    if (isWebAddress(url)) {
        sendRequest(url);
    } else {
        qCWarning(lcDownload) << "[download refused] not a web address:" << url;
        errorCode = QNetworkReply::ProtocolUnknownError;
        failNetwork();
    }
    loop->exec();
    return true;
}

// Opens the item's archive for member downloads: a new empty one when the
// item asks for it, else only an archive already in the fixed-directory
// form. Writing members into any other file would overwrite its data with
// the directory.
bool FileDownloader::openArchiveForEntries(const DownloadItem &item, const QString &path)
{
    if (item.createArchive)
        ImgArchive::ArchiveEditor::createEmpty(path);
    else if (!ImgArchive::ArchiveEditor::isV2StaticHeader(path))
        return false;
    editor.reset(new ImgArchive::ArchiveEditor(path));
    if (editor->open())
        return true;
    editor.reset();
    return false;
}

// An archive that cannot take its members is fetched whole instead; left as
// it was, every later pass would stop at it again.
bool FileDownloader::fallBackToWholeArchive(DownloadItem &item)
{
    if (!partsAddUp(item.size, item.partCount, FileSystem::ImgBlockSize)) {
        qCWarning(lcDownload) << "[download skipped] archive cannot be opened and its parts do not add up:"
                              << item.path << item.size << item.partCount;
        return false;
    }
    qCDebug(lcDownload) << "[download whole archive] cannot open for member downloads:" << item.path;
    quint64 memberBytes = 0;
    for (const ArchiveMember &entry : qAsConst(item.entries))
        memberBytes += entry.second;
    total = total - qMin(total, memberBytes) + item.size;
    item.wholeArchive = true;
    entryIndex = 0;
    return true;
}

void FileDownloader::sendRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    // Redirects come back as answers and are followed by hand (see
    // followRedirect), so that the received file restarts with each hop.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    discardedBytes = 0;
    reply = manager->get(request);
    reply->setReadBufferSize(ReadBufferBytes);
    connect(reply, &QNetworkReply::finished, this, &FileDownloader::networkFinished);
    connect(reply, &QNetworkReply::readyRead, this, &FileDownloader::networkReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileDownloader::networkProgress);
}

QNetworkReply *FileDownloader::currentReply() const
{
    auto *source = qobject_cast<QNetworkReply *>(sender());
    return source && source == reply ? source : nullptr;
}

void FileDownloader::networkReadyRead()
{
    if (QNetworkReply *source = currentReply())
        receive(source);
}

// Takes what has arrived: into the received file or the member buffer,
// refusing a block whose header announces another size than the file has,
// and a transfer that grows beyond what the file can plausibly take.
void FileDownloader::receive(QNetworkReply *source)
{
    const QByteArray bytes = source->readAll();
    // The body of a redirect or of an error answer is not the file: it is
    // dropped, and it does not count as data arriving, so one that trickles
    // meets the stall limit. One without end would keep the transfer alive
    // for ever while the network layer queues what it reads faster than it
    // is taken, so it is cut off; the answer then fails like a broken
    // connection.
    const QVariant status = source->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if ((status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
        || source->attribute(QNetworkRequest::RedirectionTargetAttribute).isValid()) {
        discardedBytes += bytes.size();
        if (discardedBytes > MaxDiscardedBytes) {
            qCWarning(lcDownload) << "[download] answer that is not the file goes on and on:" << source->url();
            source->abort();
        }
        return;
    }
    if (bytes.isEmpty())
        return;
    stallSeconds = 0;

    if (head.size() < HeaderSize) {
        head += bytes.left(HeaderSize - head.size());
        if (head.size() == HeaderSize && Compression::announcedSize(head) != expectedSize) {
            rejectTransfer("block announces another size");
            return;
        }
    }
    if (transferBytes + bytes.size() > receivedLimit) {
        rejectTransfer("more data than the file can take");
        return;
    }
    transferBytes += bytes.size();

    if (tempFile) {
        if (tempFile->write(bytes) != bytes.size()) {
            qCWarning(lcDownload) << "[download] cannot write" << tempFile->fileName() << tempFile->errorString();
            skipItem = true;
            source->abort();
            return;
        }
    } else if (buffer) {
        buffer->append(bytes);
    }
    const DownloadItem &item = queue.at(int(currentIndex));
    if (item.kind == EntryKind::AudioFile)
        partBytes += quint64(bytes.size());
    else if (isPartItem(item))
        wholeBytes += quint32(bytes.size());
    sendProgress();
}

void FileDownloader::networkProgress(qint64 bytesRead, qint64 totalBytes)
{
    if (!currentReply())
        return;
    const quint32 nowRead = quint32(bytesRead);
    bytesThisSecond += nowRead >= lastBytesRead ? nowRead - lastBytesRead : nowRead;
    lastBytesRead = nowRead;

    const DownloadItem &item = queue.at(int(currentIndex));
    if (isPartItem(item))
        sendStatus(TransferState::Progress);
    else
        sendStatus(TransferState::Progress, sizeText(bytesRead, totalBytes, speed));
    if (exitRequested() && reply)
        reply->abort();
}

void FileDownloader::networkFinished()
{
    QNetworkReply *source = currentReply();
    if (!source)
        return;
    reply = nullptr;
    source->disconnect(this);
    source->deleteLater();
    if (source->bytesAvailable() > 0)
        receive(source);
    if (tempFile) {
        // A block the disk did not take whole is a failed write, like one
        // refused in receive(), not a bad block to fetch again.
        if (!tempFile->flush() && !skipItem) {
            qCWarning(lcDownload) << "[download] cannot write" << tempFile->fileName() << tempFile->errorString();
            skipItem = true;
        }
        tempFile->close();
    }

    if (exitRequested()) {
        // Nothing half-received is kept.
        if (tempFile)
            tempFile->remove();
        closeTransferFiles();
        loop->quit();
        return;
    }
    if (skipItem) {
        skipCurrentItem("the received file cannot be written");
        return;
    }
    if (rejected) {
        failCheck();
        return;
    }
    errorCode = qint32(source->error());
    if (errorCode != 0) {
        failNetwork();
        return;
    }
    const QUrl target = source->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!target.isEmpty()) {
        followRedirect(source->url().resolved(target));
        return;
    }

    const DownloadItem &item = queue.at(int(currentIndex));
    if (item.kind == EntryKind::File)
        finishFile();
    else if (isEntryItem(item))
        finishMember();
    else
        finishPart();
}

// Sends the request again to the redirect target, the received file
// starting over from its first byte. Every hop counts against the limit.
void FileDownloader::followRedirect(const QUrl &target)
{
    if (redirectsLeft <= 0) {
        qCWarning(lcDownload) << "[download] too many redirects:" << target;
        errorCode = QNetworkReply::TooManyRedirectsError;
        failNetwork();
        return;
    }
    --redirectsLeft;
    if (!isWebAddress(target)) {
        qCWarning(lcDownload) << "[download] redirect refused:" << target;
        errorCode = QNetworkReply::ProtocolUnknownError;
        failNetwork();
        return;
    }
    if (tempFile && !tempFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        skipCurrentItem("the received file cannot be reopened");
        return;
    }
    if (buffer)
        buffer.reset(new NetworkFile);
    transferBytes = 0;
    head.clear();
    lastBytesRead = 0;
    // The redirect was an answer: the next hop gets its own ten seconds.
    stallSeconds = 0;
    qCDebug(lcDownload) << "[download redirect]" << target;
    sendRequest(target);
}

// Stops a transfer whose content cannot be the file: it is retried like a
// failed check.
void FileDownloader::rejectTransfer(const char *reason)
{
    qCWarning(lcDownload) << "[download rejected]" << reason << queue.at(int(currentIndex)).path << expectedSize
                          << transferBytes;
    rejected = true;
    if (reply)
        reply->abort();
}

void FileDownloader::failNetwork()
{
    qCDebug(lcDownload) << "[download network error]" << errorCode << queue.at(int(currentIndex)).path;
    if (tempFile)
        tempFile->remove();
    closeTransferFiles();
    if (isPartItem(queue.at(int(currentIndex))) && queue.at(int(currentIndex)).kind == EntryKind::ImgArchive)
        wholeBytes -= quint32(qMin<qint64>(transferBytes, wholeBytes));
    retry = true;
    countdown = RetrySeconds;
    sendStatus(TransferState::NetworkRetry);
}

void FileDownloader::failCheck()
{
    qCDebug(lcDownload) << "[download check failed]" << queue.at(int(currentIndex)).path;
    if (tempFile)
        tempFile->remove();
    closeTransferFiles();
    if (isPartItem(queue.at(int(currentIndex))) && queue.at(int(currentIndex)).kind == EntryKind::ImgArchive)
        wholeBytes -= quint32(qMin<qint64>(transferBytes, wholeBytes));
    retry = true;
    countdown = RetrySeconds;
    md5Failed = true;
    sendStatus(TransferState::Md5Retry);
}

// The item cannot be stored here: it is neither stored nor committed, and
// the queue goes on with the next one.
void FileDownloader::skipCurrentItem(const char *reason)
{
    const DownloadItem &item = queue.at(int(currentIndex));
    qCWarning(lcDownload) << "[download skipped]" << reason << item.path;
    if (tempFile)
        tempFile->remove();
    closeTransferFiles();
    if (isPartItem(item))
        removePartFiles(item);
    skipItem = true;
    sendProgress();
    loop->quit();
}

// A plain file: unpacked beside its destination, checked, then put in place.
void FileDownloader::finishFile()
{
    const DownloadItem &item = queue.at(int(currentIndex));
    const QString unpackedName = destination + QStringLiteral(".new.tmp");
    QFile unpacked(unpackedName);
    if (!unpacked.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        skipCurrentItem("cannot write the unpacked file");
        return;
    }
    BlockInflater::Result result = BlockInflater::Result::Corrupt;
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (tempFile->open(QIODevice::ReadOnly))
        result = BlockInflater::unpack(*tempFile, &unpacked, item.size, &hash);
    if (!unpacked.flush() && result == BlockInflater::Result::Ok)
        result = BlockInflater::Result::WriteFailed;
    unpacked.close();
    tempFile->close();
    tempFile->remove();

    if (result == BlockInflater::Result::WriteFailed) {
        unpacked.remove();
        skipCurrentItem("cannot write the unpacked file");
        return;
    }
    const QString expectedMd5 = ledger->remoteMd5(item.path);
    if (result != BlockInflater::Result::Ok
        || (!expectedMd5.isEmpty() && expectedMd5 != QString::fromLatin1(hash.result().toHex()))) {
        unpacked.remove();
        failCheck();
        return;
    }

    errorCode = 0;
    stallSeconds = 0;
    if (!exitRequested()) {
        done += item.size;
        if (Platform::replaceFile(unpackedName, destination)) {
            ledger->commitFile(item.path);
        } else {
            qCWarning(lcDownload) << "[download not stored] cannot replace" << destination;
            unpacked.remove();
        }
    } else {
        unpacked.remove();
    }
    closeTransferFiles();
    sendProgress();
    loop->quit();
}

// An archive member: unpacked in memory (it is at most 65,535 sectors),
// checked, then written into the open archive.
void FileDownloader::finishMember()
{
    const DownloadItem &item = queue.at(int(currentIndex));
    const ArchiveMember &entry = item.entries.at(int(entryIndex));
    QByteArray content;
    const bool unpacked = buffer && Compression::uncompress(buffer->data(), &content, entry.second);
    buffer.reset();
    const QString expectedMd5 = ledger->remoteMemberMd5(item.path, entry.first);
    if (!unpacked || (!expectedMd5.isEmpty() && expectedMd5 != hexMd5(content))) {
        failCheck();
        return;
    }

    errorCode = 0;
    stallSeconds = 0;
    if (!exitRequested() && editor) {
        const int index = editor->find(entry.first);
        const bool stored = (index < 0 ? editor->append(entry.first, content) : editor->replace(index, content))
                            && editor->writeDirectory();
        if (stored)
            ledger->commitArchiveMember(item.path, entry.first);
        else
            qCWarning(lcDownload) << "[download not stored] member" << entry.first << "in" << destination;
        done += quint64(content.size());
        if (entryIndex + 1 >= quint32(item.entries.size())) {
            sendStatus(TransferState::Saving);
            closeEditor();
        }
    }
    closeTransferFiles();
    sendProgress();
    loop->quit();
}

// One part of an audio file or of a whole archive. Parts arrive in order,
// so part k is unpacked at once behind parts 0 to k-1 in the assembled file
// beside the destination: every byte is inflated a single time. A part that
// does not unpack to its length is cut off again and fetched again alone.
void FileDownloader::finishPart()
{
    const DownloadItem &item = queue.at(int(currentIndex));
    const qint64 offset = partStart(item, partIndex);
    QFile assembled(destination + QStringLiteral(".tmp"));
    if (!assembled.open(partIndex == 0 ? QIODevice::WriteOnly | QIODevice::Truncate
                                       : QIODevice::WriteOnly | QIODevice::Append)) {
        skipCurrentItem("cannot write the assembled file");
        return;
    }
    if (assembled.size() != offset) {
        // The parts before this one are not all there: start the item over.
        assembled.close();
        assembled.remove();
        done = itemDoneBase;
        wholeBytes = 0;
        restartItem = true;
        failCheck();
        return;
    }
    BlockInflater::Result result = BlockInflater::Result::Corrupt;
    if (tempFile->open(QIODevice::ReadOnly))
        result = BlockInflater::unpack(*tempFile, &assembled, expectedSize);
    tempFile->close();
    if (!assembled.flush() && result == BlockInflater::Result::Ok)
        result = BlockInflater::Result::WriteFailed;
    if (result != BlockInflater::Result::Ok)
        assembled.resize(offset);
    assembled.close();
    if (result == BlockInflater::Result::WriteFailed) {
        skipCurrentItem("cannot write the assembled file");
        return;
    }
    if (result != BlockInflater::Result::Ok) {
        failCheck();
        return;
    }

    done += partBytes;
    partBytes = 0;
    errorCode = 0;
    stallSeconds = 0;
    // The part lives on in the assembled file.
    tempFile->remove();
    closeTransferFiles();
    if (!exitRequested() && partIndex + 1 >= item.partCount) {
        assembleParts();
        return;
    }
    sendProgress();
    loop->quit();
}

// All parts are unpacked: the assembled file is put in place only when it
// has the item's size and, for an audio file, the MD5 of the list; the old
// file stays usable until then. A failed check fetches the whole item again.
void FileDownloader::assembleParts()
{
    const DownloadItem &item = queue.at(int(currentIndex));
    const bool archive = item.kind == EntryKind::ImgArchive;
    sendStatus(archive ? TransferState::Unpacking : TransferState::Saving);

    const QString assembledName = destination + QStringLiteral(".tmp");
    QFile assembled(assembledName);
    const QString expectedMd5 = archive ? QString() : ledger->remoteMd5(item.path);
    bool whole = assembled.size() == qint64(item.size);
    if (whole && !expectedMd5.isEmpty()) {
        QCryptographicHash hash(QCryptographicHash::Md5);
        whole = assembled.open(QIODevice::ReadOnly) && hash.addData(&assembled)
                && expectedMd5 == QString::fromLatin1(hash.result().toHex());
        assembled.close();
    }
    if (!whole) {
        assembled.remove();
        done = itemDoneBase;
        wholeBytes = 0;
        restartItem = true;
        failCheck();
        return;
    }

    if (archive) {
        wholeBytes = 0;
        done += item.size;
    }
    if (Platform::replaceFile(assembledName, destination)) {
        if (archive)
            ledger->commitArchive(item.path);
        else
            ledger->commitFile(item.path);
    } else {
        qCWarning(lcDownload) << "[download not stored] cannot replace" << destination;
        assembled.remove();
    }
    sendProgress();
    loop->quit();
}

void FileDownloader::speedCalc()
{
    if (retry && countdown != 0) {
        if (md5Failed) {
            --countdown;
            sendStatus(TransferState::Md5Retry);
        } else if (errorCode != 0) {
            --countdown;
            sendStatus(TransferState::NetworkRetry);
        }
        if (countdown == 0 || exitRequested())
            loop->quit();
    }
    speed = qint32(bytesThisSecond);
    if (reply && exitRequested())
        reply->abort();
    if (reply) {
        ++stallSeconds;
        if (stallSeconds >= StallLimitSeconds) {
            qCDebug(lcDownload) << "[download stalled]" << reply->url();
            reply->abort();
        }
    }
    bytesThisSecond = 0;
    speedTimer->start(SpeedCalcMs);
}

void FileDownloader::moveOn()
{
    ++currentIndex;
    entryIndex = 0;
    partIndex = 0;
    closeEditor();
}

void FileDownloader::closeEditor()
{
    if (editor)
        editor->close();
    editor.reset();
}

void FileDownloader::closeTransferFiles()
{
    tempFile.reset();
    buffer.reset();
}

// Gives up the parts of the current item: the received ones and the file
// they are being unpacked into.
void FileDownloader::removePartFiles(const DownloadItem &item) const
{
    for (quint32 part = 0; part < item.partCount; ++part)
        QFile::remove(partFileName(part));
    QFile::remove(destination + QStringLiteral(".tmp"));
}

void FileDownloader::sendStatus(TransferState state, const QString &given)
{
    const DownloadItem &item = queue.at(int(currentIndex));
    const bool member = isEntryItem(item) && entryIndex < quint32(item.entries.size());
    const QString left = member ? TransferTexts::leftText(state, item.entries.at(int(entryIndex)).first, item.path,
                                                          errorCode, countdown)
                                : TransferTexts::leftText(state, item.path, QString(), errorCode, countdown);
    QString right;
    if (state == TransferState::NetworkRetry || state == TransferState::Md5Retry) {
        // no right text while waiting
    } else if (item.kind == EntryKind::AudioFile) {
        const qint64 received = qint64(partIndex) * item.partSize + qint64(partBytes);
        if (state != TransferState::Saving)
            right = sizeText(received, item.size, speed);
    } else if (isPartItem(item)) {
        right = sizeText(wholeBytes, item.size, speed);
    } else {
        const qint64 size = member ? qint64(item.entries.at(int(entryIndex)).second) : qint64(item.size);
        if (state == TransferState::Starting)
            right = sizeText(0, size, speed);
        else if (state == TransferState::Progress)
            right = given;
        else
            right = sizeText(size, size, speed);
    }
    progress->updateCurrentFile(left, right);
}

void FileDownloader::sendProgress()
{
    quint64 current = done;
    if (currentIndex < quint32(queue.size())) {
        const DownloadItem &item = queue.at(int(currentIndex));
        if (item.kind == EntryKind::AudioFile)
            current += partBytes;
        else if (isPartItem(item))
            current += wholeBytes;
    }
    progress->updateProgressBar(total, current);
}

bool FileDownloader::isEntryItem(const DownloadItem &item) const
{
    return item.kind == EntryKind::ImgArchive && !item.wholeArchive;
}

bool FileDownloader::isPartItem(const DownloadItem &item) const
{
    return item.kind == EntryKind::AudioFile || (item.kind == EntryKind::ImgArchive && item.wholeArchive);
}

// Part k holds partSize bytes (16 MiB for a whole archive); the last one
// holds what remains of the item's size.
qint64 FileDownloader::expectedPartSize(const DownloadItem &item, quint32 part) const
{
    const qint64 partSize = item.kind == EntryKind::AudioFile ? qint64(item.partSize) : qint64(FileSystem::ImgBlockSize);
    if (part + 1 < item.partCount)
        return partSize;
    return qint64(item.size) - qint64(item.partCount - 1) * partSize;
}

QString FileDownloader::partFileName(quint32 part) const
{
    return destination + QStringLiteral("_b") + QString::number(part) + QStringLiteral(".tmp");
}
