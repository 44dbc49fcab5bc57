#pragma once

#include <QByteArray>
#include <QImage>
#include <QMap>
#include <QObject>
#include <QString>
#include <QtGlobal>

#include "platform/AppPaths.h"

#include <memory>

class QNetworkAccessManager;

class NewsSink;

// The loading worker: brings the launcher from start-up to the point where
// synchronisation can begin. It checks which file mirror answers, asks the
// launcher API for an update, the server list and the news, fetches the news
// pictures (through an encrypted cache) and then either downloads and starts
// the update installer or reports loadFinish.
//
// A plain object moved to a thread of its own; the thread's started signal
// runs start(). Results leave only through signals (queued to the GUI
// thread), except the news items, which go straight into the NewsSink before
// newsListLoaded is emitted. Every stage polls the exit request after its
// network work and then quits the thread's event loop itself.
class LoadThread final : public QObject
{
    Q_OBJECT

public:
    // paths names the caches and the installer next to the launcher; apiBase
    // is the launcher API base. newsSink receives the news items and is not
    // owned; without one the news are read but kept nowhere (and no
    // pictures are fetched).
    LoadThread(const AppPaths &paths, const QString &apiBase, NewsSink *newsSink = nullptr, QObject *parent = nullptr);
    ~LoadThread() override;

    // The stages of start(), in run order. Each ends normally when the
    // network fails.
    void checkMirrors();
    void checkUpdate();
    void loadServers();
    void loadNews();
    void loadImages();
    // Downloads and starts the installer offered by checkUpdate, again and
    // again until it starts or the launcher closes.
    void downloadUpdate();

    // What checkUpdate found.
    bool isUpdateAvailable() const;
    QString offeredVersion() const;
    QString installerUrl() const;

    // The mirror that checkMirrors chose (the built-in primary mirror until
    // it has run).
    QString mirrorBase() const { return mirror; }

    // The picture cache: the folder "cache" next to the launcher + "/" + MD5
    // of the address (hex), one cipher text per picture address.
    static QString cacheFilePath(const AppPaths &paths, const QString &address);

signals:
    void serverListAdd(const QString &name, const QString &addr, quint16 port);
    void serverListLoaded();
    void newsListLoaded();
    void newsImageLoaded(uint idx, const QImage &image);
    // The mirror chosen by checkMirrors, sent before loadFinish.
    void mirrorChosen(const QString &mirror);
    void loadFinish();
    void setState(const QString &left, const QString &right);
    void setProgress(quint64 currentValue, quint64 maxValue);
    // Part of the window's interface; no stage sends it.
    void updateIPv4(uint addr);

public slots:
    void start();

private:
    // If the launcher is closing: asks the current thread's event loop to
    // quit and returns true.
    bool quitIfExiting();

    void emitServers(const QByteArray &answer);
    // Starts the downloaded installer; false when it could not be started.
    bool installUpdate();

    bool readCachedImage(const QString &address, QByteArray &out) const;
    void writeCachedImage(const QString &address, const QByteArray &data) const;

    AppPaths paths;
    NewsSink *newsSink;
    bool updateAvailable = false;
    QString latestVersion;
    QString downloadUrl;
    QString apiBase;
    QString mirror;
    QMap<uint, QString> imageUrls;
    // While start() runs: the manager its requests share, so that each one
    // finds a connection open (no new handshake per request).
    std::unique_ptr<QNetworkAccessManager> network;
};
