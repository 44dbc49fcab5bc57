// Synchronisation against a mirror that misbehaves: varo-publish makes a
// mirror of a small game folder, a scriptable server on 127.0.0.1 serves it
// with one path misbehaving (a body without end, lying lengths, a zlib bomb,
// a trickle, silence, a reset, error answers, redirect loops, a redirect to
// a local file), and varo-sync runs against it under a limit on its address
// space. Every run must end within the rules, write nothing beyond the
// declared sizes and nothing outside the game folder, and leave (or let the
// next run leave) the folder exactly as published.

#include "support/GameTree.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <functional>

#include <zlib.h>

using Reply = TestHttpServer::Reply;
Q_DECLARE_METATYPE(TestHttpServer::Reply)
Q_DECLARE_METATYPE(QList<TestHttpServer::Reply>)

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool SanitizerBuild = true;
#else
constexpr bool SanitizerBuild = false;
#endif
#else
constexpr bool SanitizerBuild = false;
#endif

// A healthy run of this folder needs less than 128 MiB of address space:
// ample room for it, while an unbounded buffer or an unbounded unpacking of
// the zlib bomb runs into the limit and kills the run.
constexpr qint64 AddressSpaceLimit = qint64(1) << 30;
// The bomb unpacks to more than the limit.
constexpr int BombMebibytes = 1800;
constexpr int RunTimeoutMs = 90000;
// A retry comes after a three-second countdown of one-second ticks, the
// first of which may come at once; the server may see a connection the
// launcher dropped end a little after it did.
constexpr qint64 RetryMinMs = 1500;
constexpr qint64 RetryMaxMs = 6000;
// A transfer without data is aborted at the tenth tick after it began.
constexpr qint64 StallMinMs = 8500;
constexpr qint64 StallMaxMs = 14000;

const QString Handling = QStringLiteral("data/handling.cfg");
const QString Big = QStringLiteral("data/maps/big.ipl");
const QString Tiny = QStringLiteral("text/tiny.gxt");
const QString ListPath = QStringLiteral("/launcher_api/sync.lst");
const QString HashPath = QStringLiteral("/launcher_api/sync.lst.hash");

QString blockPath(const QString &file)
{
    return QStringLiteral("/pcgamefile/filesystem/") + file + QStringLiteral(".compressed");
}

// A block in qCompress form whose header announces `announced` bytes while
// its zlib stream unpacks to `mebibytes` MiB of zeros: about a thousandth of
// that on the wire. Built from one fully flushed MiB repeated, so it costs
// next to nothing to make.
QByteArray zlibBomb(quint32 announced, int mebibytes)
{
    QByteArray zeros(1 << 20, '\0');
    z_stream zs{};
    if (deflateInit(&zs, 9) != Z_OK)
        return QByteArray();
    const auto flushed = [&zs, &zeros] {
        QByteArray out(64 * 1024, Qt::Uninitialized);
        zs.next_in = reinterpret_cast<Bytef *>(zeros.data());
        zs.avail_in = uInt(zeros.size());
        zs.next_out = reinterpret_cast<Bytef *>(out.data());
        zs.avail_out = uInt(out.size());
        const int status = deflate(&zs, Z_FULL_FLUSH);
        if (status != Z_OK || zs.avail_in != 0)
            return QByteArray();
        out.resize(out.size() - int(zs.avail_out));
        return out;
    };
    const QByteArray first = flushed(); // carries the zlib header
    const QByteArray unit = flushed();  // the same MiB again, independent of the first
    deflateEnd(&zs);
    if (first.isEmpty() || unit.isEmpty())
        return QByteArray();

    QByteArray block(4, Qt::Uninitialized);
    qToBigEndian(announced, block.data());
    block += first;
    block += unit.repeated(mebibytes - 1);
    // An empty final block, then the Adler-32 of the zeros: a stays 1 and b
    // counts the bytes.
    block += QByteArray("\x03\x00", 2);
    const quint32 adler = (quint32((qint64(mebibytes) << 20) % 65521) << 16) | 1u;
    QByteArray trailer(4, Qt::Uninitialized);
    qToBigEndian(adler, trailer.data());
    return block + trailer;
}

// Whether the stream of a block unpacks to more than `beyond` bytes.
bool unpacksBeyond(const QByteArray &block, qint64 beyond)
{
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return false;
    QByteArray out(1 << 20, Qt::Uninitialized);
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(block.constData() + 4));
    zs.avail_in = uInt(block.size() - 4);
    qint64 produced = 0;
    int status = Z_OK;
    while (status == Z_OK && produced <= beyond) {
        zs.next_out = reinterpret_cast<Bytef *>(out.data());
        zs.avail_out = uInt(out.size());
        status = inflate(&zs, Z_NO_FLUSH);
        produced += out.size() - qint64(zs.avail_out);
    }
    inflateEnd(&zs);
    return produced > beyond;
}

bool binaryIsSanitized(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray marker("__asan_init");
    QByteArray carry;
    while (!file.atEnd()) {
        const QByteArray chunk = carry + file.read(1 << 20);
        if (chunk.contains(marker))
            return true;
        carry = chunk.right(marker.size());
    }
    return false;
}

QString tail(const QString &text, int length = 4000)
{
    return text.size() <= length ? text : QStringLiteral("...") + text.right(length);
}

QStringList entryNames(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

struct SyncRun
{
    int exitCode = -1;
    bool crashed = false;
    bool timedOut = false;
    qint64 elapsedMs = 0;
    QString output;
    // Files seen in the game folder during the run that were larger than
    // they may be, or that had no business there at all.
    QStringList violations;

    QString describe() const
    {
        return QStringLiteral("exit %1%2%3 after %4 ms\n")
                   .arg(exitCode)
                   .arg(crashed ? QStringLiteral(" (crashed)") : QString())
                   .arg(timedOut ? QStringLiteral(" (timed out)") : QString())
                   .arg(elapsedMs)
            + violations.join(QLatin1Char('\n')) + QLatin1Char('\n') + tail(output);
    }
};

} // namespace

// Qt Test cuts long failure messages short: the run's output goes to the log
// in full instead.
#define VERIFY_RUN(condition, run)                                                                                     \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            qWarning().noquote() << (run).describe();                                                                  \
            QFAIL(#condition);                                                                                         \
        }                                                                                                              \
    } while (false)

class TestHostileNetwork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hostileBlock_data();
    void hostileBlock();
    void hostileSyncList_data();
    void hostileSyncList();
    void mirrorThatFlaps();

private:
    QString newClientDir(const QString &tag);
    SyncRun runSync(const TestHttpServer &server, const QString &clientDir,
                    const std::function<void()> &whileRunning = {});
    void watchSizes(const QString &gameDir, QMap<QString, qint64> *largest) const;
    QStringList sizeViolations(const QMap<QString, qint64> &largest) const;
    void checkNothingOutside(const QString &clientDir) const;
    QString differenceFromPublished(const QString &clientDir) const;
    QStringList blockRequests(const TestHttpServer &server) const;

    QTemporaryDir root;
    QString gameSource;
    QString mirror;
    QString outside;
    QString canary;
    QByteArray canaryBytes;
    QDateTime canaryTime;
    QMap<QString, qint64> publishedSizes;
    QMap<QString, QString> expected;
    bool limitAddressSpace = true;
    int clients = 0;
};

void TestHostileNetwork::initTestCase()
{
    QVERIFY(root.isValid());
    QVERIFY(QFile::exists(GameTree::toolPath(QStringLiteral("varo-publish"))));
    QVERIFY(QFile::exists(GameTree::toolPath(QStringLiteral("varo-sync"))));
    // Sanitizer builds reserve terabytes of shadow memory; the limit is only
    // applied to plain builds.
    limitAddressSpace = !SanitizerBuild && !binaryIsSanitized(GameTree::toolPath(QStringLiteral("varo-sync")));
#ifdef Q_OS_WIN
    limitAddressSpace = false; // there is no ulimit; the files' sizes are still watched
#endif
    if (!limitAddressSpace)
        qInfo("varo-sync runs without an address-space limit");

    gameSource = root.filePath(QStringLiteral("game"));
    mirror = root.filePath(QStringLiteral("mirror"));
    outside = root.filePath(QStringLiteral("outside"));
    QVERIFY(TestFiles::write(gameSource + QStringLiteral("/gta_sa.exe"), "#!/bin/sh\nexit 0\n"));
    QVERIFY(TestFiles::write(gameSource + QLatin1Char('/') + Handling, TestFiles::noise(5000, 1)));
    QVERIFY(TestFiles::write(gameSource + QLatin1Char('/') + Big, TestFiles::noise(2 << 20, 2)));
    QVERIFY(TestFiles::write(gameSource + QLatin1Char('/') + Tiny, "v"));
    QVERIFY(TestFiles::write(gameSource + QStringLiteral("/audio/config/banklkup.dat"), TestFiles::noise(300, 4)));
    QVERIFY(QDir().mkpath(gameSource + QStringLiteral("/screens")));

    const GameTree::Run publish = GameTree::runTool(QStringLiteral("varo-publish"), {gameSource, mirror});
    QVERIFY2(publish.exitCode == 0, qPrintable(publish.output));
    expected = GameTree::expectedAfterSync(gameSource);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value() != QLatin1String("dir"))
            publishedSizes.insert(it.key(), QFileInfo(gameSource + QLatin1Char('/') + it.key()).size());
    }

    // A file outside every game folder, holding exactly what the redirected
    // block should: if the launcher ever read it, the transfer would succeed
    // without the server.
    canary = outside + QStringLiteral("/canary.compressed");
    canaryBytes = TestFiles::read(mirror + blockPath(Handling));
    QVERIFY(!canaryBytes.isEmpty());
    QVERIFY(TestFiles::write(canary, canaryBytes));
    canaryTime = QFileInfo(canary).lastModified();

    // The limit must leave a healthy run room enough.
    TestHttpServer server;
    server.setDocumentRoot(mirror);
    const QString client = newClientDir(QStringLiteral("healthy"));
    const SyncRun healthy = runSync(server, client);
    VERIFY_RUN(healthy.exitCode == 0 && healthy.violations.isEmpty(), healthy);
    const QString diff = differenceFromPublished(client);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

QString TestHostileNetwork::newClientDir(const QString &tag)
{
    QString name = tag;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]+")), QStringLiteral("-"));
    const QString dir = root.filePath(QStringLiteral("client%1-%2").arg(++clients).arg(name));
    QDir().mkpath(dir);
    return dir;
}

// Runs varo-sync against the server to its end, under the address-space
// limit, watching the sizes of the files in the game folder meanwhile.
SyncRun TestHostileNetwork::runSync(const TestHttpServer &server, const QString &clientDir,
                                    const std::function<void()> &whileRunning)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VARO_API_BASE"), server.url(QStringLiteral("/launcher_api")));
    env.insert(QStringLiteral("VARO_MIRROR_BASE"), server.url(QStringLiteral("/")));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("varo.*.debug=false;varo.files.debug=true"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString tool = GameTree::toolPath(QStringLiteral("varo-sync"));
    const QStringList arguments{QStringLiteral("--app-dir"), clientDir};
    const auto start = [&] {
        if (limitAddressSpace) {
            // ulimit -v counts KiB.
            process.start(QStringLiteral("/bin/sh"),
                          QStringList{QStringLiteral("-c"),
                                      QStringLiteral("ulimit -v %1 && exec \"$0\" \"$@\"").arg(AddressSpaceLimit >> 10),
                                      tool}
                              + arguments);
        } else {
            process.start(tool, arguments);
        }
        return process.waitForStarted(10000);
    };

    SyncRun run;
    QElapsedTimer clock;
    clock.start();
    // Under wine, creating a process now and then fails at once ("Internal
    // error") while the one before is still being torn down; a moment later
    // it works.
    bool started = start();
    for (int attempt = 1; !started && process.error() == QProcess::FailedToStart && attempt < 3; ++attempt) {
        QTest::qWait(1000);
        clock.restart();
        started = start();
    }
    if (!started) {
        run.output = process.errorString();
        return run;
    }
    const QString gameDir = clientDir + QStringLiteral("/gtasa");
    QMap<QString, qint64> largest;
    while (!process.waitForFinished(20)) {
        watchSizes(gameDir, &largest);
        if (whileRunning)
            whileRunning();
        if (clock.elapsed() > RunTimeoutMs) {
            run.timedOut = true;
            process.kill();
            process.waitForFinished(5000);
            break;
        }
    }
    run.elapsedMs = clock.elapsed();
    watchSizes(gameDir, &largest);
    run.output = QString::fromUtf8(process.readAll());
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.exitCode = run.crashed ? -1 : process.exitCode();
    run.violations = sizeViolations(largest);
    return run;
}

void TestHostileNetwork::watchSizes(const QString &gameDir, QMap<QString, qint64> *largest) const
{
    const QDir base(gameDir);
    QDirIterator it(gameDir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        const qint64 size = QFileInfo(path).size();
        if (size > largest->value(relative, -1))
            largest->insert(relative, size);
    }
}

// A published file never holds more than its size; what the launcher builds
// beside it holds at most its size (the unpacked copy) or its block (the
// received data, which deflate can only have grown by a little).
QStringList TestHostileNetwork::sizeViolations(const QMap<QString, qint64> &largest) const
{
    // Temporary names: the destination, a blank, what the file holds.
    static const QRegularExpression temporary(QStringLiteral("^([^ ]*) (new|block|whole|part\\d+)\\.tmp$"));
    QStringList violations;
    for (auto it = largest.cbegin(); it != largest.cend(); ++it) {
        const QString &name = it.key();
        QString file = name;
        bool received = false;
        const QRegularExpressionMatch match = temporary.match(name);
        if (match.hasMatch()) {
            file = match.captured(1);
            received = match.captured(2) != QLatin1String("new");
        }
        if (!publishedSizes.contains(file)) {
            violations << QStringLiteral("unexpected file in the game folder: %1 (%2 bytes)").arg(name).arg(it.value());
            continue;
        }
        const qint64 size = publishedSizes.value(file);
        const qint64 limit = received ? size + size / 64 + 4096 : size;
        if (it.value() > limit)
            violations << QStringLiteral("%1 held %2 bytes, more than %3").arg(name).arg(it.value()).arg(limit);
    }
    return violations;
}

// Only the state file and the game folder next to the launcher; nothing new
// anywhere else below the test's folder; the canary as it was.
void TestHostileNetwork::checkNothingOutside(const QString &clientDir) const
{
    const QStringList allowed{QStringLiteral("gtasa"), QStringLiteral("user.ini"), QStringLiteral("varo_launcher.bin")};
    for (const QString &name : entryNames(clientDir))
        QVERIFY2(allowed.contains(name), qPrintable(QStringLiteral("stray file next to the game: ") + name));
    for (const QString &name : entryNames(root.path())) {
        QVERIFY2(name == QLatin1String("game") || name == QLatin1String("mirror") || name == QLatin1String("outside")
                     || name.startsWith(QLatin1String("client")),
                 qPrintable(QStringLiteral("stray file: ") + name));
    }
    QCOMPARE(entryNames(outside), QStringList{QStringLiteral("canary.compressed")});
    QCOMPARE(TestFiles::read(canary), canaryBytes);
    QCOMPARE(QFileInfo(canary).lastModified(), canaryTime);
}

QString TestHostileNetwork::differenceFromPublished(const QString &clientDir) const
{
    return GameTree::difference(GameTree::digest(clientDir + QStringLiteral("/gtasa")), expected);
}

QStringList TestHostileNetwork::blockRequests(const TestHttpServer &server) const
{
    QStringList blocks;
    for (const TestHttpServer::Request &request : server.requests()) {
        if (request.path.startsWith(QLatin1String("/pcgamefile/")))
            blocks << request.path;
    }
    return blocks;
}

void TestHostileNetwork::hostileBlock_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QList<Reply>>("replies");
    // Mend the path (serve it from the mirror) once it was asked this often;
    // 0: the script's last reply is the good one.
    QTest::addColumn<int>("mendAfter");
    QTest::addColumn<int>("minRequests");
    QTest::addColumn<int>("maxRequests");
    // Whether the failed exchange ends only at the ten-second stall limit.
    QTest::addColumn<bool>("stalls");
    // A pattern that the client's output must match, when not empty.
    QTest::addColumn<QString>("shown");

    const QByteArray handling = TestFiles::read(mirror + blockPath(Handling));
    const QByteArray big = TestFiles::read(mirror + blockPath(Big));
    const QByteArray tiny = TestFiles::read(mirror + blockPath(Tiny));
    QVERIFY(handling.size() > 1000 && big.size() > (2 << 20) / 2 && !tiny.isEmpty());
    const int half = handling.size() / 2;
    const Reply good = Reply::ok(handling, "application/octet-stream");
    const QString network = QStringLiteral("ошибка сети");
    const QString check = QStringLiteral("неверный md5-хэш");

    QTest::newRow("body that never ends")
        << Handling << QList<Reply>{Reply::endless(handling), good} << 0 << 2 << 2 << false << check;
    QTest::newRow("length longer than sent, then close")
        << Handling << QList<Reply>{Reply::truncated(handling.left(half), handling.size()), good} << 0 << 2 << 2
        << false << network;
    QTest::newRow("length shorter than the block")
        << Handling << QList<Reply>{good.withHeader("Content-Length", QByteArray::number(half)), good} << 0 << 2 << 2
        << false << check;

    const QByteArray bomb = zlibBomb(quint32(publishedSizes.value(Big)), BombMebibytes);
    QVERIFY(!bomb.isEmpty() && bomb.size() < big.size());
    QVERIFY(unpacksBeyond(bomb, qint64(16) << 20));
    QTest::newRow("zlib bomb with a small header")
        << Big << QList<Reply>{Reply::ok(bomb), Reply::ok(big)} << 0 << 2 << 2 << false << check;

    // One byte a second outlasts the ten-second stall limit: the transfer
    // must go on as long as bytes arrive.
    QVERIFY2(tiny.size() >= 12, qPrintable(QString::number(tiny.size())));
    QTest::newRow("one byte per second") << Tiny << QList<Reply>{Reply::trickle(tiny, 1, 1000)} << 0 << 1 << 1 << false
                                         << QString();
    // Aborted after ten seconds without data (error 5, operation canceled),
    // then retried.
    QTest::newRow("silence after the headers")
        << Handling << QList<Reply>{Reply::stall(QByteArray(), handling.size()), good} << 0 << 2 << 2 << true
        << QStringLiteral("ошибка сети \\(#5\\)");
    // Qt reports a reset either as a network error, or (when the reset races
    // the end of the read) as a short body that fails its check, or it sends
    // the request once more by itself and hands on the second answer behind
    // the bytes of the first, which fails the check too. Each retries after
    // the countdown; the third way costs one request more.
    QTest::newRow("reset in the middle of the block")
        << Handling << QList<Reply>{Reply::reset(handling.left(half), handling.size()), good} << 0 << 2 << 3 << false
        << QStringLiteral("ошибка сети|неверный md5-хэш");
    QTest::newRow("500") << Handling << QList<Reply>{Reply::status(500, "broken"), good} << 0 << 2 << 2 << false
                         << network;
    QTest::newRow("503 until mended") << Handling << QList<Reply>{Reply::status(503, "busy")} << 3 << 4 << 5 << false
                                      << network;
    Reply endlessError = Reply::endless("broken");
    endlessError.statusCode = 500;
    QTest::newRow("500 whose body never ends")
        << Handling << QList<Reply>{endlessError, good} << 0 << 2 << 2 << false << network;
    Reply endlessRedirect = Reply::endless("moved");
    endlessRedirect.statusCode = 302;
    endlessRedirect.headers.append({"Location", blockPath(Handling).toLatin1()});
    QTest::newRow("redirect whose body never ends")
        << Handling << QList<Reply>{endlessRedirect, good} << 0 << 2 << 2 << false << network;
    // An error page is not the file: its bytes do not keep the transfer
    // from the stall limit.
    Reply tricklingError = Reply::trickle(QByteArray(40, 'x'), 1, 1000);
    tricklingError.statusCode = 500;
    QTest::newRow("500 whose body trickles") << Handling << QList<Reply>{tricklingError, good} << 0 << 2 << 2 << true
                                             << QStringLiteral("ошибка сети \\(#5\\)");

    // The first request and ten redirects, then the retry.
    QList<Reply> loop;
    for (int i = 0; i < 11; ++i)
        loop << Reply::redirect(blockPath(Handling).toLatin1());
    loop << good;
    QTest::newRow("redirect loop") << Handling << loop << 0 << 12 << 12 << false << network;
    QTest::newRow("redirect to a local file")
        << Handling << QList<Reply>{Reply::redirect(QUrl::fromLocalFile(canary).toEncoded()), good} << 0 << 2 << 2
        << false << network;
}

void TestHostileNetwork::hostileBlock()
{
    QFETCH(QString, file);
    QFETCH(QList<Reply>, replies);
    QFETCH(int, mendAfter);
    QFETCH(int, minRequests);
    QFETCH(int, maxRequests);
    QFETCH(bool, stalls);
    QFETCH(QString, shown);

    const QString path = blockPath(file);
    TestHttpServer server;
    QVERIFY(server.isListening());
    server.setDocumentRoot(mirror);
    server.setReplies(path, replies);
    const QString client = newClientDir(QString::fromLatin1(QTest::currentDataTag()));

    bool mended = false;
    const SyncRun run = runSync(server, client, [&] {
        if (mendAfter > 0 && !mended && server.requestCount(path) >= mendAfter) {
            server.clearReply(path);
            mended = true;
        }
    });
    VERIFY_RUN(run.exitCode == 0, run);
    VERIFY_RUN(run.violations.isEmpty(), run);
    if (!shown.isEmpty())
        VERIFY_RUN(run.output.contains(QRegularExpression(shown)), run);

    const QList<TestHttpServer::Request> asked = server.requests(path);
    if (asked.size() < minRequests || asked.size() > maxRequests)
        qWarning("%d requests of %s", int(asked.size()), qPrintable(path));
    VERIFY_RUN(asked.size() >= minRequests && asked.size() <= maxRequests, run);
    if (asked.size() >= 2) {
        // The retry is timed from the end of the failed exchange (the server
        // closed, or the launcher gave up and closed): how soon a fault shows
        // depends on the machine's load, the countdown after it does not. A
        // connection the launcher still reads after giving up ends only as
        // the retry comes, and fails the lower bound.
        const TestHttpServer::Request &failed = asked.at(asked.size() - 2);
        const qint64 held = failed.endedMs - failed.arrivedMs;
        const qint64 pause = asked.last().arrivedMs - failed.endedMs;
        const bool heldAsStated = !stalls || (held >= StallMinMs && held <= StallMaxMs);
        if (failed.endedMs == 0 || pause < RetryMinMs || pause > RetryMaxMs || !heldAsStated)
            qWarning("failed exchange %s after %lld ms, retried %lld ms later",
                     failed.endedMs == 0 ? "still open" : "ended", held, pause);
        VERIFY_RUN(failed.endedMs != 0 && pause >= RetryMinMs && pause <= RetryMaxMs, run);
        VERIFY_RUN(heldAsStated, run);
    }
    if (mendAfter > 0) {
        // Every failed attempt was followed by its countdown, without limit.
        for (int i = 1; i < asked.size(); ++i)
            QVERIFY(asked.at(i - 1).endedMs != 0 && asked.at(i).arrivedMs - asked.at(i - 1).endedMs >= RetryMinMs);
    }
    const QString diff = differenceFromPublished(client);
    if (!diff.isEmpty())
        qWarning().noquote() << diff;
    VERIFY_RUN(diff.isEmpty(), run);
    checkNothingOutside(client);

    // The next run against a mended server finds nothing left to do.
    server.clearReply(path);
    server.clearLog();
    const SyncRun again = runSync(server, client);
    VERIFY_RUN(again.exitCode == 0 && again.violations.isEmpty(), again);
    QVERIFY2(blockRequests(server).isEmpty(), qPrintable(blockRequests(server).join(QLatin1Char(' '))));
    QVERIFY(differenceFromPublished(client).isEmpty());
    checkNothingOutside(client);
}

void TestHostileNetwork::hostileSyncList_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("maxSeconds");
    // The hash file the server gives instead of the published one (when not
    // empty): one that matches what the row's list answer carries.
    QTest::addColumn<QByteArray>("hash");

    const QByteArray list = TestFiles::read(mirror + ListPath);
    QVERIFY(!list.isEmpty());
    // Five attempts each, without pause.
    const QByteArray published;
    QTest::newRow("list that never ends")
        << ListPath << Reply::endless(list) << 5 << QStringLiteral("fail 1") << 30 << published;
    QTest::newRow("list announced gigantic")
        << ListPath << Reply::stall(list, qint64(1) << 40) << 5 << QStringLiteral("fail 1") << 10 << published;
    // Each attempt at the list allows five redirects.
    QTest::newRow("list redirect loop") << ListPath << Reply::redirect(ListPath.toLatin1()) << 30
                                        << QStringLiteral("fail 1") << 10 << published;
    // The canary there holds a block, not the list; what matters is that it
    // is not read and that no request follows the redirect.
    QTest::newRow("list redirected to a local file")
        << ListPath << Reply::redirect(QUrl::fromLocalFile(canary).toEncoded()) << 5 << QStringLiteral("fail 1") << 10
        << published;
    // Five attempts of five seconds each.
    QTest::newRow("hash that never comes")
        << HashPath << Reply::silent() << 5 << QStringLiteral("fail 2") << 40 << published;
    // Answers that carry no list, with a hash file that matches them: read as
    // lists they would be empty ones, and the folder would be emptied.
    const auto hashOf = [](const QByteArray &body) { return TestFiles::md5Hex(body).toLatin1(); };
    QTest::newRow("304 to a request that was not conditional")
        << ListPath << Reply::status(304) << 1 << QStringLiteral("fail hash") << 10 << hashOf(QByteArray());
    QTest::newRow("empty list") << ListPath << Reply::ok(QByteArray()) << 1 << QStringLiteral("fail hash") << 10
                                << hashOf(QByteArray());
    const QByteArray page("<html><body>Not here</body></html>\n");
    QTest::newRow("text without the list's headers")
        << ListPath << Reply::ok(page) << 1 << QStringLiteral("fail hash") << 10 << hashOf(page);
}

void TestHostileNetwork::hostileSyncList()
{
    QFETCH(QString, path);
    QFETCH(Reply, reply);
    QFETCH(int, attempts);
    QFETCH(QString, shown);
    QFETCH(int, maxSeconds);
    QFETCH(QByteArray, hash);

    TestHttpServer server;
    QVERIFY(server.isListening());
    server.setDocumentRoot(mirror);
    server.setReply(path, reply);
    if (!hash.isEmpty())
        server.setReply(HashPath, Reply::ok(hash));
    const QString client = newClientDir(QString::fromLatin1(QTest::currentDataTag()));

    const SyncRun run = runSync(server, client);
    VERIFY_RUN(run.exitCode == 2, run);
    VERIFY_RUN(run.output.contains(shown), run);
    VERIFY_RUN(run.output.contains(QStringLiteral("Ошибка: не удалось получить список файлов")), run);
    VERIFY_RUN(run.elapsedMs < maxSeconds * 1000, run);
    QCOMPARE(server.requestCount(path), attempts);
    QVERIFY(blockRequests(server).isEmpty());
    QVERIFY(run.violations.isEmpty());
    QCOMPARE(entryNames(client + QStringLiteral("/gtasa")), QStringList());
    checkNothingOutside(client);

    // Mended, the next run synchronises the folder.
    server.clearReply(path);
    server.clearReply(HashPath);
    server.clearLog();
    const SyncRun again = runSync(server, client);
    VERIFY_RUN(again.exitCode == 0 && again.violations.isEmpty(), again);
    const QString diff = differenceFromPublished(client);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    checkNothingOutside(client);
}

// A mirror whose nodes serve two publications in turn (one updated, the
// other not yet): each pass stores what its list asks for, and the next list
// asks for the other version. Mirror trouble never stops the run; it ends as
// soon as the mirror settles.
void TestHostileNetwork::mirrorThatFlaps()
{
    const QString source2 = root.filePath(QStringLiteral("game2"));
    const QString mirror2 = root.filePath(QStringLiteral("mirror2"));
    QVERIFY(GameTree::copyTree(gameSource, source2));
    QVERIFY(TestFiles::write(source2 + QLatin1Char('/') + Handling, TestFiles::noise(5000, 99)));
    const GameTree::Run publish = GameTree::runTool(QStringLiteral("varo-publish"), {source2, mirror2});
    QVERIFY2(publish.exitCode == 0, qPrintable(publish.output));

    TestHttpServer server;
    server.setDocumentRoot(mirror);
    QList<Reply> lists, hashes, blocks;
    for (int pass = 0; pass < 6; ++pass) {
        const QString &from = pass % 2 ? mirror2 : mirror;
        lists << Reply::ok(TestFiles::read(from + ListPath));
        hashes << Reply::ok(TestFiles::read(from + HashPath));
        blocks << Reply::ok(TestFiles::read(from + blockPath(Handling)));
    }
    server.setReplies(ListPath, lists);
    server.setReplies(HashPath, hashes);
    server.setReplies(blockPath(Handling), blocks);

    const QString client = newClientDir(QStringLiteral("flapping"));
    const SyncRun run = runSync(server, client);
    VERIFY_RUN(run.exitCode == 0 && run.violations.isEmpty(), run);
    QVERIFY(server.requestCount(ListPath) >= 6);
    QCOMPARE(GameTree::difference(GameTree::digest(client + QStringLiteral("/gtasa")),
                                  GameTree::expectedAfterSync(source2)),
             QString());
}

QTEST_GUILESS_MAIN(TestHostileNetwork)
#include "tst_hostilenetwork.moc"
