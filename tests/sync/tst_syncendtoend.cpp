// End-to-end synchronisation: varo-publish makes a mirror of a game folder,
// nginx serves it on 127.0.0.1, and varo-sync (the launcher's engine without
// a window) brings a player's folder into line with it.

#include "support/SyncDeployment.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

// Lines that show a file being hashed during the comparison.
bool hashedAnything(const QString &output)
{
    return output.contains(QRegularExpression(QStringLiteral("Проверка целостности [^и]")));
}

} // namespace

class TestSyncEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstSyncThenNothingToDo();
    void oldCopyFetchesOnlyDifferences();
    void archiveMembersOrWholeArchive();
    void extrasAreDeletedButProtectedFoldersStay();
    void audioFileInThreeParts();
    void redirectedBlock();
    void corruptBlockFixedWhileClientRetries();
    void noSyncSwitch();
    void hashFileWithLineEndIsRefused();
    void spaceShortfallStopsTheRun();

private:
    bool ready = false;
};

void TestSyncEndToEnd::initTestCase()
{
    QVERIFY(QFile::exists(GameTree::toolPath(QStringLiteral("varo-publish"))));
    QVERIFY(QFile::exists(GameTree::toolPath(QStringLiteral("varo-sync"))));
}

#define PUBLISH_AND_SERVE(d)                                                                                 \
    do {                                                                                                     \
        QString publishOutput;                                                                               \
        QVERIFY2((d).publish(&publishOutput), qPrintable(publishOutput));                                    \
        QVERIFY2((d).serve(), qPrintable((d).server()->errorString()));                                      \
    } while (false)

// A run that ends ready with the folder exactly as published, after which a
// second run finds nothing to do: it hashes nothing and fetches no block.
// The access log keeps the first run's requests for the caller.
#define SYNC_OK(d)                                                                                           \
    do {                                                                                                     \
        const GameTree::Run run_ = (d).sync();                                                               \
        QVERIFY2(run_.exitCode == 0, qPrintable(run_.output));                                               \
        const QString diff_ = (d).differenceFromPublished();                                                 \
        QVERIFY2(diff_.isEmpty(), qPrintable(diff_));                                                        \
        const QStringList log_ = (d).server()->accessLog();                                                  \
        (d).server()->clearAccessLog();                                                                      \
        const GameTree::Run again_ = (d).sync();                                                             \
        QVERIFY2(again_.exitCode == 0 && !hashedAnything(again_.output), qPrintable(again_.output));         \
        QVERIFY2((d).blockRequests().isEmpty(), qPrintable((d).blockRequests().join(QLatin1Char(' '))));     \
        (d).server()->restoreAccessLog(log_);                                                                \
    } while (false)

void TestSyncEndToEnd::firstSyncThenNothingToDo()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);

    const GameTree::Run first = d.sync();
    QVERIFY2(first.exitCode == 0, qPrintable(first.output));
    QVERIFY(first.output.contains(QStringLiteral("Проверка целостности старой копии игры...")));
    QVERIFY(first.output.contains(QStringLiteral("Готово к игре!")));
    const QString diff = d.differenceFromPublished();
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(QFile::exists(d.clientDir() + QStringLiteral("/varo_launcher.bin")));

    // A second run finds nothing to do, hashes nothing and fetches no block.
    d.server()->clearAccessLog();
    const GameTree::Run second = d.sync();
    QVERIFY2(second.exitCode == 0, qPrintable(second.output));
    QVERIFY2(!hashedAnything(second.output), qPrintable(second.output));
    QVERIFY2(d.blockRequests().isEmpty(), qPrintable(d.blockRequests().join(QLatin1Char('\n'))));
    QVERIFY(d.differenceFromPublished().isEmpty());
}

void TestSyncEndToEnd::oldCopyFetchesOnlyDifferences()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);

    // An old copy of the game: the source itself (archive still in the
    // game's own form), with one file changed, one missing and one extra.
    const QString game = d.clientGameDir();
    QVERIFY(QDir().mkpath(game));
    const auto source = GameTree::digest(d.sourceDir());
    for (auto it = source.cbegin(); it != source.cend(); ++it) {
        if (it.value() == QLatin1String("dir"))
            QVERIFY(QDir().mkpath(game + QLatin1Char('/') + it.key()));
        else
            QVERIFY(QFile::copy(d.sourceDir() + QLatin1Char('/') + it.key(), game + QLatin1Char('/') + it.key()));
    }
    QVERIFY(TestFiles::write(game + QStringLiteral("/data/handling.cfg"), "tampered"));
    QVERIFY(QFile::remove(game + QStringLiteral("/data/maps/city/city.ipl")));
    QVERIFY(TestFiles::write(game + QStringLiteral("/junk.txt"), "junk"));

    SYNC_OK(d);
    QStringList fetched = d.blockRequests();
    fetched.sort();
    QCOMPARE(fetched, (QStringList{QStringLiteral("data/handling.cfg.compressed"),
                                   QStringLiteral("data/maps/city/city.ipl.compressed")}));
}

void TestSyncEndToEnd::archiveMembersOrWholeArchive()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);
    SYNC_OK(d);

    // One member changed: only that member travels, and the archive ends
    // byte-identical to the published one.
    d.writeArchive({false, false, false, true});
    QVERIFY(d.publish());
    d.server()->clearAccessLog();
    SYNC_OK(d);
    QCOMPARE(d.blockRequests(), QStringList{QStringLiteral("models/gta3.img_img/member3.dff.compressed")});

    // More than half of the members changed: the archive travels whole.
    d.writeArchive({true, true, true, false, true, true, true});
    QVERIFY(d.publish());
    d.server()->clearAccessLog();
    SYNC_OK(d);
    const QStringList fetched = d.blockRequests();
    QVERIFY2(fetched.contains(QStringLiteral("models/gta3.img.b0.compressed")), qPrintable(fetched.join(QLatin1Char(' '))));
    for (const QString &block : fetched)
        QVERIFY2(!block.contains(QLatin1String("_img/")), qPrintable(block));

    // And then nothing is left to do, without hashing.
    d.server()->clearAccessLog();
    const GameTree::Run again = d.sync();
    QCOMPARE(again.exitCode, 0);
    QVERIFY(d.blockRequests().isEmpty());
}

void TestSyncEndToEnd::extrasAreDeletedButProtectedFoldersStay()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);
    SYNC_OK(d);

    const QString game = d.clientGameDir();
    QVERIFY(TestFiles::write(game + QStringLiteral("/junk.txt"), "x"));
    QVERIFY(TestFiles::write(game + QStringLiteral("/mods/deep/x.asi"), "x"));
    QVERIFY(TestFiles::write(game + QStringLiteral("/enbseries/effect.fx"), "x"));
    QVERIFY(TestFiles::write(game + QStringLiteral("/enbseries/shaders/a.fx"), "x"));
    QVERIFY(TestFiles::write(game + QStringLiteral("/compressed/cache.dat"), "kept"));
    QVERIFY(TestFiles::write(game + QStringLiteral("/data/extra.cfg"), "x"));

    const GameTree::Run run = d.sync();
    QVERIFY2(run.exitCode == 0, qPrintable(run.output));
    QVERIFY(!QFile::exists(game + QStringLiteral("/junk.txt")));
    QVERIFY(!QFile::exists(game + QStringLiteral("/mods")));
    QVERIFY(!QFile::exists(game + QStringLiteral("/data/extra.cfg")));
    QVERIFY(QFileInfo(game + QStringLiteral("/enbseries")).isDir());
    QVERIFY(!QFile::exists(game + QStringLiteral("/enbseries/effect.fx")));
    QVERIFY(!QFile::exists(game + QStringLiteral("/enbseries/shaders")));
    QCOMPARE(TestFiles::read(game + QStringLiteral("/compressed/cache.dat")), QByteArray("kept"));
}

void TestSyncEndToEnd::audioFileInThreeParts()
{
    SyncDeployment d;
    d.makeBaseGame();
    // 80 MiB and a byte: three parts of at most 40 MiB. Cheap to compress.
    QByteArray big(2 * 41943040 + 1, 'a');
    for (int i = 0; i < big.size(); i += 4096)
        big[i] = char(i / 4096);
    QVERIFY(TestFiles::write(d.sourceDir() + QStringLiteral("/audio/streams/radio"), big));
    PUBLISH_AND_SERVE(d);
    SYNC_OK(d);
    QStringList parts = d.blockRequests().filter(QStringLiteral("audio/streams/radio"));
    parts.sort();
    QCOMPARE(parts, (QStringList{QStringLiteral("audio/streams/radio.b0.compressed"),
                                 QStringLiteral("audio/streams/radio.b1.compressed"),
                                 QStringLiteral("audio/streams/radio.b2.compressed")}));
}

void TestSyncEndToEnd::redirectedBlock()
{
    SyncDeployment d;
    d.makeBaseGame();
    QString output;
    QVERIFY2(d.publish(&output), qPrintable(output));
    const QString block = QStringLiteral("/pcgamefile/filesystem/data/handling.cfg.compressed");
    QVERIFY(QDir().mkpath(d.mirrorDir() + QStringLiteral("/moved")));
    QVERIFY(QFile::rename(d.mirrorDir() + block, d.mirrorDir() + QStringLiteral("/moved/handling.cfg.compressed")));
    QVERIFY(d.serve(QStringLiteral("    location = %1 { return 302 /moved/handling.cfg.compressed; }").arg(block)));
    SYNC_OK(d);
    const QStringList log = d.server()->accessLog();
    QVERIFY(log.contains(QStringLiteral("GET %1 302").arg(block), Qt::CaseSensitive)
            || !log.filter(block + QStringLiteral(" 302")).isEmpty());
}

void TestSyncEndToEnd::corruptBlockFixedWhileClientRetries()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);
    const QString block = d.mirrorDir() + QStringLiteral("/pcgamefile/filesystem/data/maps/city/city.ipl.compressed");
    const QByteArray good = TestFiles::read(block);
    QByteArray bad = good;
    bad[bad.size() / 2] = char(bad.at(bad.size() / 2) ^ 0x55);
    QVERIFY(TestFiles::write(block, bad));

    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const auto extra = d.environment();
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        env.insert(it.key(), it.value());
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::MergedChannels);
    GameTree::startTool(client, QStringLiteral("varo-sync"), {QStringLiteral("--app-dir"), d.clientDir()});
    QVERIFY(client.waitForStarted());
    // Wait until the client has met the bad block at least twice, then mend it.
    QTRY_VERIFY_WITH_TIMEOUT(d.blockRequests().count(QStringLiteral("data/maps/city/city.ipl.compressed")) >= 2, 30000);
    QVERIFY(TestFiles::write(block, good));
    QVERIFY(client.waitForFinished(60000));
    const QString output = QString::fromUtf8(client.readAll());
    QVERIFY2(client.exitCode() == 0, qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("неверный md5-хэш")), qPrintable(output));
    const QString diff = d.differenceFromPublished();
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestSyncEndToEnd::noSyncSwitch()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);
    QVERIFY(TestFiles::write(d.clientDir() + QStringLiteral("/user.ini"), "[SERVERS]\nNoSync=1\n"));
    QVERIFY(TestFiles::write(d.clientGameDir() + QStringLiteral("/mine.txt"), "mine"));
    const GameTree::Run run = d.sync();
    QVERIFY2(run.exitCode == 0, qPrintable(run.output));
    QVERIFY(d.blockRequests().isEmpty());
    QCOMPARE(TestFiles::read(d.clientGameDir() + QStringLiteral("/mine.txt")), QByteArray("mine"));
}

void TestSyncEndToEnd::hashFileWithLineEndIsRefused()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);
    const QString hashFile = d.mirrorDir() + QStringLiteral("/launcher_api/sync.lst.hash");
    QVERIFY(TestFiles::write(hashFile, TestFiles::read(hashFile) + "\n"));
    const GameTree::Run run = d.sync();
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.output.contains(QStringLiteral("fail hash")), qPrintable(run.output));
    QVERIFY(run.output.contains(QStringLiteral("Ошибка: не удалось получить список файлов")));
    QVERIFY(d.blockRequests().isEmpty());
}

void TestSyncEndToEnd::spaceShortfallStopsTheRun()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);
    // 100 MiB free: twice the (small) download plus 3000 MiB is missing.
    const GameTree::Run run = d.sync({{QStringLiteral("VARO_TEST_FREE_BYTES"), QString::number(100 << 20)}});
    QCOMPARE(run.exitCode, 3);
    const QRegularExpression message(QStringLiteral("Недостаточно места на диске! Нужно ещё (\\d+)Mb"));
    const QRegularExpressionMatch match = message.match(run.output);
    QVERIFY2(match.hasMatch(), qPrintable(run.output));
    // Less than 1 MiB to download: (total >> 19) is 0 or 1.
    const int missing = match.captured(1).toInt();
    QVERIFY2(missing == 2900 || missing == 2901, qPrintable(match.captured(0)));
    QVERIFY(d.blockRequests().isEmpty());
}

QTEST_GUILESS_MAIN(TestSyncEndToEnd)
#include "tst_syncendtoend.moc"
