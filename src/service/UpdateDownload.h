#pragma once

#include "service/Transfer.h"
#include "signing/SigningKey.h"

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QtGlobal>

class QNetworkAccessManager;

// The download of the launcher's update installer to its place next to the
// launcher ("update_installer.exe"), with the progress shown in the main
// window's status texts and bar.
//
// Every attempt starts from byte zero into a fresh file. A network error, an
// HTTP error status, a redirect to anything but an http(s) address, an answer
// larger than maxInstallerSize(), one cut short, ten seconds without data or
// an installer file that cannot be created or written fail the attempt: the
// error text stays for three seconds, then the next attempt begins. Attempts
// are unlimited; only an exit request ends the download without success.
//
// When the project signs its installers (requireSignature), a downloaded
// installer is kept only when its signature, "<address>.sig" fetched by the
// same rules, is the project's for exactly these bytes and the announced
// version, and that version is newer than the running launcher's. A missing
// or wrong signature counts as a failed attempt: the installer is deleted,
// the status says why, and after three seconds the download begins anew
// (a mirror caught halfway through a release has both files a moment later).
//
// Runs on the load worker's thread, blocking in its own event loop; the
// object must be created on that thread.
class UpdateDownload final : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 DefaultMaxInstallerSize = qint64(512) * 1024 * 1024;
    static constexpr int MaxRedirects = 10;
    static constexpr int ErrorDisplaySeconds = 3;
    static constexpr int StallLimitSeconds = 10;

    // url must be an http(s) address; version is the offered launcher
    // version shown in the status texts; installerPath is the file written.
    UpdateDownload(const QString &url, const QString &version, const QString &installerPath, QObject *parent = nullptr);
    ~UpdateDownload() override;

    // Path of the installer file.
    QString installerPath() const { return installerFile; }

    // Downloads until an attempt succeeds. True when the complete installer
    // has been written; false on an exit request.
    bool run();

    // Shows text as the status (the bar empty) for the three seconds of a
    // failed attempt, the way run() does between its own attempts. False
    // when the launcher is closing: the wait then ends at once.
    bool pauseBeforeRetry(const QString &text);

    // Installers are trusted only with the signature of key for a version
    // newer than runningVersion.
    void requireSignature(const SigningKey &key, const QString &runningVersion);

    qint64 maxInstallerSize() const;
    void setMaxInstallerSize(qint64 bytes);

signals:
    void setState(const QString &left, const QString &right);
    void setProgress(quint64 currentValue, quint64 maxValue);

public slots:
    // The status texts and the bar for the bytes received so far.
    void networkProgress(qint64 bytesRead, qint64 totalBytes);
    // Once a second: the error countdown.
    void networkUpdate();
    // Several times a second: ends the attempt, or the wait before the next
    // one, as soon as the launcher is closing.
    void checkExit();

private:
    // One transfer to its end (or to an exit request); its result.
    Transfer::Result fetch(const QUrl &url, TransferSink *sink, const Transfer::Limits &limits);
    // Why the downloaded installer must not run; empty when it may.
    QString signatureRefusal();

    QUrl downloadUrl;
    QString installerFile;
    QString latestVersion;
    qint64 maxSize = DefaultMaxInstallerSize;

    QNetworkAccessManager *manager;
    Transfer *transfer;
    QEventLoop eventLoop;
    QTimer timer;
    QTimer exitTimer;
    int errorCountdown = 0;
    bool signatureRequired = false;
    SigningKey signingKey;
    QString runningVersion;
    bool fetchingSignature = false;
};
