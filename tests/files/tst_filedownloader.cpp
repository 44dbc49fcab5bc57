#include "files/DownloadLedger.h"
#include "files/FileDownloader.h"
#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "files/imgarchive/ProgressReceiver.h"
#include "platform/Platform.h"
#include "service/Compression.h"
#include "service/ProcessState.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

using Reply = TestHttpServer::Reply;

Q_DECLARE_METATYPE(TestHttpServer::Reply)

namespace {

const QString Mirror = QStringLiteral("/pcgamefile/filesystem/");

// Redirect answers by the path that gives them.
using Hops = QList<QPair<QString, Reply>>;

QString md5Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QByteArray block(const QByteArray &data)
{
    return Compression::compress(data);
}

// Bytes that deflate cannot shrink, so that transfers take some time and
// parts have a size of their own on the wire.
QByteArray noise(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList tmpFiles(const QString &root)
{
    QStringList found;
    QDirIterator it(root, {QStringLiteral("*.tmp")}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

class FakeLedger final : public DownloadLedger
{
public:
    QString remoteMd5(const QString &path) const override { return md5.value(path); }
    QString remoteMemberMd5(const QString &archivePath, const QString &name) const override
    {
        return memberMd5.value(archivePath + QLatin1Char('|') + name);
    }
    void commitFile(const QString &path) override { commits << QStringLiteral("file:") + path; }
    void commitArchiveMember(const QString &archivePath, const QString &name) override
    {
        commits << QStringLiteral("member:%1:%2").arg(archivePath, name);
    }
    void commitArchive(const QString &path) override { commits << QStringLiteral("archive:") + path; }
    void workFailed(const WorkFailure &failure) override { failures << failure.path; }

    QHash<QString, QString> md5;
    QHash<QString, QString> memberMd5;
    QStringList commits;
    QStringList failures;
};

class FakeProgress final : public ProgressReceiver
{
public:
    void updateProgressBar(quint64 total, quint64 done) override
    {
        bars.append({total, done});
        if (onCall)
            onCall();
    }
    void updateCurrentFile(const QString &currentFile, const QString &speed) override
    {
        texts.append({currentFile, speed});
        if (onCall)
            onCall();
    }

    QStringList leftTexts() const
    {
        QStringList lefts;
        for (const auto &text : texts)
            lefts << text.first;
        return lefts;
    }

    QVector<QPair<quint64, quint64>> bars;
    QVector<QPair<QString, QString>> texts;
    std::function<void()> onCall;
};

// Whether the texts hold the retry countdown 3, 2, 1, 0 of this prefix, in
// that order.
bool hasCountdown(const QStringList &texts, const QString &prefix)
{
    int from = 0;
    for (int seconds = 3; seconds >= 0; --seconds) {
        from = texts.indexOf(prefix + QString::number(seconds) + QStringLiteral("..."), from);
        if (from < 0)
            return false;
    }
    return true;
}

// Asks the queue to stop after ms, so that a queue that would go on for ever
// fails its test instead of hanging it.
class StopAfter final
{
public:
    explicit StopAfter(int ms)
    {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [] { ProcessState::requestExit(); });
        timer.start(ms);
    }

private:
    QTimer timer;
};

} // namespace

class TestFileDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void storesFile_data();
    void storesFile();
    void retriesUntilStored_data();
    void retriesUntilStored();
    void stallIsAbortedAndRetried();
    void followsRedirects_data();
    void followsRedirects();

    void audioStoredOnlyWhenComplete();
    void audioWithWrongMd5IsFetchedAgainWhole();
    void brokenPartIsFetchedAgainAlone_data();
    void brokenPartIsFetchedAgainAlone();
    void failingBlocksLeaveTheRestToTravel_data();
    void failingBlocksLeaveTheRestToTravel();
    void smallBlocksTravelWide_data();
    void smallBlocksTravelWide();
    void lookalikeNamesTravelTogether_data();
    void lookalikeNamesTravelTogether();

    void membersIntoExistingArchive();
    void membersIntoNewArchive();
    void wholeArchiveInParts();
    void unopenableArchiveIsFetchedWhole_data();
    void unopenableArchiveIsFetchedWhole();

    void exitDuringTransferStoresNothing_data();
    void exitDuringTransferStoresNothing();
    void unsafePathsAreNotQueued_data();
    void unsafePathsAreNotQueued();
    void unsafeMemberNamesAreSkipped();
    void linkCreatedAfterQueueingIsNotFollowed();
    void unwritableDestinationMovesOn_data();
    void unwritableDestinationMovesOn();

    void spaceShortfall_data();
    void spaceShortfall();
    void spaceShortfallWhenFreeSpaceUnknown();
    void emptyQueue();

private:
    std::unique_ptr<FileDownloader> makeDownloader(int connections = 1);
    QString game(const QString &relative) const { return gameDir->path() + QLatin1Char('/') + relative; }

    TestHttpServer server;
    std::unique_ptr<QTemporaryDir> gameDir;
    FakeLedger ledger;
    FakeProgress progress;
};

void TestFileDownloader::initTestCase()
{
    QVERIFY(server.isListening());
}

void TestFileDownloader::init()
{
    gameDir.reset(new QTemporaryDir);
    QVERIFY(gameDir->isValid());
    server.clearLog();
    ledger = FakeLedger();
    progress.bars.clear();
    progress.texts.clear();
    progress.onCall = nullptr;
}

void TestFileDownloader::cleanup()
{
    ProcessState::exitRequested.store(false);
    Platform::setFreeBytesOverride(-1);
}

// One transfer at a time unless a test asks for more: the texts and the
// order of requests checked here are those of the queue going one by one.
std::unique_ptr<FileDownloader> TestFileDownloader::makeDownloader(int connections)
{
    std::unique_ptr<FileDownloader> downloader(
        new FileDownloader(gameDir->path(), server.url(QStringLiteral("/")), &progress, &ledger));
    downloader->setConnections(connections, connections);
    return downloader;
}

void TestFileDownloader::storesFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("withMd5");
    QTest::addColumn<QString>("firstRight");

    QTest::newRow("checked by md5") << QByteArray("hello world") << true << QStringLiteral("0/11 Байт (? МБ/с)");
    QTest::newRow("no md5 in the list: size alone")
        << QByteArray("hello") << false << QStringLiteral("0/5 Байт (? МБ/с)");
    QTest::newRow("empty file") << QByteArray() << true << QStringLiteral("0/0 Байт (? МБ/с)");
    QTest::newRow("kilobytes") << noise(3000, 1) << true << QStringLiteral("0.00/2.93 КБ (? МБ/с)");
}

void TestFileDownloader::storesFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, withMd5);
    QFETCH(QString, firstRight);

    const QString path = QStringLiteral("data/a.txt");
    QVERIFY(TestFiles::write(game(path), "old content"));
    server.setReply(Mirror + path + QStringLiteral(".compressed"), Reply::ok(block(content)));
    if (withMd5)
        ledger.md5.insert(path, md5Of(content));

    auto downloader = makeDownloader();
    downloader->addFile(QStringLiteral("a.txt"), path, quint32(content.size()));
    downloader->computeTotal();
    QCOMPARE(progress.bars.value(0), qMakePair(quint64(content.size()), quint64(0)));
    downloader->start();

    QCOMPARE(readAll(game(path)), content);
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("file:") + path});
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
    QCOMPARE(server.requestCount(Mirror + path + QStringLiteral(".compressed")), 1);
    QCOMPARE(progress.texts.value(0), qMakePair(path + QStringLiteral("..."), firstRight));
    QCOMPARE(progress.bars.last(), qMakePair(quint64(content.size()), quint64(content.size())));
}

void TestFileDownloader::retriesUntilStored_data()
{
    QTest::addColumn<QList<Reply>>("first");
    QTest::addColumn<QString>("retryText");

    const QByteArray content = noise(400, 2);
    const QByteArray good = block(content);
    QByteArray otherSize = good;
    otherSize[3] = char(otherSize[3] + 1);
    QByteArray corrupt = good.left(4) + QByteArray(good.size() - 4, 'x');
    const QString md5Text = QStringLiteral("data/r.bin: неверный md5-хэш, повтор через ");
    const QString networkText = QStringLiteral("data/r.bin: ошибка сети (#%1), повтор через ");

    QTest::newRow("other content of the same size") << QList<Reply>{Reply::ok(block(noise(400, 3)))} << md5Text;
    QTest::newRow("server error") << QList<Reply>{Reply::status(500)}
                                  << networkText.arg(int(QNetworkReply::InternalServerError));
    // The stalled answers would hold the transfer for ten seconds if the
    // block were not refused as soon as its header or its excess arrived.
    QTest::newRow("block announces another size") << QList<Reply>{Reply::stall(otherSize.left(16), 100000)} << md5Text;
    QTest::newRow("more bytes than the file can take")
        << QList<Reply>{Reply::stall(good + noise(4000, 4), 100000)} << md5Text;
    QTest::newRow("broken stream") << QList<Reply>{Reply::ok(corrupt)} << md5Text;
    QTest::newRow("redirect to a local file") << QList<Reply>{Reply::redirect("file:///etc/passwd")}
                                              << networkText.arg(int(QNetworkReply::ProtocolUnknownError));
}

void TestFileDownloader::retriesUntilStored()
{
    QFETCH(QList<Reply>, first);
    QFETCH(QString, retryText);

    const QString path = QStringLiteral("data/r.bin");
    QVERIFY(QDir().mkpath(game(QStringLiteral("data"))));
    const QByteArray content = noise(400, 2);
    const QString remote = Mirror + path + QStringLiteral(".compressed");
    server.setReplies(remote, first + QList<Reply>{Reply::ok(block(content))});
    ledger.md5.insert(path, md5Of(content));

    auto downloader = makeDownloader();
    downloader->addFile(QStringLiteral("r.bin"), path, quint32(content.size()));
    downloader->computeTotal();
    QElapsedTimer timer;
    timer.start();
    downloader->start();

    QVERIFY2(timer.elapsed() < 8000, "a refused transfer waited for the stall time-out");
    QVERIFY2(hasCountdown(progress.leftTexts(), retryText), qPrintable(progress.leftTexts().join('\n')));
    QCOMPARE(readAll(game(path)), content);
    QCOMPARE(server.requestCount(remote), first.size() + 1);
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("file:") + path});
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
}

void TestFileDownloader::stallIsAbortedAndRetried()
{
    const QString path = QStringLiteral("slow.bin");
    const QByteArray content = noise(300, 5);
    const QString remote = Mirror + path + QStringLiteral(".compressed");
    server.setReplies(remote, {Reply::stall(block(content).left(20), 5000), Reply::ok(block(content))});

    auto downloader = makeDownloader();
    downloader->addFile(QStringLiteral("slow.bin"), path, quint32(content.size()));
    QElapsedTimer timer;
    timer.start();
    downloader->start();

    QVERIFY(timer.elapsed() >= 9000);
    const QString prefix =
        QStringLiteral("slow.bin: ошибка сети (#%1), повтор через ").arg(int(QNetworkReply::OperationCanceledError));
    QVERIFY2(hasCountdown(progress.leftTexts(), prefix), qPrintable(progress.leftTexts().join('\n')));
    QCOMPARE(readAll(game(path)), content);
    QCOMPARE(server.requestCount(remote), 2);
}

void TestFileDownloader::followsRedirects_data()
{
    QTest::addColumn<Hops>("hops");
    QTest::addColumn<QString>("finalPath");

    Reply relative = Reply::redirect("/moved/one.compressed");
    relative.body = "<html>moved, and not a block</html>";
    QTest::newRow("relative target, answer with a body")
        << Hops{{Mirror + QStringLiteral("d/x.bin.compressed"), relative}} << QStringLiteral("/moved/one.compressed");

    Reply absolute = Reply::redirect(server.url(QStringLiteral("/moved/two.compressed")).toUtf8(), 301);
    absolute.body = QByteArray(3000, 'j');
    Reply second = Reply::redirect("three.compressed", 307);
    second.body = "junk";
    QTest::newRow("two hops") << Hops{{Mirror + QStringLiteral("d/x.bin.compressed"), absolute},
                                      {QStringLiteral("/moved/two.compressed"), second}}
                              << QStringLiteral("/moved/three.compressed");
}

void TestFileDownloader::followsRedirects()
{
    QFETCH(Hops, hops);
    QFETCH(QString, finalPath);

    const QString path = QStringLiteral("d/x.bin");
    QVERIFY(QDir().mkpath(game(QStringLiteral("d"))));
    const QByteArray content = noise(1000, 6);
    for (const auto &hop : hops)
        server.setReply(hop.first, hop.second);
    server.setReply(finalPath, Reply::ok(block(content)));
    ledger.md5.insert(path, md5Of(content));

    auto downloader = makeDownloader();
    downloader->addFile(QStringLiteral("x.bin"), path, quint32(content.size()));
    downloader->start();

    QCOMPARE(readAll(game(path)), content);
    QCOMPARE(server.requestCount(finalPath), 1);
    for (const auto &hop : hops)
        QCOMPARE(server.requestCount(hop.first), 1);
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("file:") + path});
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
}

void TestFileDownloader::audioStoredOnlyWhenComplete()
{
    const QString path = QStringLiteral("audio/sfx/genrl");
    const QByteArray old("the old sound bank");
    const QByteArray content = noise(2500, 7);
    QVERIFY(TestFiles::write(game(path), old));
    for (int part = 0; part < 3; ++part) {
        const QByteArray piece = content.mid(part * 1000, 1000);
        const QString remote = Mirror + path + QStringLiteral(".b%1.compressed").arg(part);
        server.setReply(remote, part == 2 ? Reply::trickle(block(piece), 128, 30) : Reply::ok(block(piece)));
    }
    ledger.md5.insert(path, md5Of(content));

    // What the destination held at every report.
    QVector<QPair<QString, QByteArray>> seen;
    progress.onCall = [&] {
        if (!progress.texts.isEmpty())
            seen.append(
                {progress.texts.last().first + QLatin1Char('|') + progress.texts.last().second, readAll(game(path))});
    };

    auto downloader = makeDownloader();
    downloader->addAudioFile(QStringLiteral("genrl"), path, quint32(content.size()), 3, 1000);
    downloader->start();

    const int saving = progress.leftTexts().indexOf(path + QStringLiteral(": сохранение..."));
    QVERIFY(saving > 0);
    QCOMPARE(progress.texts.at(saving).second, QString());
    bool sawThirdPart = false;
    for (const auto &report : qAsConst(seen)) {
        if (report.first.startsWith(path + QStringLiteral(": сохранение")))
            break;
        QCOMPARE(report.second, old);
        sawThirdPart = sawThirdPart || report.first.contains(QStringLiteral("|1.95/2.44 КБ"));
    }
    QVERIFY(sawThirdPart);
    QCOMPARE(readAll(game(path)), content);
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("file:") + path});
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
}

void TestFileDownloader::audioWithWrongMd5IsFetchedAgainWhole()
{
    const QString path = QStringLiteral("audio/streams/beats");
    QVERIFY(QDir().mkpath(game(QStringLiteral("audio/streams"))));
    const QByteArray wrong = noise(2500, 8);
    const QByteArray content = noise(2500, 9);
    QStringList remotes;
    quint64 goodBytes = 0;
    for (int part = 0; part < 3; ++part) {
        const QString remote = Mirror + path + QStringLiteral(".b%1.compressed").arg(part);
        const QByteArray good = block(content.mid(part * 1000, 1000));
        server.setReplies(remote, {Reply::ok(block(wrong.mid(part * 1000, 1000))), Reply::ok(good)});
        remotes << remote;
        goodBytes += quint64(good.size());
    }
    ledger.md5.insert(path, md5Of(content));

    auto downloader = makeDownloader();
    downloader->addAudioFile(QStringLiteral("beats"), path, quint32(content.size()), 3, 1000);
    downloader->computeTotal();
    downloader->start();

    QVERIFY(hasCountdown(progress.leftTexts(), path + QStringLiteral(": неверный md5-хэш, повтор через ")));
    for (const QString &remote : qAsConst(remotes))
        QCOMPARE(server.requestCount(remote), 2);
    QCOMPARE(readAll(game(path)), content);
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("file:") + path});
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
    // The refused first round does not stay on the bar: it counts the
    // received parts of the round that was stored.
    QCOMPARE(progress.bars.last(), qMakePair(quint64(content.size()), goodBytes));
}

void TestFileDownloader::brokenPartIsFetchedAgainAlone_data()
{
    QTest::addColumn<bool>("archive");
    QTest::addColumn<int>("broken");
    QTest::addColumn<int>("connections");

    for (int part = 0; part < 3; ++part) {
        QTest::addRow("audio, part %d", part) << false << part << 1;
        QTest::addRow("whole archive, part %d", part) << true << part << 1;
    }
    // Parts fetched at once, joined in their order all the same.
    QTest::addRow("audio, part 0, three at once") << false << 0 << 3;
    QTest::addRow("whole archive, part 1, three at once") << true << 1 << 3;
}

// Parts are unpacked behind each other as they arrive; a part whose stream
// breaks is cut off again, so the others are fetched once and the stored
// file is whole.
void TestFileDownloader::brokenPartIsFetchedAgainAlone()
{
    QFETCH(bool, archive);
    QFETCH(int, broken);
    QFETCH(int, connections);

    const QString path = archive ? QStringLiteral("models/parts.img") : QStringLiteral("audio/streams/parts");
    QVERIFY(QDir().mkpath(QFileInfo(game(path)).absolutePath()));
    const qint64 partSize = archive ? qint64(FileSystem::ImgBlockSize) : 1000;
    QByteArray content = noise(int(2 * partSize + 700), 21);
    if (archive)
        content = TestFiles::withArchiveDirectory(content, {QStringLiteral("a.dff")});
    QStringList remotes;
    quint64 goodBytes = 0;
    for (int part = 0; part < 3; ++part) {
        const QString remote = Mirror + path + QStringLiteral(".b%1.compressed").arg(part);
        const QByteArray good = block(content.mid(int(part * partSize), int(partSize)));
        goodBytes += quint64(good.size());
        // The right length header, then bytes that are no zlib stream.
        const QByteArray corrupt = good.left(4) + QByteArray(good.size() - 4, 'x');
        server.setReplies(remote,
                          part == broken ? QList<Reply>{Reply::ok(corrupt), Reply::ok(good)}
                                         : QList<Reply>{Reply::ok(good)});
        remotes << remote;
    }
    if (!archive)
        ledger.md5.insert(path, md5Of(content));

    auto downloader = makeDownloader(connections);
    if (archive)
        downloader->addImgArchive(QStringLiteral("parts.img"), path, quint32(content.size()), 3,
                                  {{QStringLiteral("a.dff"), 10}}, true, true);
    else
        downloader->addAudioFile(QStringLiteral("parts"), path, quint32(content.size()), 3, quint32(partSize));
    downloader->computeTotal();
    downloader->start();

    QVERIFY(readAll(game(path)) == content);
    for (int part = 0; part < 3; ++part)
        QCOMPARE(server.requestCount(remotes.at(part)), part == broken ? 2 : 1);
    QCOMPARE(ledger.commits, QStringList{(archive ? QStringLiteral("archive:") : QStringLiteral("file:")) + path});
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
    // The refused transfer does not stay on the bar (an audio file counts the
    // bytes received, an archive its size).
    QCOMPARE(progress.bars.last(), qMakePair(quint64(content.size()), archive ? quint64(content.size()) : goodBytes));
}

// Blocks that keep failing (a mirror that has not received them yet) wait
// for their retries without holding a connection: the rest of the queue
// travels meanwhile.
void TestFileDownloader::failingBlocksLeaveTheRestToTravel_data()
{
    QTest::addColumn<Reply>("failing");
    QTest::addColumn<int>("connections");
    const Reply missing = Reply::status(404);
    const Reply wrong = Reply::ok(block(QByteArray(10, 'w')));
    QTest::newRow("six missing, six connections") << missing << 6;
    QTest::newRow("six wrong, six connections") << wrong << 6;
    QTest::newRow("six missing, one connection") << missing << 1;
}

void TestFileDownloader::failingBlocksLeaveTheRestToTravel()
{
    QFETCH(Reply, failing);
    QFETCH(int, connections);
    QVERIFY(QDir().mkpath(game(QStringLiteral("data"))));
    auto downloader = makeDownloader(connections);
    for (int i = 0; i < 12; ++i) {
        const QString path = QStringLiteral("data/f%1.txt").arg(i);
        const QByteArray content = QByteArray::number(1000000000 + i);
        server.setReply(Mirror + path + QStringLiteral(".compressed"), i < 6 ? failing : Reply::ok(block(content)));
        ledger.md5.insert(path, md5Of(content));
        downloader->addFile(path.mid(5), path, quint32(content.size()));
    }
    // The six good files end the run; the failing ones would go on for ever.
    progress.onCall = [&] {
        if (ledger.commits.size() == 6)
            ProcessState::requestExit();
    };
    const StopAfter guard(20000);
    downloader->start();

    QCOMPARE(ledger.commits.size(), 6);
    for (int i = 6; i < 12; ++i)
        QCOMPARE(readAll(game(QStringLiteral("data/f%1.txt").arg(i))), QByteArray::number(1000000000 + i));
}

// Small blocks travel up to the wider count at once, large ones up to the
// usual one; a mirror that refuses more connections than the usual number
// still delivers every file.
void TestFileDownloader::smallBlocksTravelWide_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("serverLimit");
    QTest::addColumn<int>("fewestAtOnce");
    QTest::addColumn<int>("mostAtOnce");
    const int large = int(FileDownloader::SmallBlockBytes) + 1;
    QTest::newRow("small files, up to 24") << 1000 << 0 << 13 << 24;
    QTest::newRow("large files, up to 6") << large << 0 << 1 << 6;
    QTest::newRow("a mirror that takes 6 connections") << 1000 << 6 << 1 << 6;
}

void TestFileDownloader::smallBlocksTravelWide()
{
    QFETCH(int, size);
    QFETCH(int, serverLimit);
    QFETCH(int, fewestAtOnce);
    QFETCH(int, mostAtOnce);
    server.setConnectionLimit(serverLimit);
    QVERIFY(QDir().mkpath(game(QStringLiteral("data"))));
    auto downloader = makeDownloader(6);
    downloader->setConnections(6, 24);
    constexpr int Files = 36;
    for (int i = 0; i < Files; ++i) {
        const QString path = QStringLiteral("data/f%1.txt").arg(i);
        const QByteArray content = QByteArray::number(i).leftJustified(size, '.');
        server.setReply(Mirror + path + QStringLiteral(".compressed"), Reply::ok(block(content)).delayed(200));
        ledger.md5.insert(path, md5Of(content));
        downloader->addFile(path.mid(5), path, quint32(size));
    }
    const StopAfter guard(30000);
    downloader->start();
    server.setConnectionLimit(0);

    QCOMPARE(ledger.commits.size(), Files);
    QCOMPARE(readAll(game(QStringLiteral("data/f35.txt"))).left(3), QByteArray("35."));
    // Refused once, the wider count is given up: no more than one round of
    // refusals (Qt tries a connection closed at once up to three times).
    QVERIFY2(server.connectionCount() <= Files + 3 * 18, qPrintable(QString::number(server.connectionCount())));
    QVERIFY2(server.peakConnections() >= fewestAtOnce && server.peakConnections() <= mostAtOnce,
             qPrintable(QString::number(server.peakConnections())));
}

// Files whose names look like the temporary names of other items (a
// member's block, a part, an unpacked copy) travel at the same time as
// those items without either spoiling the other's file.
void TestFileDownloader::lookalikeNamesTravelTogether_data()
{
    // The first item ("member:archive:name", "audio:path" in two parts or
    // "file:path") arrives at once; the file named like one of its temporary
    // files trickles in meanwhile.
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("lookalike");
    QTest::newRow("a member's block") << "member:models/big.img:big000.dff"
                                      << "models/big.img_big000.dff";
    QTest::newRow("a part") << "audio:audio/x"
                            << "audio/x_b0";
    QTest::newRow("an unpacked copy") << "file:data/y"
                                      << "data/y.new";
}

void TestFileDownloader::lookalikeNamesTravelTogether()
{
    QFETCH(QString, first);
    QFETCH(QString, lookalike);
    const QStringList item = first.split(QLatin1Char(':'));
    const QString &path = item.at(1);
    const QByteArray one = noise(3 << 19, 21);
    const QByteArray two = noise(3 << 19, 22);
    QVERIFY(QDir().mkpath(QFileInfo(game(path)).path()));
    auto downloader = makeDownloader(6);
    if (item.at(0) == QLatin1String("member")) {
        QVERIFY(ImgArchive::ArchiveEditor::createEmpty(game(path)));
        server.setReply(Mirror + path + QStringLiteral("_img/") + item.at(2) + QStringLiteral(".compressed"),
                        Reply::ok(block(one)));
        ledger.memberMd5.insert(path + QLatin1Char('|') + item.at(2), md5Of(one));
        downloader->addImgArchive(item.at(2), path, 0, 1, {{item.at(2), quint32(one.size())}}, false, false);
    } else {
        const int parts = item.at(0) == QLatin1String("audio") ? 2 : 1;
        for (int part = 0; part < parts; ++part)
            server.setReply(Mirror + path + (parts > 1 ? QStringLiteral(".b%1").arg(part) : QString())
                                + QStringLiteral(".compressed"),
                            Reply::ok(block(one.mid(part * one.size() / parts, one.size() / parts))));
        ledger.md5.insert(path, md5Of(one));
        if (parts > 1)
            downloader->addAudioFile(path, path, quint32(one.size()), 2, quint32(one.size() / 2));
        else
            downloader->addFile(path, path, quint32(one.size()));
    }
    server.setReply(Mirror + lookalike + QStringLiteral(".compressed"), Reply::trickle(block(two), 64 << 10, 20));
    ledger.md5.insert(lookalike, md5Of(two));
    downloader->addFile(lookalike, lookalike, quint32(two.size()));
    const StopAfter guard(20000);
    downloader->start();

    QCOMPARE(ledger.commits.size(), item.at(0) == QLatin1String("member") ? 3 : 2);
    QVERIFY(readAll(game(lookalike)) == two);
    QVERIFY(item.at(0) == QLatin1String("member") || readAll(game(path)) == one);
    for (const QString &text : progress.leftTexts())
        QVERIFY2(!text.contains(QStringLiteral("повтор")), qPrintable(text));
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
}

void TestFileDownloader::membersIntoExistingArchive()
{
    using ImgArchive::ArchiveEditor;
    const QString path = QStringLiteral("models/x.img");
    QDir().mkpath(game(QStringLiteral("models")));
    QVERIFY(ArchiveEditor::createEmpty(game(path)));
    {
        ArchiveEditor editor(game(path));
        QVERIFY(editor.open());
        QVERIFY(editor.append(QStringLiteral("a.dff"), QByteArray(3 * 2048, 'a'))); // sectors 200-202
        QVERIFY(editor.append(QStringLiteral("b.txd"), QByteArray(2 * 2048, 'b'))); // sectors 203-204
        QVERIFY(editor.close());
    }

    const QByteArray newC = noise(100, 10);           // appended: sector 205
    const QByteArray newA = noise(2 * 2048 - 10, 11); // fits: stays at 200
    const QByteArray newB = noise(3 * 2048 + 1, 12);  // grows: moves to 206
    const QVector<ArchiveMember> entries{{QStringLiteral("c.col"), quint32(newC.size())},
                                         {QStringLiteral("a.dff"), quint32(newA.size())},
                                         {QStringLiteral("b.txd"), quint32(newB.size())}};
    const QList<QByteArray> contents{newC, newA, newB};
    for (int i = 0; i < entries.size(); ++i) {
        server.setReply(Mirror + path + QStringLiteral("_img/") + entries.at(i).first + QStringLiteral(".compressed"),
                        Reply::ok(block(contents.at(i))));
        ledger.memberMd5.insert(path + QLatin1Char('|') + entries.at(i).first, md5Of(contents.at(i)));
    }

    auto downloader = makeDownloader();
    downloader->addImgArchive(QStringLiteral("x.img"), path, 999999, 1, entries, false, false);
    downloader->computeTotal();
    QCOMPARE(downloader->totalBytes(), quint64(newA.size() + newB.size() + newC.size()));
    downloader->start();

    QCOMPARE(ledger.commits,
             (QStringList{QStringLiteral("file:models/x.img"), QStringLiteral("member:models/x.img:c.col"),
                          QStringLiteral("member:models/x.img:a.dff"), QStringLiteral("member:models/x.img:b.txd")}));
    QVERIFY(progress.leftTexts().contains(QStringLiteral("b.txd (models/x.img): сохранение...")));
    QVERIFY(progress.leftTexts().contains(QStringLiteral("c.col (models/x.img)...")));

    ArchiveEditor editor(game(path));
    QVERIFY(editor.open());
    const QList<quint32> starts{205, 200, 206};
    for (int i = 0; i < entries.size(); ++i) {
        const int index = editor.find(entries.at(i).first);
        QVERIFY(index >= 0);
        QCOMPARE(editor.directory().at(index).startSector, starts.at(i));
        QCOMPARE(editor.read(index).left(contents.at(i).size()), contents.at(i));
    }
    QCOMPARE(editor.directory().size(), 3);
}

void TestFileDownloader::membersIntoNewArchive()
{
    using ImgArchive::ArchiveEditor;
    const QString path = QStringLiteral("models/new.img");
    // Whatever stood there is replaced by a new archive.
    QVERIFY(TestFiles::write(game(path), "not an archive"));
    const QByteArray one = noise(5000, 13);
    const QByteArray two("tiny");
    server.setReply(Mirror + path + QStringLiteral("_img/one.dff.compressed"), Reply::ok(block(one)));
    server.setReply(Mirror + path + QStringLiteral("_img/two.txd.compressed"), Reply::ok(block(two)));

    auto downloader = makeDownloader();
    downloader->addImgArchive(QStringLiteral("new.img"), path, 0, 0,
                              {{QStringLiteral("one.dff"), quint32(one.size())},
                               {QStringLiteral("two.txd"), quint32(two.size())}},
                              true, false);
    downloader->start();

    QVERIFY(ArchiveEditor::isV2StaticHeader(game(path)));
    ArchiveEditor editor(game(path));
    QVERIFY(editor.open());
    QCOMPARE(editor.directory().size(), 2);
    QCOMPARE(editor.read(editor.find(QStringLiteral("one.dff"))).left(one.size()), one);
    QCOMPARE(editor.read(editor.find(QStringLiteral("two.txd"))).left(two.size()), two);
    QCOMPARE(ledger.commits,
             (QStringList{QStringLiteral("file:models/new.img"), QStringLiteral("member:models/new.img:one.dff"),
                          QStringLiteral("member:models/new.img:two.txd")}));
}

void TestFileDownloader::wholeArchiveInParts()
{
    const QString path = QStringLiteral("models/whole.img");
    const quint32 block16 = FileSystem::ImgBlockSize;
    QByteArray content(int(block16) + 3000, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((i * 7) ^ (i >> 11));
    content = TestFiles::withArchiveDirectory(content, {QStringLiteral("a.dff")});
    QVERIFY(TestFiles::write(game(path), "old archive"));
    server.setReply(Mirror + path + QStringLiteral(".b0.compressed"), Reply::ok(block(content.left(int(block16)))));
    server.setReply(Mirror + path + QStringLiteral(".b1.compressed"), Reply::ok(block(content.mid(int(block16)))));

    auto downloader = makeDownloader();
    downloader->addImgArchive(QStringLiteral("whole.img"), path, quint32(content.size()), 2,
                              {{QStringLiteral("a.dff"), 10}}, true, true);
    downloader->computeTotal();
    QCOMPARE(downloader->totalBytes(), quint64(content.size()));
    downloader->start();

    QVERIFY(readAll(game(path)) == content);
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("archive:") + path});
    QVERIFY(progress.leftTexts().contains(path + QStringLiteral(": разархивирование...")));
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
    QCOMPARE(progress.bars.last(), qMakePair(quint64(content.size()), quint64(content.size())));
}

void TestFileDownloader::unopenableArchiveIsFetchedWhole_data()
{
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<bool>("exists");

    QTest::newRow("missing") << QByteArray() << false;
    // Writing members into another form would overwrite its data.
    QByteArray ver2("VER2");
    ver2.append(QByteArray(4096, '\1'));
    QTest::newRow("another archive form") << ver2 << true;
}

void TestFileDownloader::unopenableArchiveIsFetchedWhole()
{
    QFETCH(QByteArray, existing);
    QFETCH(bool, exists);

    const QString path = QStringLiteral("models/fallback.img");
    QDir().mkpath(game(QStringLiteral("models")));
    if (exists)
        QVERIFY(TestFiles::write(game(path), existing));
    const QByteArray content = TestFiles::withArchiveDirectory(noise(5000, 14), {QStringLiteral("a.dff")});
    server.setReply(Mirror + path + QStringLiteral(".b0.compressed"), Reply::ok(block(content)));

    auto downloader = makeDownloader();
    downloader->addImgArchive(QStringLiteral("fallback.img"), path, quint32(content.size()), 1,
                              {{QStringLiteral("a.dff"), 100}}, false, false);
    downloader->computeTotal();
    downloader->start();

    QCOMPARE(server.requestCount(Mirror + path + QStringLiteral("_img/a.dff.compressed")), 0);
    QCOMPARE(server.requestCount(Mirror + path + QStringLiteral(".b0.compressed")), 1);
    QVERIFY(readAll(game(path)) == content);
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("archive:") + path});
    QCOMPARE(progress.bars.last(), qMakePair(quint64(content.size()), quint64(content.size())));
}

void TestFileDownloader::exitDuringTransferStoresNothing_data()
{
    QTest::addColumn<int>("connections");
    QTest::newRow("one connection") << 1;
    QTest::newRow("six connections") << 6;
}

void TestFileDownloader::exitDuringTransferStoresNothing()
{
    QFETCH(int, connections);
    const QByteArray content = noise(20000, 15);
    auto downloader = makeDownloader(connections);
    for (int i = 0; i < connections; ++i) {
        const QString path = QStringLiteral("big%1.bin").arg(i);
        server.setReply(Mirror + path + QStringLiteral(".compressed"), Reply::trickle(block(content), 256, 20));
        downloader->addFile(path, path, quint32(content.size()));
    }
    server.setReply(Mirror + QStringLiteral("next.bin.compressed"), Reply::ok(block("next")));
    progress.onCall = [&] {
        if (progress.texts.size() > connections)
            ProcessState::requestExit();
    };
    downloader->addFile(QStringLiteral("next.bin"), QStringLiteral("next.bin"), 4);
    QElapsedTimer timer;
    timer.start();
    downloader->start();
    // What the dropped transfers still had on their way arrives and finds
    // nothing of theirs.
    QTest::qWait(300);

    QVERIFY(timer.elapsed() < 2500);
    QVERIFY(!QFile::exists(game(QStringLiteral("big0.bin"))));
    QVERIFY(!QFile::exists(game(QStringLiteral("next.bin"))));
    QCOMPARE(ledger.commits, QStringList());
    QCOMPARE(server.requestCount(), connections);
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
    for (const QString &text : progress.leftTexts())
        QVERIFY2(!text.contains(QStringLiteral("повтор")), qPrintable(text));

    // Once the launcher is closing, a new run sends nothing at all.
    progress.onCall = nullptr;
    auto later = makeDownloader();
    later->addFile(QStringLiteral("next.bin"), QStringLiteral("next.bin"), 4);
    later->start();
    QCOMPARE(server.requestCount(), connections);
}

void TestFileDownloader::unsafePathsAreNotQueued_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("path");

    const QStringList kinds{QStringLiteral("file"), QStringLiteral("audio"), QStringLiteral("archive"),
                            QStringLiteral("directory")};
    for (const QString &kind : kinds) {
        QTest::addRow("%s parent", qPrintable(kind)) << kind << QStringLiteral("../outside/evil");
        QTest::addRow("%s absolute", qPrintable(kind)) << kind << QStringLiteral("/tmp/evil");
        QTest::addRow("%s backslash", qPrintable(kind)) << kind << QStringLiteral("data\\..\\..\\evil");
        QTest::addRow("%s through a link", qPrintable(kind)) << kind << QStringLiteral("link/evil");
    }
}

void TestFileDownloader::unsafePathsAreNotQueued()
{
    QFETCH(QString, kind);
    QFETCH(QString, path);

    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    QVERIFY(TestFiles::link(outside.path(), game(QStringLiteral("link"))));
    server.setDefaultReply(Reply::ok(block("evil")));

    auto downloader = makeDownloader();
    if (kind == QLatin1String("file"))
        downloader->addFile(QStringLiteral("evil"), path, 4);
    else if (kind == QLatin1String("audio"))
        downloader->addAudioFile(QStringLiteral("evil"), path, 4, 1, 4);
    else if (kind == QLatin1String("archive"))
        downloader->addImgArchive(QStringLiteral("evil"), path, 4, 1, {{QStringLiteral("a.dff"), 4}}, true, false);
    else
        downloader->addDirectory(path);
    QVERIFY(downloader->items().isEmpty());
    QVERIFY(downloader->directories().isEmpty());
    downloader->start();

    server.setDefaultReply(Reply::status(404));
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(ledger.commits, QStringList());
}

void TestFileDownloader::unsafeMemberNamesAreSkipped()
{
    using ImgArchive::ArchiveEditor;
    const QString path = QStringLiteral("models/m.img");
    QVERIFY(QDir().mkpath(game(QStringLiteral("models"))));
    const QByteArray good("good member");
    server.setReply(Mirror + path + QStringLiteral("_img/good.dff.compressed"), Reply::ok(block(good)));
    server.setDefaultReply(Reply::ok(block("evil")));

    auto downloader = makeDownloader();
    downloader->addImgArchive(QStringLiteral("m.img"), path, 0, 0,
                              {{QStringLiteral("../../evil.dff"), 4},
                               {QStringLiteral("with space.dff"), 4},
                               {QStringLiteral("a_name_far_too_long_for.dff"), 4},
                               {QStringLiteral("huge.dff"), 0xFFFFFFFFu},
                               {QStringLiteral("good.dff"), quint32(good.size())}},
                              true, false);
    QCOMPARE(downloader->items().size(), 1);
    QCOMPARE(downloader->items().at(0).entries.size(), 1);
    downloader->start();
    server.setDefaultReply(Reply::status(404));

    QCOMPARE(server.requestCount(), 1);
    ArchiveEditor editor(game(path));
    QVERIFY(editor.open());
    QCOMPARE(editor.directory().size(), 1);
    QCOMPARE(editor.read(editor.find(QStringLiteral("good.dff"))).left(good.size()), good);
    QCOMPARE(ledger.commits,
             (QStringList{QStringLiteral("file:") + path, QStringLiteral("member:%1:good.dff").arg(path)}));

    // An archive whose every member is unusable is not queued at all.
    auto none = makeDownloader();
    none->addImgArchive(QStringLiteral("m.img"), path, 0, 0, {{QStringLiteral(".."), 4}}, false, false);
    QVERIFY(none->items().isEmpty());
}

void TestFileDownloader::linkCreatedAfterQueueingIsNotFollowed()
{
    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    QVERIFY(QDir().mkpath(game(QStringLiteral("sub"))));
    server.setReply(Mirror + QStringLiteral("sub/f.txt.compressed"), Reply::ok(block("evil")));
    server.setReply(Mirror + QStringLiteral("ok.txt.compressed"), Reply::ok(block("fine")));

    auto downloader = makeDownloader();
    downloader->addFile(QStringLiteral("f.txt"), QStringLiteral("sub/f.txt"), 4);
    downloader->addFile(QStringLiteral("ok.txt"), QStringLiteral("ok.txt"), 4);
    QCOMPARE(downloader->items().size(), 2);
    QVERIFY(QDir(game(QStringLiteral("sub"))).removeRecursively());
    QVERIFY(TestFiles::link(outside.path(), game(QStringLiteral("sub"))));
    downloader->start();

    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(readAll(game(QStringLiteral("ok.txt"))), QByteArray("fine"));
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("file:ok.txt")});
}

void TestFileDownloader::unwritableDestinationMovesOn_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("fetched");

    QTest::newRow("folder missing") << QStringLiteral("nodir/f.txt") << false;
    QTest::newRow("destination is a folder") << QStringLiteral("taken") << true;
}

void TestFileDownloader::unwritableDestinationMovesOn()
{
    QFETCH(QString, path);
    QFETCH(bool, fetched);

    QVERIFY(QDir().mkpath(game(QStringLiteral("taken/inner"))));
    server.setReply(Mirror + path + QStringLiteral(".compressed"), Reply::ok(block("data")));
    server.setReply(Mirror + QStringLiteral("ok.txt.compressed"), Reply::ok(block("fine")));

    auto downloader = makeDownloader();
    downloader->addFile(QStringLiteral("f"), path, 4);
    downloader->addFile(QStringLiteral("ok.txt"), QStringLiteral("ok.txt"), 4);
    downloader->addAudioFile(QStringLiteral("s"), QStringLiteral("nodir/sound"), 4, 1, 4);
    QElapsedTimer timer;
    timer.start();
    downloader->start();

    QVERIFY(timer.elapsed() < 2000);
    QCOMPARE(server.requestCount(Mirror + path + QStringLiteral(".compressed")), fetched ? 1 : 0);
    QCOMPARE(server.requestCount(Mirror + QStringLiteral("nodir/sound.b0.compressed")), 0);
    QCOMPARE(readAll(game(QStringLiteral("ok.txt"))), QByteArray("fine"));
    QCOMPARE(ledger.commits, QStringList{QStringLiteral("file:ok.txt")});
    QVERIFY(QFileInfo(game(QStringLiteral("taken"))).isDir());
    QCOMPARE(tmpFiles(gameDir->path()), QStringList());
}

void TestFileDownloader::spaceShortfall_data()
{
    QTest::addColumn<int>("gibibytes");
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<qint32>("expected");

    const qint64 mib = 1 << 20;
    QTest::newRow("1 GiB with 4 GiB free") << 1 << 4096 * mib << 952;
    QTest::newRow("10 GiB with 22000 MiB free") << 10 << 22000 * mib << 1480;
    QTest::newRow("nothing to fetch, 5000 MiB free") << 0 << 5000 * mib << -2000;
    QTest::newRow("free space below a MiB rounds down") << 0 << mib - 1 << 3000;
}

void TestFileDownloader::spaceShortfall()
{
    QFETCH(int, gibibytes);
    QFETCH(qint64, freeBytes);
    QFETCH(qint32, expected);

    Platform::setFreeBytesOverride(freeBytes);
    auto downloader = makeDownloader();
    for (int i = 0; i < gibibytes; ++i)
        downloader->addFile(QStringLiteral("f"), QStringLiteral("f%1").arg(i), 1u << 30);
    downloader->computeTotal();
    QCOMPARE(downloader->spaceShortfall(), expected);
}

void TestFileDownloader::spaceShortfallWhenFreeSpaceUnknown()
{
    // A folder that does not exist has no volume to ask about.
    Platform::setFreeBytesOverride(-1);
    FileDownloader downloader(gameDir->path() + QStringLiteral("/missing/folder"), server.url(QStringLiteral("/")),
                              &progress, &ledger);
    downloader.computeTotal();
    QCOMPARE(downloader.spaceShortfall(), 1);
}

void TestFileDownloader::emptyQueue()
{
    auto downloader = makeDownloader();
    downloader->computeTotal();
    QCOMPARE(progress.bars, (QVector<QPair<quint64, quint64>>{{0, 0}}));
    QElapsedTimer timer;
    timer.start();
    downloader->start();
    QVERIFY(timer.elapsed() < 100);
    QCOMPARE(progress.bars.size(), 1);
    QVERIFY(progress.texts.isEmpty());
    QCOMPARE(server.requestCount(), 0);
}

QTEST_GUILESS_MAIN(TestFileDownloader)
#include "tst_filedownloader.moc"
