#include "service/UpdateDownload.h"

#include "service/ProcessState.h"
#include "service/WebAddress.h"
#include "signing/InstallerSignature.h"
#include "signing/SignedText.h"

#include <QCryptographicHash>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>

namespace {

Q_LOGGING_CATEGORY(lcUpdate, "varo.service", QtInfoMsg)

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

QString signatureText(const QString &version, InstallerSignature::Verdict verdict)
{
    switch (verdict) {
    case InstallerSignature::Verdict::Valid:
        return QString();
    case InstallerSignature::Verdict::OtherVersion:
    case InstallerSignature::Verdict::NotNewer:
        return QStringLiteral("Загрузка обновления (v%1): подпись не подтверждает эту версию...").arg(version);
    case InstallerSignature::Verdict::Unreadable:
    case InstallerSignature::Verdict::OtherFile:
        break;
    }
    return QStringLiteral("Загрузка обновления (v%1): подпись установщика неверна...").arg(version);
}

} // namespace

UpdateDownload::UpdateDownload(const QString &url, const QString &version, const QString &installerPath,
                               QObject *parent)
    : QObject(parent)
    , downloadUrl(url)
    , installerFile(installerPath)
    , latestVersion(version)
    , manager(new QNetworkAccessManager(this))
    , transfer(new Transfer(manager, this))
{
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &UpdateDownload::networkUpdate);
    exitTimer.setInterval(ExitCheckMs);
    connect(&exitTimer, &QTimer::timeout, this, &UpdateDownload::checkExit);
    connect(transfer, &Transfer::progress, this, &UpdateDownload::networkProgress);
    connect(transfer, &Transfer::finished, &eventLoop, &QEventLoop::quit);
}

UpdateDownload::~UpdateDownload()
{
    // The transfer (and its reply) before the manager that made it.
    delete transfer;
}

qint64 UpdateDownload::maxInstallerSize() const
{
    return maxSize;
}

void UpdateDownload::setMaxInstallerSize(qint64 bytes)
{
    maxSize = qMax<qint64>(0, bytes);
}

void UpdateDownload::requireSignature(const SigningKey &key, const QString &version)
{
    signatureRequired = true;
    signingKey = key;
    runningVersion = version;
}

Transfer::Result UpdateDownload::fetch(const QUrl &url, TransferSink *sink, const Transfer::Limits &limits)
{
    transfer->get(url, sink, limits);
    exitTimer.start();
    if (transfer->isRunning())
        eventLoop.exec();
    exitTimer.stop();
    // The loop also returns at once when the thread has been asked to
    // quit: the attempt then never ended.
    if (transfer->isRunning())
        transfer->abort();
    return transfer->result();
}

QString UpdateDownload::signatureRefusal()
{
    if (!signatureRequired)
        return QString();
    QUrl address = downloadUrl;
    address.setPath(address.path() + QStringLiteral(".sig"));
    Transfer::Limits limits;
    limits.maxRedirects = MaxRedirects;
    limits.maxBodySize = SignedText::MaxSize;
    limits.stallMs = StallLimitSeconds * 1000;
    MemorySink signature;
    fetchingSignature = true;
    const Transfer::Result result = fetch(address, &signature, limits);
    fetchingSignature = false;
    if (result != Transfer::Result::Ok) {
        qCWarning(lcUpdate) << "[update signature missing]" << address << int(result) << transfer->networkError();
        return QStringLiteral("Загрузка обновления (v%1): нет подписи установщика...").arg(latestVersion);
    }
    QFile installer(installerPath());
    if (!installer.open(QIODevice::ReadOnly))
        return fileErrorText(latestVersion);
    QCryptographicHash digest(QCryptographicHash::Sha256);
    if (!digest.addData(&installer))
        return fileErrorText(latestVersion);
    const InstallerSignature::Verdict verdict = InstallerSignature::check(signature.data, signingKey, digest.result(),
                                                                          latestVersion, runningVersion);
    if (verdict != InstallerSignature::Verdict::Valid)
        qCWarning(lcUpdate) << "[update signature refused]" << address << int(verdict);
    return signatureText(latestVersion, verdict);
}

bool UpdateDownload::run()
{
    if (!WebAddress::isFetchable(downloadUrl)) {
        qCDebug(lcUpdate) << "[update refused]" << downloadUrl;
        return false;
    }
    Transfer::Limits limits;
    limits.maxRedirects = MaxRedirects;
    limits.maxBodySize = maxSize;
    limits.stallMs = StallLimitSeconds * 1000;
    for (;;) {
        if (ProcessState::isExitRequested())
            return false;
        FileSink file(installerPath());
        const Transfer::Result result = fetch(downloadUrl, &file, limits);
        if (ProcessState::isExitRequested())
            return false;
        switch (result) {
        case Transfer::Result::Ok: {
            const QString refusal = signatureRefusal();
            if (refusal.isEmpty())
                return true;
            // Nothing that the project did not sign stays to be started.
            QFile::remove(installerPath());
            if (!pauseBeforeRetry(refusal))
                return false;
            continue;
        }
        case Transfer::Result::SinkFailed:
            // A file that cannot be created or written (a folder or a locked
            // file in its place, a read-only folder, a full disk) may be
            // fine again in a moment: tried again like a failed download.
            QFile::remove(installerPath());
            if (!pauseBeforeRetry(fileErrorText(latestVersion)))
                return false;
            continue;
        default:
            break;
        }
        // A cut-off installer is never left to be started.
        QFile::remove(installerPath());
        qCDebug(lcUpdate) << "[update retry]" << int(transfer->result()) << transfer->networkError();
        const QString text = QStringLiteral("Загрузка обновления (v%1): произошла ошибка (%2)...")
                                 .arg(latestVersion)
                                 .arg(transfer->networkError());
        if (!pauseBeforeRetry(text))
            return false;
    }
}

bool UpdateDownload::pauseBeforeRetry(const QString &text)
{
    if (ProcessState::isExitRequested())
        return false;
    errorCountdown = ErrorDisplaySeconds;
    emit setState(text, QString());
    emit setProgress(0, 100);
    timer.start();
    exitTimer.start();
    eventLoop.exec();
    timer.stop();
    exitTimer.stop();
    // The loop also returns early when the thread has been asked to quit.
    return errorCountdown == 0 && !ProcessState::isExitRequested();
}

void UpdateDownload::networkProgress(qint64 bytesRead, qint64 totalBytes)
{
    if (fetchingSignature)
        return; // the bar stays with the installer's bytes
    const QString sizeText = QStringLiteral("%1/%2 МБ").arg(megabytes(bytesRead), megabytes(totalBytes));
    emit setState(QStringLiteral("Загрузка обновления (v%1)...").arg(latestVersion), sizeText);
    emit setProgress(quint64(qMax<qint64>(0, bytesRead)), quint64(qMax<qint64>(0, totalBytes)));
}

void UpdateDownload::networkUpdate()
{
    if (errorCountdown > 0 && --errorCountdown == 0)
        eventLoop.quit();
}

void UpdateDownload::checkExit()
{
    if (!ProcessState::isExitRequested())
        return;
    // Do not wait for the next data, the stall limit or the countdown.
    if (transfer->isRunning())
        transfer->abort();
    else
        eventLoop.quit();
}
