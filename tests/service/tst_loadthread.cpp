#include "platform/AppPaths.h"
#include "service/Endpoints.h"
#include "service/BinaryListFile.h"
#include "service/Endpoints.h"
#include "service/LoadThread.h"
#include "service/NewsSink.h"
#include "service/PayloadCipher.h"
#include "service/ProcessState.h"
#include "service/UpdateDownload.h"
#include "support/TestHttpServer.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <memory>

using Reply = TestHttpServer::Reply;

Q_DECLARE_METATYPE(TestHttpServer::Reply)

namespace {

const QString ApiScript = QStringLiteral("/api/api_v2.php");
const QByteArray InstallerScript = "#!/bin/sh\ntouch update_ran\n";
const QString InstallText = QStringLiteral("Установка обновления...");
const QString FileErrorText = QStringLiteral("Загрузка обновления (v2.0): не удалось создать файл...");

const QStringList RunStates = {
    QStringLiteral("Проверка доступности серверов..."), QStringLiteral("Проверка обновлений..."),
    QStringLiteral("Загрузка списка серверов..."),      QStringLiteral("Загрузка новостей..."),
    QStringLiteral("Загрузка изображений..."),
};

QString api(const QString &action)
{
    return ApiScript + QStringLiteral("?data=") + action;
}

QByteArray picture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}

class FakeNews final : public NewsSink
{
public:
    unsigned int addNews(const QString &caption, const QString &text, const QString &date, const QString &link) override
    {
        items.append(QStringList{caption, text, date, link}.join(QLatin1Char('|')));
        return unsigned(items.size() - 1);
    }

    QStringList items;
};

QStringList serverArgs(const QSignalSpy &spy)
{
    QStringList servers;
    for (const QList<QVariant> &args : spy)
        servers.append(QStringLiteral("%1|%2|%3").arg(args[0].toString(), args[1].toString()).arg(args[2].toUInt()));
    return servers;
}

QStringList leftTexts(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &args : spy)
        texts.append(args[0].toString());
    return texts;
}

} // namespace

class TestLoadThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void mirrorChoice_data();
    void mirrorChoice();
    void fullRun_data();
    void fullRun();

    void servers_data();
    void servers();

    void checkUpdate_data();
    void checkUpdate();
    void failedAttemptStartsAgain_data();
    void failedAttemptStartsAgain();
    void stalledDownloadIsAborted();
    void updateRunFollowsRedirectAndNeverFinishes();
    void progressTexts_data();
    void progressTexts();

    void newsItemsAndSharedPicture();
    void newsAnswer_data();
    void newsAnswer();
    void pictureAddresses_data();
    void pictureAddresses();
    void cachedNonPictureIsReplaced();

    void exitDuringMirrorProbe();
    void exitBeforePictures();
    void exitDuringDownload_data();
    void exitDuringDownload();

private:
    // "@" stands for the test server's base address.
    QByteArray fill(const QByteArray &text) const;
    QString closedAddress(const QString &path) const;
    // The test's application folder, and a loader on it with the API base
    // of the environment (as the window reads it).
    AppPaths paths() const { return AppPaths(dir->path()); }
    LoadThread *newLoader(NewsSink *news = nullptr) const
    {
        return new LoadThread(paths(), Endpoints::launcherApiBase(), news);
    }
    QString marker() const;

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<QTemporaryDir> dir;
    quint16 closedPort = 0;
};

void TestLoadThread::initTestCase()
{
    // A port nothing listens on: connections to it are refused at once.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    closedPort = probe.serverPort();
    probe.close();
}

void TestLoadThread::init()
{
    server.reset(new TestHttpServer);
    QVERIFY(server->isListening());
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    qputenv("VARO_API_BASE", server->url(QStringLiteral("/api")).toUtf8());
    qputenv("VARO_MIRROR_BASE", server->url(QStringLiteral("/mirror/")).toUtf8());
    ProcessState::exitRequested = false;
}

void TestLoadThread::cleanup()
{
    ProcessState::exitRequested = false;
}

QByteArray TestLoadThread::fill(const QByteArray &text) const
{
    QByteArray filled = text;
    return filled.replace('@', server->url(QString()).toUtf8());
}

QString TestLoadThread::closedAddress(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(closedPort) + path;
}

QString TestLoadThread::marker() const
{
    return dir->filePath(QStringLiteral("update_ran"));
}

void TestLoadThread::mirrorChoice_data()
{
    QTest::addColumn<bool>("apiUp");
    QTest::addColumn<QByteArray>("pingAnswer");
    QTest::addColumn<bool>("cdnUp");
    QTest::addColumn<QByteArray>("expectedMirror");
    QTest::addColumn<int>("expectedPings");

    QTest::newRow("cdn answers") << true << QByteArray(R"({"cdn": "@/cdn/"})") << true << QByteArray("@/cdn/") << 1;
    QTest::newRow("cdn missing") << true << QByteArray("{}") << true << QByteArray("@/mirror/") << 2;
    QTest::newRow("cdn down") << true << QByteArray(R"({"cdn": "@/cdn/"})") << false << QByteArray("@/mirror/") << 2;
    QTest::newRow("cdn file scheme") << true << QByteArray(R"({"cdn": "file://DIR/"})") << true
                                     << QByteArray("@/mirror/") << 2;
    QTest::newRow("api down") << false << QByteArray() << true << QByteArray("@/mirror/") << 2;
}

void TestLoadThread::mirrorChoice()
{
    QFETCH(bool, apiUp);
    QFETCH(QByteArray, pingAnswer);
    QFETCH(bool, cdnUp);
    QFETCH(QByteArray, expectedMirror);
    QFETCH(int, expectedPings);

    // A file: mirror would answer if it were ever read.
    QFile local(dir->filePath(QStringLiteral("ping.txt")));
    QVERIFY(local.open(QIODevice::WriteOnly));
    local.write("pong");
    local.close();
    pingAnswer.replace("DIR", dir->path().toUtf8());

    if (apiUp)
        server->setReply(api(QStringLiteral("ping")), Reply::ok(fill(pingAnswer), "application/json"));
    else
        server->setReply(ApiScript, Reply::status(503));
    server->setReply(QStringLiteral("/cdn/ping.txt"), cdnUp ? Reply::ok("pong") : Reply::status(404));
    server->setReply(QStringLiteral("/mirror/ping.txt"), Reply::ok("pong"));

    LoadThread loader(paths(), Endpoints::launcherApiBase());
    loader.checkMirrors();

    QCOMPARE(loader.mirrorBase(), QString::fromUtf8(fill(expectedMirror)));
    QCOMPARE(server->requestCount(api(QStringLiteral("ping"))), expectedPings);
    for (const TestHttpServer::Request &ping : server->requests(api(QStringLiteral("ping"))))
        QCOMPARE(ping.queryValue(QStringLiteral("sig")).size(), 28);
    // The primary mirror is probed only when the API named none.
    QCOMPARE(server->requestCount(QStringLiteral("/mirror/ping.txt")), apiUp ? 0 : 1);
}

// The whole run on a thread of its own, the results arriving queued on this
// thread as in the window.
void TestLoadThread::fullRun_data()
{
    QTest::addColumn<bool>("networkUp");
    QTest::addColumn<QStringList>("expectedEvents");

    QStringList states;
    for (const QString &state : RunStates)
        states.append(QStringLiteral("state:") + state + QLatin1Char('|'));

    QTest::newRow("everything answers") << true
                                        << QStringList{states[0],
                                                       states[1],
                                                       states[2],
                                                       QStringLiteral("server:A|alpha|7777"),
                                                       QStringLiteral("servers loaded"),
                                                       states[3],
                                                       QStringLiteral("news loaded"),
                                                       states[4],
                                                       QStringLiteral("image:0:4x3"),
                                                       QStringLiteral("finish")};
    QTest::newRow("no network")
        << false
        << QStringList{states[0],
                       states[1],
                       states[2],
                       QStringLiteral("server:01|%1|7771").arg(Endpoints::defaultServerAddress()),
                       QStringLiteral("servers loaded"),
                       states[3],
                       states[4],
                       QStringLiteral("finish")};
}

void TestLoadThread::fullRun()
{
    QFETCH(bool, networkUp);
    QFETCH(QStringList, expectedEvents);

    if (networkUp) {
        server->setReply(api(QStringLiteral("ping")), Reply::ok(fill(R"({"cdn": "@/cdn/"})")));
        server->setReply(QStringLiteral("/cdn/ping.txt"), Reply::ok("pong"));
        server->setReply(api(QStringLiteral("updates")), Reply::ok(R"({"act": "none"})"));
        server->setReply(api(QStringLiteral("servers")),
                         Reply::ok(R"([{"new_name": "A", "addr": "alpha", "port": 7777}])"));
        server->setReply(api(QStringLiteral("news")), Reply::ok(fill(R"([{"caption": "c", "image": "@/img/a.png"}])")));
        server->setReply(QStringLiteral("/img/a.png"), Reply::ok(picture(4, 3), "image/png"));
    } else {
        qputenv("VARO_API_BASE", closedAddress(QStringLiteral("/api")).toUtf8());
        qputenv("VARO_MIRROR_BASE", closedAddress(QStringLiteral("/mirror/")).toUtf8());
    }

    FakeNews news;
    QThread thread;
    auto *loader = newLoader(&news);
    loader->moveToThread(&thread);
    QStringList events;
    QObject receiver;
    connect(&thread, &QThread::started, loader, &LoadThread::start);
    connect(loader, &LoadThread::setState, &receiver, [&events](const QString &left, const QString &right) {
        events << QStringLiteral("state:%1|%2").arg(left, right);
    });
    connect(loader, &LoadThread::serverListAdd, &receiver,
            [&events](const QString &name, const QString &addr, quint16 port) {
                events << QStringLiteral("server:%1|%2|%3").arg(name, addr).arg(port);
            });
    connect(loader, &LoadThread::serverListLoaded, &receiver,
            [&events] { events << QStringLiteral("servers loaded"); });
    connect(loader, &LoadThread::newsListLoaded, &receiver, [&events] { events << QStringLiteral("news loaded"); });
    connect(loader, &LoadThread::newsImageLoaded, &receiver, [&events](uint idx, const QImage &image) {
        events << QStringLiteral("image:%1:%2x%3").arg(idx).arg(image.width()).arg(image.height());
    });
    connect(loader, &LoadThread::loadFinish, &receiver, [&events] { events << QStringLiteral("finish"); });

    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("finish")), 10000);
    thread.quit();
    QVERIFY(thread.wait(5000));
    const QString chosen = loader->mirrorBase();
    delete loader;

    QCOMPARE(events, expectedEvents);
    const QString primary = networkUp ? server->url(QStringLiteral("/cdn/"))
                                      : closedAddress(QStringLiteral("/mirror/"));
    QCOMPARE(chosen, primary);
    QCOMPARE(news.items.size(), networkUp ? 1 : 0);
}

void TestLoadThread::servers_data()
{
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<QByteArray>("cacheFile"); // raw file content; empty: no file
    QTest::addColumn<QStringList>("expectedServers");
    QTest::addColumn<QByteArray>("expectedCache"); // plaintext afterwards

    const QByteArray two = R"([{"new_name": "A", "addr": "alpha", "port": 7777},)"
                           R"( {"new_name": "B", "addr": "beta", "port": "7778", "extra": 1}])";
    const QStringList twoServers{QStringLiteral("A|alpha|7777"), QStringLiteral("B|beta|7778")};
    const QByteArray earlier = R"([{"new_name": "Old", "addr": "10.0.0.1", "port": 7000}])";
    const QStringList earlierServers{QStringLiteral("Old|10.0.0.1|7000")};
    const QByteArray magic = "VAROBNRYLST01";
    const QByteArray earlierFile = magic + PayloadCipher::forCache().encrypt(earlier);
    const QStringList fallback{QStringLiteral("01|%1|7771").arg(Endpoints::defaultServerAddress())};
    const Reply down = Reply::status(500);

    QTest::newRow("api answers") << Reply::ok(two) << earlierFile << twoServers << two;
    QTest::newRow("port cut to 16 bits") << Reply::ok(R"([{"new_name": "C", "addr": "gamma", "port": 72307}])")
                                         << QByteArray() << QStringList{QStringLiteral("C|gamma|6771")}
                                         << QByteArray(R"([{"new_name": "C", "addr": "gamma", "port": 72307}])");
    QTest::newRow("odd ports") << Reply::ok(R"([{"port": -5}, {"port": "x"}, {"port": 1e300}, {}])") << QByteArray()
                               << QStringList{QStringLiteral("||0"), QStringLiteral("||0"), QStringLiteral("||0"),
                                              QStringLiteral("||0")}
                               << QByteArray(R"([{"port": -5}, {"port": "x"}, {"port": 1e300}, {}])");
    QTest::newRow("empty list replaces cache") << Reply::ok("[]") << earlierFile << QStringList() << QByteArray("[]");
    QTest::newRow("api down, cache") << down << earlierFile << earlierServers << earlier;
    QTest::newRow("api down, no cache") << down << QByteArray() << fallback << QByteArray();
    QTest::newRow("api down, foreign cache")
        << down << QByteArray("NOTVAROLIST01") + PayloadCipher::forCache().encrypt(earlier) << fallback << QByteArray();
    QTest::newRow("api down, damaged cache") << down << magic + QByteArray(40, 'x') << fallback << QByteArray();
    QTest::newRow("object answer keeps cache") << Reply::ok("{}") << earlierFile << earlierServers << earlier;
    QTest::newRow("object answer, no cache") << Reply::ok("{}") << QByteArray() << fallback << QByteArray();
    QTest::newRow("html answer keeps cache")
        << Reply::ok("<html>busy</html>") << earlierFile << earlierServers << earlier;
}

void TestLoadThread::servers()
{
    QFETCH(Reply, answer);
    QFETCH(QByteArray, cacheFile);
    QFETCH(QStringList, expectedServers);
    QFETCH(QByteArray, expectedCache);

    if (!cacheFile.isEmpty()) {
        QFile file(dir->filePath(QStringLiteral("varo_servers.bin")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(cacheFile);
    }
    server->setReply(api(QStringLiteral("servers")), answer);

    LoadThread loader(paths(), Endpoints::launcherApiBase());
    QSignalSpy added(&loader, &LoadThread::serverListAdd);
    QSignalSpy loaded(&loader, &LoadThread::serverListLoaded);
    loader.loadServers();

    QCOMPARE(serverArgs(added), expectedServers);
    QCOMPARE(loaded.size(), 1);
    QCOMPARE(server->requestCount(api(QStringLiteral("servers"))), answer.statusCode == 200 ? 1 : 3);
    QCOMPARE(readBinaryList(paths().serversCache()), expectedCache);
}

void TestLoadThread::checkUpdate_data()
{
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<bool>("expectedUpdate");

    QTest::newRow("UPDATE in capitals") << Reply::ok(
        R"({"act": "UPDATE", "latest_version": "2.0", "download_url": "@/installer.exe"})")
                                        << true;
    QTest::newRow("no") << Reply::ok(R"({"act": "no", "latest_version": "2.0", "download_url": "@/installer.exe"})")
                        << false;
    QTest::newRow("act missing") << Reply::ok(R"({"latest_version": "2.0", "download_url": "@/installer.exe"})")
                                 << false;
    QTest::newRow("file scheme") << Reply::ok(R"({"act": "update", "download_url": "file:///etc/passwd"})") << false;
    QTest::newRow("ftp scheme") << Reply::ok(R"({"act": "update", "download_url": "ftp://127.0.0.1/x.exe"})") << false;
    QTest::newRow("no address") << Reply::ok(R"({"act": "update", "latest_version": "2.0"})") << false;
    QTest::newRow("api down") << Reply::status(500) << false;
}

void TestLoadThread::checkUpdate()
{
    QFETCH(Reply, answer);
    QFETCH(bool, expectedUpdate);

    answer.body = fill(answer.body);
    server->setReply(api(QStringLiteral("updates")), answer);
    LoadThread loader(paths(), Endpoints::launcherApiBase());
    loader.checkUpdate();

    QCOMPARE(loader.isUpdateAvailable(), expectedUpdate);
    QCOMPARE(loader.offeredVersion(), expectedUpdate ? QStringLiteral("2.0") : QString());
    QCOMPARE(loader.installerUrl(), expectedUpdate ? server->url(QStringLiteral("/installer.exe")) : QString());
    const auto requests = server->requests(api(QStringLiteral("updates")));
    QVERIFY(!requests.isEmpty());
    QCOMPARE(requests.first().queryValue(QStringLiteral("version")), QStringLiteral("1.0.0.0"));
}

void TestLoadThread::failedAttemptStartsAgain_data()
{
    QTest::addColumn<Reply>("firstReply");
    QTest::addColumn<QString>("expectedText");

    const auto error = [](int code) {
        return QStringLiteral("Загрузка обновления (v2.0): произошла ошибка (%1)...").arg(code);
    };
    QTest::newRow("cut off") << Reply::truncated(QByteArray(300, 'p'), 5000)
                             << error(QNetworkReply::RemoteHostClosedError);
    QTest::newRow("redirect to file") << Reply::redirect("file:///etc/passwd")
                                      << error(QNetworkReply::ProtocolUnknownError);
    QTest::newRow("over 512 MiB") << Reply::stall("x", qint64(600) * 1024 * 1024)
                                  << error(QNetworkReply::OperationCanceledError);
    QTest::newRow("installer does not start")
        << Reply::ok("no program\n") << QStringLiteral("Установка обновления: не удалось запустить установщик...");
    QTest::newRow("file cannot be created") << Reply::ok(InstallerScript) << FileErrorText;
}

void TestLoadThread::failedAttemptStartsAgain()
{
    QFETCH(Reply, firstReply);
    QFETCH(QString, expectedText);
    const bool fileBlocked = expectedText == FileErrorText;

    server->setReply(api(QStringLiteral("updates")),
                     Reply::ok(
                         fill(R"({"act": "update", "latest_version": "2.0", "download_url": "@/installer.exe"})")));
    server->setReplies(QStringLiteral("/installer.exe"), {firstReply, Reply::ok(InstallerScript)});
    if (fileBlocked) { // a folder in the installer's place, gone while the error shows
        QVERIFY(QDir().mkpath(paths().updateInstaller()));
        QTimer::singleShot(1000, [this] { QDir().rmdir(paths().updateInstaller()); });
    }

    LoadThread loader(paths(), Endpoints::launcherApiBase());
    QSignalSpy states(&loader, &LoadThread::setState);
    QSignalSpy progress(&loader, &LoadThread::setProgress);
    loader.checkUpdate();
    QVERIFY(loader.isUpdateAvailable());
    QElapsedTimer clock;
    clock.start();
    loader.downloadUpdate();

    // The error stays about three seconds before the next attempt.
    QVERIFY2(clock.elapsed() >= 3500 && clock.elapsed() < 9000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(server->requestCount(QStringLiteral("/installer.exe")), fileBlocked ? 1 : 2);
    const QStringList texts = leftTexts(states);
    QVERIFY2(texts.contains(expectedText), qPrintable(texts.join(QLatin1Char('\n'))));
    QVERIFY(texts.indexOf(expectedText) < texts.lastIndexOf(InstallText));
    QCOMPARE(texts.last(), InstallText);
    QCOMPARE(states.at(texts.indexOf(expectedText)).at(1).toString(), QString());
    QVERIFY(progress.contains(QList<QVariant>{quint64(0), quint64(100)}));
    QCOMPARE(progress.last(), (QList<QVariant>{quint64(100), quint64(100)}));

    QFile installer(paths().updateInstaller());
    QVERIFY(installer.open(QIODevice::ReadOnly));
    QCOMPARE(installer.readAll(), InstallerScript);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker()), 5000);
}

// Ten seconds without data count as an error (a cancelled operation).
void TestLoadThread::stalledDownloadIsAborted()
{
    server->setReplies(QStringLiteral("/installer.exe"),
                       {Reply::stall(QByteArray(), 4096), Reply::ok(InstallerScript)});
    UpdateDownload download(server->url(QStringLiteral("/installer.exe")), QStringLiteral("3.1"),
                            paths().updateInstaller());
    QSignalSpy states(&download, &UpdateDownload::setState);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(download.run());
    const qint64 elapsed = clock.elapsed();

    QVERIFY2(elapsed >= 12000 && elapsed < 16000, qPrintable(QString::number(elapsed)));
    QCOMPARE(server->requestCount(QStringLiteral("/installer.exe")), 2);
    QVERIFY(leftTexts(states).contains(QStringLiteral("Загрузка обновления (v3.1): произошла ошибка (%1)...")
                                           .arg(int(QNetworkReply::OperationCanceledError))));
    QFile installer(paths().updateInstaller());
    QVERIFY(installer.open(QIODevice::ReadOnly));
    QCOMPARE(installer.readAll(), InstallerScript);
}

void TestLoadThread::updateRunFollowsRedirectAndNeverFinishes()
{
    server->setReply(api(QStringLiteral("updates")),
                     Reply::ok(
                         fill(R"({"act": "Update", "latest_version": "2.5", "download_url": "@/installer.exe"})")));
    server->setReply(QStringLiteral("/installer.exe"), Reply::redirect("/files/real.exe").withHeader("X-Pad", "1"));
    Reply redirectPage = Reply::redirect("http://127.0.0.1:" + QByteArray::number(server->port()) + "/files/last.exe");
    redirectPage.body = QByteArray(2000, 'r');
    server->setReply(QStringLiteral("/files/real.exe"), redirectPage);
    server->setReply(QStringLiteral("/files/last.exe"), Reply::ok(InstallerScript));

    LoadThread loader(paths(), Endpoints::launcherApiBase());
    QSignalSpy states(&loader, &LoadThread::setState);
    QSignalSpy finished(&loader, &LoadThread::loadFinish);
    loader.start();

    QCOMPARE(finished.size(), 0);
    const QStringList texts = leftTexts(states);
    QCOMPARE(texts.mid(0, 5), RunStates);
    QCOMPARE(texts.at(5), QStringLiteral("Загрузка обновления..."));
    QVERIFY(texts.contains(QStringLiteral("Загрузка обновления (v2.5)...")));
    QCOMPARE(texts.last(), InstallText);
    QFile installer(paths().updateInstaller());
    QVERIFY(installer.open(QIODevice::ReadOnly));
    QCOMPARE(installer.readAll(), InstallerScript);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker()), 5000);
}

void TestLoadThread::progressTexts_data()
{
    QTest::addColumn<qint64>("bytesRead");
    QTest::addColumn<qint64>("totalBytes");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<quint64>("expectedMax");

    QTest::newRow("half") << qint64(1572864) << qint64(3145728) << QStringLiteral("1.50/3.00 МБ") << quint64(3145728);
    QTest::newRow("unknown total") << qint64(5000) << qint64(-1) << QStringLiteral("0.00/0.00 МБ") << quint64(0);
}

void TestLoadThread::progressTexts()
{
    QFETCH(qint64, bytesRead);
    QFETCH(qint64, totalBytes);
    QFETCH(QString, expectedText);
    QFETCH(quint64, expectedMax);

    UpdateDownload download(server->url(QStringLiteral("/installer.exe")), QStringLiteral("2.0"),
                            paths().updateInstaller());
    QSignalSpy states(&download, &UpdateDownload::setState);
    QSignalSpy progress(&download, &UpdateDownload::setProgress);
    download.networkProgress(bytesRead, totalBytes);

    QCOMPARE(states.size(), 1);
    QCOMPARE(states.first(), (QList<QVariant>{QStringLiteral("Загрузка обновления (v2.0)..."), expectedText}));
    QCOMPARE(progress.first(), (QList<QVariant>{quint64(bytesRead), expectedMax}));
}

void TestLoadThread::newsItemsAndSharedPicture()
{
    server->setReply(api(QStringLiteral("news")),
                     Reply::ok(fill(R"([{"caption": "One", "text": "first", "date": "01.02", "link": "http://l/1",)"
                                    R"(  "image": "@/img/a.png"},)"
                                    R"( {"caption": "Two", "text": "second", "date": "02.02"},)"
                                    R"( {"caption": "Three", "link": "http://l/3", "image": "@/img/a.png"}])")));
    const QByteArray png = picture(4, 3);
    server->setReply(QStringLiteral("/img/a.png"), Reply::ok(png, "image/png"));

    FakeNews news;
    LoadThread loader(paths(), Endpoints::launcherApiBase(), &news);
    QSignalSpy loaded(&loader, &LoadThread::newsListLoaded);
    QSignalSpy images(&loader, &LoadThread::newsImageLoaded);
    loader.loadNews();
    QCOMPARE(loaded.size(), 1);
    QCOMPARE(news.items,
             (QStringList{QStringLiteral("One|first|01.02|http://l/1"), QStringLiteral("Two|second|02.02|"),
                          QStringLiteral("Three|||http://l/3")}));

    loader.loadImages();
    QCOMPARE(images.size(), 2);
    QCOMPARE(images.at(0).at(0).toUInt(), 0u);
    QCOMPARE(images.at(1).at(0).toUInt(), 2u);
    QCOMPARE(images.at(1).at(1).value<QImage>().size(), QSize(4, 3));
    QCOMPARE(server->requestCount(QStringLiteral("/img/a.png")), 1);
    // The picture is sent as fetched, without a query.
    QVERIFY(server->requests(QStringLiteral("/img/a.png")).first().rawQuery.isEmpty());

    // The cache holds a cipher text of the picture's bytes, named by address.
    QFile cached(LoadThread::cacheFilePath(paths(), server->url(QStringLiteral("/img/a.png"))));
    QVERIFY(cached.open(QIODevice::ReadOnly));
    const QByteArray cipherText = cached.readAll();
    QCOMPARE(cipherText.at(0), char(0x1C));
    QCOMPARE(PayloadCipher::forCache().decrypt(cipherText), png);
    QCOMPARE(QFileInfo(cached).dir().entryList(QDir::Files).size(), 1);
}

void TestLoadThread::newsAnswer_data()
{
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<int>("expectedLoaded");
    QTest::addColumn<int>("expectedItems");

    QTest::newRow("empty list") << Reply::ok("[]") << 1 << 0;
    QTest::newRow("object") << Reply::ok(R"({"caption": "x"})") << 1 << 0;
    QTest::newRow("api down") << Reply::status(500) << 0 << 0;
    QTest::newRow("odd elements") << Reply::ok(R"([1, "x", {"caption": 5}])") << 1 << 3;
}

void TestLoadThread::newsAnswer()
{
    QFETCH(Reply, answer);
    QFETCH(int, expectedLoaded);
    QFETCH(int, expectedItems);

    server->setReply(api(QStringLiteral("news")), answer);
    FakeNews news;
    LoadThread loader(paths(), Endpoints::launcherApiBase(), &news);
    QSignalSpy loaded(&loader, &LoadThread::newsListLoaded);
    QSignalSpy images(&loader, &LoadThread::newsImageLoaded);
    loader.loadNews();
    loader.loadImages();

    QCOMPARE(loaded.size(), expectedLoaded);
    QCOMPARE(news.items.size(), expectedItems);
    QCOMPARE(images.size(), 0);
    // Only the news request itself went out: no picture was asked for.
    QCOMPARE(server->requestCount(), server->requestCount(api(QStringLiteral("news"))));
}

void TestLoadThread::pictureAddresses_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("expectPicture");
    QTest::addColumn<int>("expectedRequests"); // over two runs

    QTest::newRow("picture") << QByteArray("@/img/p.png") << Reply::ok(picture(5, 2), "image/png") << true << 1;
    QTest::newRow("picture with query") << QByteArray("@/img/p.png?v=2") << Reply::ok(picture(5, 2)) << true << 1;
    QTest::newRow("html page") << QByteArray("@/img/p.png") << Reply::ok("<html>error</html>", "text/html") << false
                               << 2;
    QTest::newRow("empty body") << QByteArray("@/img/p.png") << Reply::ok(QByteArray()) << false << 2;
    QTest::newRow("not found") << QByteArray("@/img/p.png") << Reply::status(404, picture(5, 2)) << false << 2;
    QTest::newRow("file scheme") << QByteArray("file://DIR/local.png") << Reply::ok(picture(5, 2)) << false << 0;
    QTest::newRow("data scheme") << QByteArray("data:image/png;base64,") + picture(5, 2).toBase64()
                                 << Reply::ok(picture(5, 2)) << false << 0;
}

void TestLoadThread::pictureAddresses()
{
    QFETCH(QByteArray, address);
    QFETCH(Reply, reply);
    QFETCH(bool, expectPicture);
    QFETCH(int, expectedRequests);

    QFile local(dir->filePath(QStringLiteral("local.png")));
    QVERIFY(local.open(QIODevice::WriteOnly));
    local.write(picture(5, 2));
    local.close();
    address.replace("DIR", dir->path().toUtf8());
    const QString imageAddress = QString::fromUtf8(fill(address));
    // Two items share the picture.
    const QByteArray item = R"({"caption": "x", "image": ")" + imageAddress.toUtf8() + "\"}";
    server->setReply(api(QStringLiteral("news")), Reply::ok("[" + item + "," + item + "]"));
    server->setReply(QStringLiteral("/img/p.png"), reply);

    // Two launcher runs: the second sees what the first left in the cache.
    // Each run asks the network at most once per address.
    for (int run = 0; run < 2; ++run) {
        FakeNews news;
        LoadThread loader(paths(), Endpoints::launcherApiBase(), &news);
        QSignalSpy images(&loader, &LoadThread::newsImageLoaded);
        loader.loadNews();
        loader.loadImages();
        QCOMPARE(images.size(), expectPicture ? 2 : 0);
        for (const QList<QVariant> &args : images)
            QCOMPARE(args.at(1).value<QImage>().size(), QSize(5, 2));
    }
    QCOMPARE(server->requestCount(QStringLiteral("/img/p.png")), expectedRequests);
    QCOMPARE(QFile::exists(LoadThread::cacheFilePath(paths(), imageAddress)), expectPicture);
}

// A cache entry that is no picture (left by an older launcher) does not
// stand in for the picture: it is fetched again and replaced.
void TestLoadThread::cachedNonPictureIsReplaced()
{
    const QString address = server->url(QStringLiteral("/img/p.png"));
    const QByteArray png = picture(3, 3);
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("cache"))));
    QFile stale(LoadThread::cacheFilePath(paths(), address));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write(PayloadCipher::forCache().encrypt("<html>error</html>"));
    stale.close();
    server->setReply(api(QStringLiteral("news")), Reply::ok(R"([{"image": ")" + address.toUtf8() + "\"}]"));
    server->setReply(QStringLiteral("/img/p.png"), Reply::ok(png));

    FakeNews news;
    LoadThread loader(paths(), Endpoints::launcherApiBase(), &news);
    QSignalSpy images(&loader, &LoadThread::newsImageLoaded);
    loader.loadNews();
    loader.loadImages();

    QCOMPARE(images.size(), 1);
    QVERIFY(stale.open(QIODevice::ReadOnly));
    QCOMPARE(PayloadCipher::forCache().decrypt(stale.readAll()), png);
}

// The window sets the exit request while the mirror probe is under way: the
// worker ends the run and quits its thread by itself, without the later
// stages waiting for their answers.
void TestLoadThread::exitDuringMirrorProbe()
{
    server->setReply(api(QStringLiteral("ping")), Reply::ok(fill(R"({"cdn": "@/cdn/"})")));
    server->setReply(QStringLiteral("/cdn/ping.txt"), Reply::ok("pong").delayed(700));
    server->setReply(api(QStringLiteral("servers")), Reply::ok("[]").delayed(2000));
    server->setReply(api(QStringLiteral("news")), Reply::ok(fill(R"([{"image": "@/img/a.png"}])")).delayed(500));
    server->setReply(QStringLiteral("/img/a.png"), Reply::ok(picture(2, 2)));

    FakeNews news;
    QThread thread;
    auto *loader = newLoader(&news);
    loader->moveToThread(&thread);
    connect(&thread, &QThread::started, loader, &LoadThread::start);
    QSignalSpy finished(loader, &LoadThread::loadFinish);
    QSignalSpy newsLoaded(loader, &LoadThread::newsListLoaded);
    QSignalSpy images(loader, &LoadThread::newsImageLoaded);

    thread.start();
    QVERIFY(server->waitForRequests(2, 5000));
    QCOMPARE(server->requests().last().path, QStringLiteral("/cdn/ping.txt"));
    ProcessState::requestExit();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(thread.wait(5000));
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    const QString chosen = loader->mirrorBase();
    delete loader;

    QCOMPARE(chosen, server->url(QStringLiteral("/cdn/")));
    QCOMPARE(server->requestCount(api(QStringLiteral("ping"))), 1);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(newsLoaded.size(), 0);
    QCOMPARE(images.size(), 0);
    QCOMPARE(news.items.size(), 0);
    QCOMPARE(server->requestCount(QStringLiteral("/img/a.png")), 0);
}

void TestLoadThread::exitBeforePictures()
{
    server->setReply(api(QStringLiteral("news")), Reply::ok(fill(R"([{"image": "@/img/a.png"}])")));
    server->setReply(QStringLiteral("/img/a.png"), Reply::ok(picture(2, 2)));

    FakeNews news;
    QThread thread;
    auto *loader = newLoader(&news);
    loader->moveToThread(&thread);
    connect(&thread, &QThread::started, loader, [loader] {
        loader->loadNews();
        ProcessState::requestExit();
        loader->loadImages();
    });
    QSignalSpy newsLoaded(loader, &LoadThread::newsListLoaded);
    QSignalSpy images(loader, &LoadThread::newsImageLoaded);

    thread.start();
    // The worker quits its thread by itself.
    QVERIFY(thread.wait(5000));
    delete loader;

    QCOMPARE(newsLoaded.size(), 1);
    QCOMPARE(images.size(), 0);
    QCOMPARE(server->requestCount(QStringLiteral("/img/a.png")), 0);
}

void TestLoadThread::exitDuringDownload_data()
{
    QTest::addColumn<bool>("fileBlocked");
    QTest::newRow("while data arrives") << false;
    QTest::newRow("while an error shows") << true;
}

void TestLoadThread::exitDuringDownload()
{
    QFETCH(bool, fileBlocked);
    server->setReply(api(QStringLiteral("updates")),
                     Reply::ok(
                         fill(R"({"act": "update", "latest_version": "2.0", "download_url": "@/installer.exe"})")));
    server->setReply(QStringLiteral("/installer.exe"),
                     Reply::trickle(InstallerScript + QByteArray(4000, '#'), 100, 50));
    if (fileBlocked)
        QVERIFY(QDir().mkpath(paths().updateInstaller()));

    QThread thread;
    auto *loader = newLoader();
    loader->moveToThread(&thread);
    connect(&thread, &QThread::started, loader, &LoadThread::start);
    QSignalSpy states(loader, &LoadThread::setState);
    QSignalSpy finished(loader, &LoadThread::loadFinish);
    QStringList shown; // queued to this thread, unlike the spy's list
    connect(loader, &LoadThread::setState, this, [&shown](const QString &left) { shown.append(left); });

    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(server->requestCount(QStringLiteral("/installer.exe")) == 1
                                 || shown.contains(FileErrorText),
                             10000);
    QTest::qWait(300);
    ProcessState::requestExit();
    QVERIFY(thread.wait(2000)); // well before an error's three seconds are over
    delete loader;

    QCOMPARE(finished.size(), 0);
    QVERIFY(!leftTexts(states).contains(InstallText));
    QCOMPARE(server->requestCount(QStringLiteral("/installer.exe")), fileBlocked ? 0 : 1);
    QTest::qWait(200);
    QVERIFY(!QFile::exists(marker()));
}

QTEST_MAIN(TestLoadThread)
#include "tst_loadthread.moc"
