#include "service/UpdateDownload.h"

#include "platform/AppDirectory.h"
#include "service/ProcessState.h"
#include "service/WebAddress.h"

#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVariant>

#ifndef QT_NO_SSL
#include <QSslConfiguration>
#include <QSslSocket>
#endif

namespace {

Q_LOGGING_CATEGORY(lcUpdate, "varo.service", QtInfoMsg)

constexpr qint64 ReadBufferSize = qint64(5) * 1024 * 1024;

// How often an exit request is looked for while the download waits.
constexpr int ExitCheckMs = 100;

QString megabytes(qint64 bytes)
{
    return QString::number(double(qMax<qint64>(0, bytes)) / 1024.0 / 1024.0, 'f', 2);
}

QString fileErrorText(const QString &version)
{
    return QStringLiteral("Загрузка обновления (v%1): не удалось создать файл...").arg(version);
}

} // namespace

UpdateDownload::UpdateDownload(const QString &url, const QString &version, QObject *parent)
    : QObject(parent)
    , downloadUrl(url)
    , latestVersion(version)
{
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &UpdateDownload::networkUpdate);
    exitTimer.setInterval(ExitCheckMs);
    connect(&exitTimer, &QTimer::timeout, this, &UpdateDownload::checkExit);
}

UpdateDownload::~UpdateDownload()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        delete reply.data();
    }
    manager.reset();
    if (eventLoop.isRunning())
        eventLoop.quit();
}

QString UpdateDownload::installerPath()
{
    return AppDirectory::filePath(QStringLiteral("/update_installer.exe"));
}

qint64 UpdateDownload::maxInstallerSize() const
{
    return maxSize;
}

void UpdateDownload::setMaxInstallerSize(qint64 bytes)
{
    maxSize = qMax<qint64>(0, bytes);
}

bool UpdateDownload::run()
{
    if (!WebAddress::isFetchable(downloadUrl)) {
        qCDebug(lcUpdate) << "[update refused]" << downloadUrl;
        return false;
    }
    for (;;) {
        if (ProcessState::isExitRequested())
            return false;
        // A file that cannot be created (a folder or a locked file in its
        // place, a read-only folder) may be free again in a moment: it is
        // retried like a failed download instead of ending the run unseen.
        if (!openFile()) {
            if (!pauseBeforeRetry(fileErrorText(latestVersion)))
                return false;
            continue;
        }
        downloadFailed = false;
        fileFailed = false;
        stallSeconds = 0;
        redirects = 0;
        startTimers();
        send(downloadUrl);
        eventLoop.exec();
        stopTimers();

        // The loop also returns at once when the thread has been asked to
        // quit; a reply still in flight then means the attempt never ended.
        const bool ended = !reply;
        disposeReply();
        file.reset();
        if (ProcessState::isExitRequested() || !ended)
            return false;
        if (fileFailed) {
            if (!pauseBeforeRetry(fileErrorText(latestVersion)))
                return false;
            continue;
        }
        if (!downloadFailed)
            return true;
        qCDebug(lcUpdate) << "[update retry]" << lastNetworkError;
    }
}

bool UpdateDownload::pauseBeforeRetry(const QString &text)
{
    if (ProcessState::isExitRequested())
        return false;
    downloadFailed = true;
    errorCountdown = ErrorDisplaySeconds;
    emit setState(text, QString());
    emit setProgress(0, 100);
    startTimers();
    eventLoop.exec();
    stopTimers();
    // The loop also returns early when the thread has been asked to quit.
    return errorCountdown == 0 && !ProcessState::isExitRequested();
}

void UpdateDownload::startTimers()
{
    timer.start();
    exitTimer.start();
}

void UpdateDownload::stopTimers()
{
    timer.stop();
    exitTimer.stop();
}

bool UpdateDownload::openFile()
{
    file.reset(new QFile(installerPath()));
    written = 0;
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "[update file]" << file->fileName() << file->errorString();
        file.reset();
        return false;
    }
    return true;
}

void UpdateDownload::send(const QUrl &url)
{
    QNetworkRequest request(url);
    // Redirects come back as answers so that each target can be checked.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
#if defined(VARO_INSECURE_TLS) && !defined(QT_NO_SSL)
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    request.setSslConfiguration(ssl);
#endif
    if (!manager)
        manager.reset(new QNetworkAccessManager);
    reply = manager->get(request);
    reply->setReadBufferSize(ReadBufferSize);
    // Refuse an announced length over the bound before any of it arrives.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = reply ? reply->header(QNetworkRequest::ContentLengthHeader) : QVariant();
        if (length.isValid() && length.toLongLong() > maxSize) {
            qWarning() << "[update too large]" << length.toLongLong() << maxSize;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, &UpdateDownload::networkFinished);
    connect(reply, &QNetworkReply::readyRead, this, &UpdateDownload::networkReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdateDownload::networkProgress);
}

void UpdateDownload::disposeReply()
{
    if (!reply)
        return;
    reply->disconnect(this);
    // Deferred: this may run inside one of the reply's own signals.
    reply->deleteLater();
    reply = nullptr;
}

void UpdateDownload::failAttempt(int errorCode)
{
    lastNetworkError = errorCode;
    file.reset();
    QFile::remove(installerPath());
    downloadFailed = true;
    errorCountdown = ErrorDisplaySeconds;
    emit setState(QStringLiteral("Загрузка обновления (v%1): произошла ошибка (%2)...")
                      .arg(latestVersion)
                      .arg(errorCode),
                  QString());
    emit setProgress(0, 100);
}

void UpdateDownload::networkFinished()
{
    if (file) {
        file->flush();
        file->close();
    }
    if (ProcessState::isExitRequested()) {
        eventLoop.quit();
        return;
    }
    if (!reply)
        return;

    int error = reply->error();
    QUrl target;
    if (error == QNetworkReply::NoError) {
        const QUrl redirect = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (!redirect.isEmpty()) {
            target = reply->url().resolved(redirect);
            if (!WebAddress::isFetchable(target))
                error = QNetworkReply::ProtocolUnknownError;
            else if (redirects >= MaxRedirects)
                error = QNetworkReply::TooManyRedirectsError;
        } else {
            // Qt may end an answer that the server cut short without an
            // error; a cut-off installer must not be started.
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
            if (length.isValid() && (encoding.isEmpty() || encoding == "identity") && length.toLongLong() != written) {
                qCDebug(lcUpdate) << "[update short]" << written << "of" << length.toLongLong();
                error = QNetworkReply::RemoteHostClosedError;
            }
        }
    }
    lastNetworkError = error;

    if (error != QNetworkReply::NoError) {
        qCDebug(lcUpdate) << "[update error]" << reply->url() << error << target;
        failAttempt(error);
    } else if (!target.isEmpty()) {
        qCDebug(lcUpdate) << "[update redirect]" << target;
        ++redirects;
        disposeReply();
        if (!openFile()) {
            // run() shows the error and tries again after the pause.
            fileFailed = true;
            eventLoop.quit();
            return;
        }
        send(target);
        return;
    }

    disposeReply();
    file.reset();
    if (downloadFailed)
        return; // the countdown in networkUpdate ends the attempt
    errorCountdown = 0;
    lastNetworkError = 0;
    eventLoop.quit();
}

void UpdateDownload::networkReadyRead()
{
    if (!reply)
        return;
    const QByteArray chunk = reply->readAll();
    stallSeconds = 0;
    if (ProcessState::isExitRequested()) {
        reply->abort();
        return;
    }
    // Too large, or the disk refuses it: the attempt fails like a network
    // error rather than leaving a cut-off installer to be started.
    if (written + chunk.size() > maxSize) {
        qWarning() << "[update too large]" << written + chunk.size() << maxSize;
        reply->abort();
        return;
    }
    if (!file || file->write(chunk) != chunk.size()) {
        qWarning() << "[update write failed]" << (file ? file->errorString() : QString());
        reply->abort();
        return;
    }
    written += chunk.size();
}

void UpdateDownload::networkProgress(qint64 bytesRead, qint64 totalBytes)
{
    if (reply && ProcessState::isExitRequested()) {
        reply->abort();
        return;
    }
    const QString sizeText = QStringLiteral("%1/%2 МБ").arg(megabytes(bytesRead), megabytes(totalBytes));
    emit setState(QStringLiteral("Загрузка обновления (v%1)...").arg(latestVersion), sizeText);
    emit setProgress(quint64(qMax<qint64>(0, bytesRead)), quint64(qMax<qint64>(0, totalBytes)));
}

void UpdateDownload::networkUpdate()
{
    if (downloadFailed && errorCountdown > 0) {
        if (--errorCountdown == 0)
            eventLoop.quit();
    }
    if (reply && ++stallSeconds == StallLimitSeconds) {
        qCDebug(lcUpdate) << "[update stalled]";
        reply->abort();
    }
}

void UpdateDownload::checkExit()
{
    if (!ProcessState::isExitRequested())
        return;
    // Do not wait for the next data, the stall limit or the countdown.
    if (reply)
        reply->abort();
    else
        eventLoop.quit();
}
