#include "files/FileDownloader.h"

#include "files/BlockInflater.h"
#include "files/DownloadLedger.h"
#include "files/FileSystem.h"
#include "files/NetworkFile.h"
#include "files/SafePath.h"
#include "files/WorkFailure.h"
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
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QVariant>


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

// Whether an archive can be fetched whole in this many 16 MiB parts. The
// parts' sizes are not tied to the archive's listed size: how a mirror
// computes that size is its own affair. Each part is bounded by itself.
bool wholeArchivePartsUsable(quint32 partCount)
{
    return partCount >= 1 && partCount <= FileSystem::MaxImgBlocks;
}

// What a compressed block of this many unpacked bytes may plausibly take on
// the wire: deflate barely expands data it cannot compress.
qint64 plausibleBlockSize(qint64 unpacked)
{
    return unpacked + unpacked / 64 + 1024;
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

QString hexMd5(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
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
        reportFailure(WorkFailure::Step::LeadsOutside, Platform::FileFault::Other);
        return false;
    }

    if (isEntryItem(item) && !resume) {
        closeEditor();
        if (openArchiveForEntries(item, destination)) {
            ledger->commitFile(item.path);
            entryIndex = 0;
        } else {
            const Platform::FileFault fault = Platform::lastFileFault();
            if (!fallBackToWholeArchive(item)) {
                reportFailure(WorkFailure::Step::EditArchive, fault);
                return false;
            }
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
        if (item.kind == EntryKind::ImgArchive) {
            // Any size up to a whole part; the block's header tells it.
            expectedSize = -1;
        }
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
        if (!SafePath::createFresh(*tempFile)) {
            // The folder cannot take the file; fetching it could only end in
            // the same place. The next pass sees the difference again.
            const Platform::FileFault fault = Platform::lastFileFault();
            qCWarning(lcDownload) << "[download skipped] cannot write" << tempName << tempFile->errorString();
            tempFile.reset();
            if (isPartItem(item))
                removePartFiles(item);
            reportFailure(WorkFailure::Step::Write, fault);
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
    receivedLimit = plausibleBlockSize(expectedSize < 0 ? qint64(FileSystem::ImgBlockSize) : expectedSize);
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
    reply->setReadBufferSize(0);
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
        if (head.size() == HeaderSize && !acceptAnnouncedSize(Compression::announcedSize(head))) {
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
            skipFault = Platform::lastFileFault();
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
            skipFault = Platform::lastFileFault();
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
        skipCurrentItem("the received file cannot be written", WorkFailure::Step::Write, skipFault);
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
    if (tempFile && !SafePath::createFresh(*tempFile)) {
        skipCurrentItem("the received file cannot be reopened", WorkFailure::Step::Write, Platform::lastFileFault());
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

// The item cannot be stored here: it is neither stored nor committed, the
// failure goes to the ledger, and the queue goes on with the next one.
void FileDownloader::skipCurrentItem(const char *reason, WorkFailure::Step step, Platform::FileFault fault)
{
    const DownloadItem &item = queue.at(int(currentIndex));
    qCWarning(lcDownload) << "[download skipped]" << reason << item.path;
    reportFailure(step, fault);
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
    if (!SafePath::createFresh(unpacked)) {
        skipCurrentItem("cannot write the unpacked file", WorkFailure::Step::Write, Platform::lastFileFault());
        return;
    }
    BlockInflater::Result result = BlockInflater::Result::Corrupt;
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (tempFile->open(QIODevice::ReadOnly))
        result = BlockInflater::unpack(*tempFile, &unpacked, item.size, &hash);
    if (!unpacked.flush() && result == BlockInflater::Result::Ok)
        result = BlockInflater::Result::WriteFailed;
    const Platform::FileFault writeFault = Platform::lastFileFault();
    unpacked.close();
    tempFile->close();
    tempFile->remove();

    if (result == BlockInflater::Result::WriteFailed) {
        unpacked.remove();
        skipCurrentItem("cannot write the unpacked file", WorkFailure::Step::Write, writeFault);
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
        Platform::FileFault fault = Platform::FileFault::None;
        if (Platform::replaceFile(unpackedName, destination, &fault)) {
            ledger->commitFile(item.path);
        } else {
            qCWarning(lcDownload) << "[download not stored] cannot replace" << destination;
            unpacked.remove();
            reportFailure(WorkFailure::Step::Store, fault);
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
        int index = editor->find(entry.first);
        if (index >= 0 && editor->directory().at(index).name != entry.first) {
            // A member whose name differs in case only: the listed name is
            // what the next scan must find, so it takes the old one's place.
            editor->remove(index);
            index = -1;
        }
        const bool stored = (index < 0 ? editor->append(entry.first, content) : editor->replace(index, content))
                            && editor->writeDirectory();
        if (stored) {
            ledger->commitArchiveMember(item.path, entry.first);
        } else {
            qCWarning(lcDownload) << "[download not stored] member" << entry.first << "in" << destination;
            reportFailure(WorkFailure::Step::EditArchive, Platform::lastFileFault(), entry.first);
        }
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
    const qint64 offset = partIndex == 0 ? 0 : assembledBytes;
    // The first part starts the assembled file afresh; later parts are
    // appended to that very file, never to one a link at its name points to.
    QFile assembled(destination + QStringLiteral(".tmp"));
    const bool opened = partIndex == 0 ? SafePath::createFresh(assembled)
                                       : Platform::openExisting(assembled, QIODevice::WriteOnly | QIODevice::Append);
    if (!opened) {
        skipCurrentItem("cannot write the assembled file", WorkFailure::Step::Write, Platform::lastFileFault());
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
    const Platform::FileFault writeFault = Platform::lastFileFault();
    if (result != BlockInflater::Result::Ok)
        assembled.resize(offset);
    assembled.close();
    if (result == BlockInflater::Result::WriteFailed) {
        skipCurrentItem("cannot write the assembled file", WorkFailure::Step::Write, writeFault);
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
    assembledBytes = offset + expectedSize;
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
    // An audio file must have its listed size and sum. An archive is judged
    // by what matters of it: it reads as an archive and holds the members
    // the list names; its listed size is only what the mirror announced.
    bool whole = archive ? holdsListedMembers(assembledName, item) : assembled.size() == qint64(item.size);
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
    Platform::FileFault fault = Platform::FileFault::None;
    if (Platform::replaceFile(assembledName, destination, &fault)) {
        if (archive)
            ledger->commitArchive(item.path);
        else
            ledger->commitFile(item.path);
    } else {
        qCWarning(lcDownload) << "[download not stored] cannot replace" << destination;
        assembled.remove();
        reportFailure(WorkFailure::Step::Store, fault);
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
    // The part count comes from the list; it is bounded by the item's size
    // when queued, and a stop request ends the walk all the same.
    for (quint32 part = 0; part < item.partCount && !exitRequested(); ++part)
        QFile::remove(partFileName(part));
    QFile::remove(destination + QStringLiteral(".tmp"));
}

void FileDownloader::reportFailure(WorkFailure::Step step, Platform::FileFault fault, const QString &member)
{
    if (currentIndex >= quint32(queue.size()))
        return;
    WorkFailure failure;
    failure.path = queue.at(int(currentIndex)).path;
    failure.member = member;
    failure.step = step;
    failure.fault = fault;
    ledger->workFailed(failure);
}

// Checks the length a block announces: exactly the expected one, or for a
// part of an archive fetched whole any length up to a whole part, which then
// becomes the expected one.
bool FileDownloader::acceptAnnouncedSize(qint64 announced)
{
    const DownloadItem &item = queue.at(int(currentIndex));
    if (item.kind == EntryKind::ImgArchive && item.wholeArchive) {
        if (announced < 0 || announced > qint64(FileSystem::ImgBlockSize))
            return false;
        expectedSize = announced;
        receivedLimit = plausibleBlockSize(announced);
        return true;
    }
    return announced == expectedSize;
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

// Part k of an audio file holds partSize bytes; the last one holds what
// remains of the item's size.
qint64 FileDownloader::expectedPartSize(const DownloadItem &item, quint32 part) const
{
    if (part + 1 < item.partCount)
        return qint64(item.partSize);
    return qint64(item.size) - qint64(item.partCount - 1) * qint64(item.partSize);
}

QString FileDownloader::partFileName(quint32 part) const
{
    return destination + QStringLiteral("_b") + QString::number(part) + QStringLiteral(".tmp");
}
