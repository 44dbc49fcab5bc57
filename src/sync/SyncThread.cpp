#include "sync/SyncThread.h"

#include "files/FileDownloader.h"
#include "files/FileSystem.h"
#include "files/SafePath.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "platform/Platform.h"
#include "service/BinaryListFile.h"
#include "service/Endpoints.h"
#include "service/HttpRequest.h"
#include "service/ProcessState.h"
#include "service/UserIni.h"
#include "signing/SignedText.h"
#include "sync/FolderTidy.h"
#include "sync/ListTrust.h"
#include "sync/ListingSanitizer.h"
#include "sync/StateSaver.h"
#include "sync/SyncDiffHandler.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QScopeGuard>
#include <QThread>
#include <QUrl>

#include <iterator>

namespace {

Q_LOGGING_CATEGORY(lcSync, "varo.sync", QtInfoMsg)

// A real sync list is a few megabytes; anything far beyond is not one.
constexpr qint64 MaxSyncListSize = 32 << 20;

// The wait before a pass that follows a pass whose work all failed or came
// back: a file another program holds may be free a moment later.
constexpr int RepeatPauseMs = 3000;
constexpr int PauseStepMs = 100;

} // namespace

SyncThread::SyncThread(const AppPaths &appPaths, const QString &api, const QString &mirror, QObject *parent)
    : QObject(parent)
    , paths(appPaths)
    , apiBase(api)
    , mirrorBase(mirror)
    , gameDir(appPaths.gameDir())
    , stateSaver(appPaths.syncState())
{
}

SyncThread::~SyncThread()
{
    resetPass();
}

void SyncThread::resetPass()
{
    delete diff;
    diff = nullptr;
    delete remoteListing;
    remoteListing = nullptr;
    delete cacheListing;
    cacheListing = nullptr;
    delete localListing;
    localListing = nullptr;
    rebuilds.clear();
}

void SyncThread::beginStage(const QString &text, bool emptyBar)
{
    emit setProgressText(text, QString());
    if (emptyBar)
        emit setProgressState(0, 0);
    else
        emit setProgressState(1, 0);
}

bool SyncThread::stopRequested()
{
    if (!ProcessState::isExitRequested())
        return false;
    finishAndQuit();
    return true;
}

void SyncThread::endRun(Outcome outcome)
{
    if (runOutcome == Outcome::Running)
        runOutcome = outcome;
    QThread::currentThread()->quit();
}

void SyncThread::finishAndQuit()
{
    // Sent once per run, whichever check saw the stop first.
    if (!finishSent) {
        finishSent = true;
        emit finish(true);
    }
    endRun(Outcome::Stopped);
}

// The stages of one pass, in order. Each announces itself with its text
// (the bar then waiting, or empty where it says so) unless it has none, and
// routes the progress reports it causes by its mode. Between two stages the
// run ends if the launcher is closing; long stages also look inside.
const SyncThread::Stage SyncThread::PassStages[] = {
    {"Получение списка синхронизируемых файлов...", false, NoProgress, Always, &SyncThread::fetchSyncListStage},
    {"Удаление временных файлов...", false, NoProgress, Always, &SyncThread::removeTempFiles},
    {"Конвертация названий файлов и директорий...", false, NoProgress, Always, &SyncThread::normalizeNames},
    {"Конвертация IMG архивов в формат v2staticHeader...", false, ImgConversion, Always,
     &SyncThread::convertImgArchives},
    {"Получение списка локальных файлов...", false, NoProgress, Always, &SyncThread::scanLocalFiles},
    {"Проверка целостности старой копии игры...", true, OldCopyCheck, OldCopyOnly, &SyncThread::checkOldCopy},
    {"Проверка целостности и поиск обновлений...", false, IntegrityCheck, Always, &SyncThread::checkIntegrity},
    {"Удаление лишних файлов...", false, NoProgress, Always, &SyncThread::removeExtraFiles},
    {"Сохранение внутренних данных...", false, NoProgress, Always, &SyncThread::saveStateStage},
    {"Подготовка к обновлению...", false, NoProgress, Always, &SyncThread::prepareUpdate},
    {"Подготовка к резервации...", false, Reservation, Always, &SyncThread::reserveDirectories},
    {"Подготовка к скачиванию...", false, NoProgress, Always, &SyncThread::checkSpace},
    {nullptr, false, Download, Always, &SyncThread::download},
    {"Пересборка обновленных IMG архивов...", false, Rebuild, Always, &SyncThread::rebuildUpdatedArchives},
};

void SyncThread::start()
{
    runOutcome = Outcome::Running;
    finishSent = false;
    // When the run ends, nothing of it is needed any more: its objects (the
    // download queue's timer among them) go on the thread that made them.
    // One network manager for the run's requests to the API, so that they
    // share connections; made and deleted on this thread.
    network.reset(new QNetworkAccessManager);
    const auto cleanup = qScopeGuard([this] {
        resetPass();
        network.reset();
    });
    QThread::msleep(250);
    for (;;) {
        resetPass();
        failureWatch.beginPass();
        for (const Stage &stage : PassStages) {
            if (stage.when == OldCopyOnly && !oldCopy)
                continue;
            const Next next = runStage(stage);
            if (next == Next::EndRun || stopRequested())
                return;
            if (next == Next::Ready) {
                // Nothing to fetch or delete: the archives edited earlier
                // are rebuilt and the game is ready.
                runStage(PassStages[std::size(PassStages) - 1]);
                if (stopRequested())
                    return;
                runOutcome = Outcome::Ready;
                finishSent = true;
                emit finish(true);
                endRun(Outcome::Ready);
                return;
            }
        }
        if (!continueAfterPass())
            return;
    }
}

SyncThread::Next SyncThread::runStage(const Stage &stage)
{
    if (stage.text)
        beginStage(QString::fromUtf8(stage.text), stage.emptyBar);
    progressMode = stage.mode;
    const Next next = (this->*stage.run)();
    progressMode = NoProgress;
    return next;
}

SyncThread::Next SyncThread::fetchSyncListStage()
{
    if (fetchSyncList())
        return Next::Go;
    if (runOutcome == Outcome::Running) {
        emit setProgressText(QStringLiteral("Ошибка: не удалось получить список файлов"), listFailureReason);
        emit setProgressState(1, 0);
        runOutcome = Outcome::ListFailure;
        finishAndQuit();
    }
    return Next::EndRun;
}

SyncThread::Next SyncThread::saveStateStage()
{
    saveCacheListing();
    return Next::Go;
}

bool SyncThread::continueAfterPass()
{
    // The same work against another list is other work: a mirror whose
    // nodes serve two publications in turn is not the player's fault.
    switch (failureWatch.endPass(QString::fromLatin1(listHash) + QLatin1Char('\n') + diff->workSignature(),
                                 diff->firstWorkPath())) {
    case FailureWatch::Verdict::NextPass:
        return true;
    case FailureWatch::Verdict::PauseThenNextPass:
        pause(RepeatPauseMs);
        return !stopRequested();
    case FailureWatch::Verdict::Stop:
        break;
    }
    const WorkFailure &failure = failureWatch.reported();
    qCWarning(lcSync).noquote() << "[sync stopped] the same work failed" << FailureWatch::PassesBeforeStop
                                << "passes in a row:" << failure.path << failure.member << int(failure.step)
                                << int(failure.fault);
    emit setProgressText(FailureWatch::leftText(failure, failureWatch.reportedFailed()),
                         FailureWatch::rightText(failure, failureWatch.reportedFailed()));
    emit setProgressState(1, 0);
    // Like a disk without room: no finish, so joining stays off; a new
    // start or a repair tries again.
    endRun(Outcome::RepeatedFailure);
    return false;
}

void SyncThread::pause(int ms)
{
    for (int slept = 0; slept < ms && !ProcessState::isExitRequested(); slept += PauseStepMs)
        QThread::msleep(PauseStepMs);
}

void SyncThread::workDone()
{
    failureWatch.workDone();
}

void SyncThread::workFailed(const WorkFailure &failure)
{
    failureWatch.workFailed(failure);
}

void SyncThread::updateProgressBar(quint64 total, quint64 done)
{
    if (progressMode == NoProgress)
        return;
    emit setProgressState(done, total);
}

void SyncThread::updateCurrentFile(const QString &currentFile, const QString &speed)
{
    switch (progressMode) {
    case OldCopyCheck:
        emit setProgressText(QStringLiteral("Проверка целостности старой копии игры (") + currentFile
                                 + QStringLiteral(")..."),
                             QString());
        break;
    case ImgConversion:
        emit setProgressText(QStringLiteral("Конвертация IMG архивов в формат v2staticHeader (") + currentFile
                                 + QStringLiteral(")..."),
                             QString());
        break;
    case Reservation:
        emit setProgressText(QStringLiteral("Резервация места на диске (") + currentFile + QStringLiteral(")..."),
                             QString());
        break;
    case Download:
        emit setProgressText(QStringLiteral("Скачивание ") + currentFile, speed);
        break;
    case IntegrityCheck:
        emit setProgressText(currentFile.isEmpty() ? QStringLiteral("Проверка целостности и поиск обновлений...")
                                                   : QStringLiteral("Проверка целостности ") + currentFile,
                             QString());
        break;
    case Rebuild:
        emit setProgressText(QStringLiteral("Пересборка обновленных IMG архивов (") + currentFile
                                 + QStringLiteral(")..."),
                             QString());
        break;
    case NoProgress:
        break;
    }
}

void SyncThread::saveCacheListing()
{
    if (cacheListing)
        stateSaver.save(*cacheListing);
}

bool SyncThread::fetchSyncList()
{
    listFailureReason.clear();
    HttpRequest listRequest(apiBase + QStringLiteral("/sync.lst"));
    listRequest.setMaxResponseSize(MaxSyncListSize);
    // The list verified in an earlier pass of this run is asked for only if
    // it changed (when the server gave its version); an answer 304 reuses it.
    if (!verifiedList.isEmpty() && !verifiedListTag.isEmpty())
        listRequest.setHeader("If-None-Match", verifiedListTag);
    if (!verifiedList.isEmpty() && !verifiedListModified.isEmpty())
        listRequest.setHeader("If-Modified-Since", verifiedListModified);
    HttpRequest hashRequest(apiBase + QStringLiteral("/sync.lst.hash"));
    ListTrust trust(Endpoints::signingPublicKey(), paths.listSerial());
    HttpRequest signatureRequest(apiBase + QStringLiteral("/sync.lst.sig"), SignedText::MaxSize);
    // The list, its hash and (with a key) its signature are asked for at
    // once, on connections kept from earlier requests: one round trip
    // instead of one each. The answers are judged in that order.
    QVector<HttpRequest *> requests{&listRequest, &hashRequest};
    if (trust.isRequired())
        requests.append(&signatureRequest);
    for (HttpRequest *request : qAsConst(requests))
        request->setNetwork(network.get());
    if (stopRequested())
        return false;
    const QVector<bool> received = HttpRequest::getTogether(requests, 5, 5000);
    if (!received.at(0)) {
        Platform::systemMessageBox(QStringLiteral("test"), QStringLiteral("fail 1"));
        return false;
    }
    if (ProcessState::isExitRequested()) {
        Platform::systemMessageBox(QStringLiteral("test"), QStringLiteral("fail 0"));
        finishAndQuit();
        return false;
    }
    if (!received.at(1)) {
        Platform::systemMessageBox(QStringLiteral("test"), QStringLiteral("fail 2"));
        return false;
    }
    // A 304 vouches for the copy in hand. When the hash file names another
    // list, the answer came from a cache that has not seen the new one, or
    // the list was replaced within the same second and the same size: it is
    // asked for once more, without conditions.
    if (listRequest.statusCode() == 304 && !verifiedList.isEmpty()
        && QCryptographicHash::hash(verifiedList, QCryptographicHash::Md5).toHex() != hashRequest.response()) {
        HttpRequest fresh(apiBase + QStringLiteral("/sync.lst"));
        fresh.setMaxResponseSize(MaxSyncListSize);
        fresh.setNetwork(network.get());
        if (!fresh.get(5, 5000)) {
            Platform::systemMessageBox(QStringLiteral("test"), QStringLiteral("fail 1"));
            return false;
        }
        listRequest = std::move(fresh);
    }
    delete remoteListing;
    remoteListing = nullptr;

    // A 304 means "the copy you have": without one (the request was not
    // conditional) it carries no list at all.
    const bool unchanged = listRequest.statusCode() == 304;
    const QByteArray list = unchanged ? verifiedList : listRequest.response();
    const QByteArray expected = hashRequest.response();
    const QByteArray computed = QCryptographicHash::hash(list, QCryptographicHash::Md5).toHex();
    qCDebug(lcSync).noquote() << "[hash 1]:" << QString::fromLatin1(expected);
    qCDebug(lcSync).noquote() << "[hash 2]:" << QString::fromLatin1(computed);
    // An answer without a list (empty, or text of another kind) is refused
    // like a wrong one even when the hash file matches it: read as a list it
    // would be an empty one, and the pass would delete the whole folder.
    if (computed != expected || !Listing::hasListingHeaders(list)) {
        Platform::systemMessageBox(QStringLiteral("test"), QStringLiteral("fail hash"));
        return false;
    }
    if (!checkListSignature(list, trust, received.value(2), signatureRequest.response()))
        return false;

    listHash = expected;
    if (!unchanged) {
        verifiedList = list;
        verifiedListTag = listRequest.entityTag();
        verifiedListModified = listRequest.lastModifiedText();
    }
    remoteListing = new FileSystem;
    remoteListing->readListing(list, false);
    sanitizeListing(*remoteListing);
    qCDebug(lcSync).noquote() << "[list start]:";
    qCDebug(lcSync).noquote() << "[request]:" << QString::fromUtf8(list);
    if (stopRequested())
        return false;

    const QByteArray cached = readBinaryList(paths.syncState());
    delete cacheListing;
    cacheListing = new FileSystem;
    cacheListing->setRoot(gameDir);
    if (stopRequested())
        return false;
    if (!cached.isEmpty()) {
        cacheListing->readListing(cached, true);
        sanitizeListing(*cacheListing);
    }
    return true;
}

// The signature is asked for every time, also when the list itself is
// unchanged (304): a new signature may carry a later expiry.
bool SyncThread::checkListSignature(const QByteArray &list, ListTrust &trust, bool received,
                                    const QByteArray &signature)
{
    if (!trust.isRequired())
        return true;
    if (stopRequested())
        return false;
    if (!received) {
        Platform::systemMessageBox(QStringLiteral("test"), QStringLiteral("fail 3"));
        listFailureReason = QStringLiteral("подпись списка файлов не получена");
        return false;
    }
    const ListSignature::Verdict verdict = trust.accept(list, signature);
    if (verdict == ListSignature::Verdict::Valid)
        return true;
    qCWarning(lcSync) << "[list refused] signature" << int(verdict);
    Platform::systemMessageBox(QStringLiteral("test"), ListTrust::messageText(verdict));
    listFailureReason = ListTrust::reasonText(verdict);
    return false;
}

SyncThread::Next SyncThread::removeTempFiles()
{
    FolderTidy::removeTempFiles(gameDir);
    // A save of the remembered state cut short between its two steps leaves
    // its temporary copy next to the launcher. Nothing else writes that file
    // while a pass runs, so any such copy is a leftover.
    FolderTidy::removeSaveLeftovers(paths.syncState());
    return Next::Go;
}

SyncThread::Next SyncThread::normalizeNames()
{
    FolderTidy::normalizeFolderNames(gameDir);
    if (stopRequested())
        return Next::EndRun;
    FolderTidy::normalizeFileNames(gameDir);
    return Next::Go;
}

SyncThread::Next SyncThread::convertImgArchives()
{
    const FolderTidy::ArchiveSurvey survey = FolderTidy::surveyArchives(gameDir);
    if (stopRequested())
        return Next::EndRun;
    const QDir base(gameDir);
    // Archives that an earlier pass edited without getting to rebuild them
    // (interrupted, or the rebuild failed) are rebuilt at the end of this
    // one: the set of archives to rebuild lives in memory only.
    for (const QString &path : survey.toCompact)
        rebuilds.insert(base.relativeFilePath(path));
    for (const QString &path : survey.toConvert) {
        // Recorded relative to the game folder, like every other archive to
        // rebuild, so it is rebuilt once at the end of the pass.
        if (ImgArchive::ArchiveEditor::convertToV2StaticHeader(path, this))
            rebuilds.insert(base.relativeFilePath(path));
    }
    return Next::Go;
}

SyncThread::Next SyncThread::scanLocalFiles()
{
    // Without a remembered state the folder is an old copy: every file in
    // it is hashed before it is compared.
    oldCopy = cacheListing->directories.isEmpty() || cacheListing->entries.isEmpty();
    delete localListing;
    localListing = new FileSystem;
    localListing->setRoot(gameDir);
    localListing->scanDirectories();
    localListing->scanFiles();
    localListing->readImgDirectories();
    localListing->readModificationTimes();
    connect(localListing, &FileSystem::updateCurrentFile, this,
            [this](const QString &file) { updateCurrentFile(file, QString()); });
    connect(localListing, &FileSystem::updateProgressBar, this, &SyncThread::updateProgressBar);
    return Next::Go;
}

SyncThread::Next SyncThread::checkOldCopy()
{
    localListing->hashFiles();
    if (stopRequested())
        return Next::EndRun;
    localListing->hashImgItems();
    if (stopRequested())
        return Next::EndRun;

    QByteArray bytes;
    localListing->writeListing(bytes, true);
    delete cacheListing;
    cacheListing = new FileSystem;
    cacheListing->setRoot(gameDir);
    cacheListing->readListing(bytes, true);
    cacheListing->normalize();
    return Next::Go;
}

SyncThread::Next SyncThread::checkIntegrity()
{
    delete diff;
    diff = new SyncDiffHandler(gameDir, this);
    diff->setListings(localListing, cacheListing, remoteListing);
    if (UserIni(paths.userIni()).noSync() == 0)
        diff->compare(oldCopy);
    if (ProcessState::isExitRequested())
        return Next::Go;
    return diff->hasWork() ? Next::Go : Next::Ready;
}

SyncThread::Next SyncThread::removeExtraFiles()
{
    diff->removeExtras();
    return Next::Go;
}

SyncThread::Next SyncThread::prepareUpdate()
{
    auto *downloader = new FileDownloader(gameDir, mirrorBase, this, diff->downloadLedger());
    downloader->watchList(QUrl(apiBase + QStringLiteral("/sync.lst.hash")), listHash);
    diff->setDownloader(downloader);
    diff->queueDownloads();
    return Next::Go;
}

SyncThread::Next SyncThread::reserveDirectories()
{
    stateSaver.beginBatch();
    for (const QString &directory : diff->downloader()->directories()) {
        if (ProcessState::isExitRequested())
            break;
        const QString path = SafePath::inside(gameDir, directory);
        if (path.isEmpty())
            continue;
        const QFileInfo info(path);
        if (info.isSymLink()) {
            // The scan never enters a linked folder, so the folder would be
            // missing again at every pass.
            WorkFailure failure;
            failure.path = directory;
            failure.step = WorkFailure::Step::LeadsOutside;
            workFailed(failure);
        } else if (!info.exists()) {
            if (QDir().mkpath(path)) {
                workDone();
            } else {
                WorkFailure failure;
                failure.path = directory;
                failure.step = WorkFailure::Step::CreateFolder;
                failure.fault = Platform::lastFileFault();
                workFailed(failure);
            }
        }
        diff->addCachedDirectory(directory);
    }
    stateSaver.endBatch(cacheListing);
    return Next::Go;
}

SyncThread::Next SyncThread::checkSpace()
{
    FileDownloader *downloader = diff->downloader();
    downloader->computeTotal();
    const qint32 shortfall = downloader->spaceShortfall();
    if (shortfall > 0) {
        emit setProgressText(QStringLiteral("Недостаточно места на диске! Нужно ещё ") + QString::number(shortfall)
                                 + QStringLiteral("Mb"),
                             QString());
        emit setProgressState(1, 0);
        endRun(Outcome::SpaceFailure);
        return Next::EndRun;
    }
    return Next::Go;
}

SyncThread::Next SyncThread::download()
{
    stateSaver.beginBatch();
    diff->downloader()->start();
    stateSaver.endBatch(cacheListing);
    // Ended early for a new list: what was stored stays, the rest is planned
    // again by the next pass, against the new list.
    if (diff->downloader()->listChanged())
        qCInfo(lcSync) << "[sync list replaced during the download]";
    return Next::Go;
}

SyncThread::Next SyncThread::rebuildUpdatedArchives()
{
    diff->rebuildArchives();
    return Next::Go;
}
