#include "service/LoadThread.h"

#include "platform/Platform.h"
#include "service/ApiAnswers.h"
#include "service/ApiEnvelope.h"
#include "service/BinaryListFile.h"
#include "service/Endpoints.h"
#include "service/HttpRequest.h"
#include "service/MirrorChoice.h"
#include "service/NewsSink.h"
#include "service/PayloadCipher.h"
#include "service/ProcessState.h"
#include "service/UpdateDownload.h"
#include "service/WebAddress.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QLoggingCategory>
#include <QMetaType>
#include <QNetworkAccessManager>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSet>
#include <QThread>

namespace {

Q_LOGGING_CATEGORY(lcLoad, "varo.service", QtInfoMsg)

constexpr quint16 DefaultServerPort = 7771;

// Pictures are small; these bounds only keep a hostile server from making
// the launcher exhaust its memory.
constexpr qint64 MaxPictureBytes = qint64(16) * 1024 * 1024;
constexpr qint64 MaxCachedPictureBytes = MaxPictureBytes + 64 * 1024;
constexpr int MaxPictureSide = 8192;

// Decodes a picture, the format told by its content. Null for anything that
// is not a picture or whose announced size is implausibly large.
QImage decodePicture(const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly))
        return QImage();
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > MaxPictureSide || size.height() > MaxPictureSide))
        return QImage();
    return reader.read();
}

void registerMetaTypes()
{
    // Queued connections carry these across threads by name.
    qRegisterMetaType<quint16>("quint16");
    qRegisterMetaType<quint64>("quint64");
    qRegisterMetaType<QImage>("QImage");
}

} // namespace

LoadThread::LoadThread(const AppPaths &appPaths, const QString &api, NewsSink *sink, QObject *parent)
    : QObject(parent)
    , paths(appPaths)
    , newsSink(sink)
    , apiBase(api)
    , mirror(Endpoints::primaryMirrorBase())
{
    registerMetaTypes();
}

LoadThread::~LoadThread() = default;

bool LoadThread::isUpdateAvailable() const
{
    return updateAvailable;
}

QString LoadThread::offeredVersion() const
{
    return latestVersion;
}

QString LoadThread::installerUrl() const
{
    return downloadUrl;
}

bool LoadThread::quitIfExiting()
{
    if (!ProcessState::isExitRequested())
        return false;
    if (QThread *thread = QThread::currentThread())
        thread->quit();
    return true;
}

void LoadThread::start()
{
    qCDebug(lcLoad) << "[checked file]";
    if (quitIfExiting())
        return;
    network.reset(new QNetworkAccessManager);
    const auto forgetNetwork = qScopeGuard([this] { network.reset(); });

    emit setState(QStringLiteral("Проверка доступности серверов..."), QString());
    checkMirrors();
    emit setState(QStringLiteral("Проверка обновлений..."), QString());
    checkUpdate();
    emit setState(QStringLiteral("Загрузка списка серверов..."), QString());
    loadServers();
    emit setState(QStringLiteral("Загрузка новостей..."), QString());
    loadNews();
    emit setState(QStringLiteral("Загрузка изображений..."), QString());
    loadImages();

    if (updateAvailable) {
        emit setState(QStringLiteral("Загрузка обновления..."), QString());
        downloadUpdate();
        return;
    }
    if (quitIfExiting())
        return;
    emit loadFinish();
}

void LoadThread::checkMirrors()
{
    mirror = MirrorChoice::choose(apiBase, Endpoints::primaryMirrorBase(), network.get());
    qCInfo(lcLoad).noquote() << "[mirror]" << mirror;
    emit mirrorChosen(mirror);
    quitIfExiting();
}

void LoadThread::checkUpdate()
{
    HttpRequest request = ApiEnvelope::makeRequest(apiBase, QStringLiteral("updates"),
                                                   QString::fromLatin1(ApiEnvelope::LauncherVersion));
    request.setNetwork(network.get());
    if (!request.get(3, 3000))
        return;
    if (quitIfExiting())
        return;

    const ApiAnswers::UpdateOffer offer = ApiAnswers::parseUpdate(request.response());
    if (!offer.update)
        return;
    // An installer is only ever fetched from a web address.
    if (!WebAddress::isFetchable(offer.downloadUrl)) {
        qWarning() << "[update refused]" << offer.downloadUrl;
        return;
    }
    updateAvailable = true;
    latestVersion = offer.latestVersion;
    downloadUrl = offer.downloadUrl;
}

// Servers come from the API, else from the last good answer in the cache,
// else the one built-in server. Only an answer that is a JSON array replaces
// the cache, so a broken answer cannot destroy a good list.
void LoadThread::loadServers()
{
    HttpRequest request = ApiEnvelope::makeRequest(apiBase, QStringLiteral("servers"));
    request.setNetwork(network.get());
    QVector<ApiAnswers::ServerEntry> servers;
    bool fresh = false;
    if (request.get(3, 3000)) {
        fresh = ApiAnswers::parseServers(request.response(), &servers);
        if (fresh)
            writeBinaryList(paths.serversCache(), request.response());
        else
            qWarning() << "[servers] answer is not a list";
        if (quitIfExiting())
            return;
    }
    if (!fresh) {
        if (!ApiAnswers::parseServers(readBinaryList(paths.serversCache()), &servers)) {
            emit serverListAdd(QStringLiteral("01"), Endpoints::defaultServerAddress(), DefaultServerPort);
            emit serverListLoaded();
            return;
        }
        if (quitIfExiting())
            return;
    }

    for (const ApiAnswers::ServerEntry &server : qAsConst(servers))
        emit serverListAdd(server.name, server.addr, server.port);
    emit serverListLoaded();
}

void LoadThread::loadNews()
{
    HttpRequest request = ApiEnvelope::makeRequest(apiBase, QStringLiteral("news"));
    request.setNetwork(network.get());
    if (!request.get(3, 1000))
        return;
    if (quitIfExiting())
        return;

    const QVector<ApiAnswers::NewsItem> items = ApiAnswers::parseNews(request.response());
    for (const ApiAnswers::NewsItem &item : items) {
        if (!newsSink)
            break;
        const uint idx = newsSink->addNews(item.caption, item.text, item.date, item.link);
        // A later item with the same index replaces the earlier address.
        imageUrls.insert(idx, item.image);
    }
    emit newsListLoaded();
}

void LoadThread::loadImages()
{
    QThread::msleep(250);
    // Each address goes to the network at most once per run, also when its
    // answer was no picture and so never reached the cache.
    QSet<QString> fetched;
    for (auto it = imageUrls.cbegin(); it != imageUrls.cend(); ++it) {
        if (quitIfExiting())
            return;
        const QString &address = it.value();

        QByteArray data;
        QImage picture;
        if (readCachedImage(address, data))
            picture = decodePicture(data);
        if (picture.isNull() && WebAddress::isFetchable(address) && !fetched.contains(address)) {
            fetched.insert(address);
            HttpRequest request(address, MaxPictureBytes);
            request.setNetwork(network.get());
            if (request.get(1, 3000) && !request.response().isEmpty()) {
                picture = decodePicture(request.response());
                // Only pictures are cached: an error page must not stand in
                // for the picture for ever.
                if (!picture.isNull())
                    writeCachedImage(address, request.response());
            }
        }
        if (picture.width() > 0)
            emit newsImageLoaded(it.key(), picture);
    }
}

QString LoadThread::cacheFilePath(const AppPaths &paths, const QString &address)
{
    const QByteArray digest = QCryptographicHash::hash(address.toUtf8(), QCryptographicHash::Md5).toHex();
    return paths.pictureCache() + QLatin1Char('/') + QString::fromLatin1(digest);
}

bool LoadThread::readCachedImage(const QString &address, QByteArray &out) const
{
    if (!QDir().mkpath(paths.pictureCache()))
        return false;
    QFile file(cacheFilePath(paths, address));
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxCachedPictureBytes)
        return false;
    const QByteArray plain = PayloadCipher::forCache().decrypt(file.read(MaxCachedPictureBytes));
    if (plain.isEmpty())
        return false;
    out = plain;
    return true;
}

void LoadThread::writeCachedImage(const QString &address, const QByteArray &data) const
{
    if (!QDir().mkpath(paths.pictureCache()))
        return;
    const QByteArray cipherText = PayloadCipher::forCache().encrypt(data);
    if (cipherText.isEmpty())
        return;
    QSaveFile file(cacheFilePath(paths, address));
    if (!file.open(QIODevice::WriteOnly) || file.write(cipherText) != cipherText.size() || !file.commit())
        qWarning() << "[image cache] cannot write" << file.fileName();
}

void LoadThread::downloadUpdate()
{
    UpdateDownload download(downloadUrl, latestVersion, paths.updateInstaller());
    // A project that signs its releases: only its installers, for a newer
    // version than this launcher's, are ever started.
    const QString key = Endpoints::signingPublicKey();
    if (!key.isEmpty())
        download.requireSignature(SigningKey::fromText(key), QString::fromLatin1(ApiEnvelope::LauncherVersion));
    connect(&download, &UpdateDownload::setState, this, &LoadThread::setState);
    connect(&download, &UpdateDownload::setProgress, this, &LoadThread::setProgress);
    // An installer that does not start is fetched and started again after
    // the pause of a failed download, for as long as it takes: the file may
    // have been damaged or taken away (a virus scanner) in the meantime, and
    // the window must not wait for ever on a text that nothing changes.
    while (download.run()) {
        if (installUpdate())
            return;
        if (!download.pauseBeforeRetry(QStringLiteral("Установка обновления: не удалось запустить установщик...")))
            break;
    }
    quitIfExiting();
}

bool LoadThread::installUpdate()
{
    emit setState(QStringLiteral("Установка обновления..."), QString());
    emit setProgress(100, 100);
    QThread::sleep(1);

    const QString installer = paths.updateInstaller();
#ifndef Q_OS_WIN
    QFile::setPermissions(installer, QFile::permissions(installer) | QFileDevice::ExeOwner | QFileDevice::ExeUser);
#endif
    // Whether the installer started is all that is known: what it does
    // afterwards is its own business (it replaces the launcher).
    const bool started = Platform::startDetached(QDir::toNativeSeparators(installer), QStringList(), paths.appDir());
    qCDebug(lcLoad) << "[update installer]" << installer << started;
    return started;
}
