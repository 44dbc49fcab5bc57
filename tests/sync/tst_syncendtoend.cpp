// End-to-end synchronisation: varo-publish makes a mirror of a game folder,
// nginx serves it on 127.0.0.1, and varo-sync (the launcher's engine without
// a window) brings a player's folder into line with it.

#include "support/SyncDeployment.h"
#include "support/TestFiles.h"
#include "support/WindowsBuild.h"

#include "files/TempNames.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "service/Compression.h"
#include "service/PayloadCipher.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <cstdio>
#include <functional>

namespace {

// Lines that show a file being hashed during the comparison.
bool hashedAnything(const QString &output)
{
    return output.contains(QRegularExpression(QStringLiteral("Проверка целостности [^и]")));
}

// Rewrites the published sync list, and its MD5 file to match.
void editList(SyncDeployment &d, const std::function<void(QByteArray &)> &edit)
{
    const QString list = d.mirrorDir() + QStringLiteral("/launcher_api/sync.lst");
    QByteArray text = TestFiles::read(list);
    edit(text);
    TestFiles::write(list, text);
    TestFiles::write(list + QStringLiteral(".hash"), QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex());
}

// Adds lines at the end of the list's entries (before the first archive
// group), or at the end of the group of the archive models/gta3.img.
void addEntries(QByteArray &list, const QByteArray &lines)
{
    const int groups = list.indexOf("\n[img]");
    list.insert(groups < 0 ? list.size() : groups + 1, lines);
}
void addMembers(QByteArray &list, const QByteArray &lines)
{
    const QRegularExpression archive(QStringLiteral("models/gta3.img gta3.img img_archive \\d+ (\\d+) "));
    const QString id = archive.match(QString::fromUtf8(list)).captured(1);
    const QByteArray header = "[img] " + id.toUtf8() + "\n";
    const int end = list.indexOf("\n\n", list.indexOf(header));
    list.insert(end < 0 ? list.size() : end + 1, lines);
}

// The listed extra of models/gta3.img moved by delta.
void moveExtra(QByteArray &list, qint64 delta)
{
    const QRegularExpression line(QStringLiteral("(models/gta3.img gta3.img img_archive \\d+ \\d+ \\d+ )(\\d+)"));
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(list));
    const QString moved = match.captured(1) + QString::number(match.captured(2).toLongLong() + delta);
    list.replace(match.captured(0).toUtf8(), moved.toUtf8());
}

// A remembered state whose payload announces more than any cache may hold.
QByteArray stateFileBomb()
{
    PayloadCipher cipher = PayloadCipher::forCache();
    cipher.setCompressionMode(PayloadCipher::CompressNever);
    QByteArray text = cipher.encrypt(Compression::compress(QByteArray(int(PayloadCipher::MaxPlaintextSize) + 1, 'x')));
    text[1] = char(text.at(1) | 0x01); // says: compressed
    return QByteArrayLiteral("VAROBNRYLST01") + text;
}

bool setImmutable(const QString &path, bool on)
{
    return QProcess::execute(QStringLiteral("chattr"), {on ? QStringLiteral("+i") : QStringLiteral("-i"), path}) == 0;
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
    void republishedDuringTheRun();
    void noSyncSwitch();
    void hashFileWithLineEndIsRefused();
    void spaceShortfallStopsTheRun();
    void attacksSettle_data();
    void attacksSettle();

private:
    bool ready = false;
};

void TestSyncEndToEnd::initTestCase()
{
    QVERIFY(QFile::exists(GameTree::toolPath(QStringLiteral("varo-publish"))));
    QVERIFY(QFile::exists(GameTree::toolPath(QStringLiteral("varo-sync"))));
}

#define PUBLISH_AND_SERVE(d)                                                                                           \
    do {                                                                                                               \
        QString publishOutput;                                                                                         \
        QVERIFY2((d).publish(&publishOutput), qPrintable(publishOutput));                                              \
        QVERIFY2((d).serve(), qPrintable((d).server()->errorString()));                                                \
    } while (false)

// A run that ends ready with the folder exactly as published, after which a
// second run finds nothing to do: it hashes nothing and fetches no block.
// The access log keeps the first run's requests for the caller.
#define SYNC_OK(d)                                                                                                     \
    do {                                                                                                               \
        const GameTree::Run run_ = (d).sync();                                                                         \
        QVERIFY2(run_.exitCode == 0, qPrintable(run_.output));                                                         \
        const QString diff_ = (d).differenceFromPublished();                                                           \
        QVERIFY2(diff_.isEmpty(), qPrintable(diff_));                                                                  \
        const QStringList log_ = (d).server()->accessLog();                                                            \
        (d).server()->clearAccessLog();                                                                                \
        const GameTree::Run again_ = (d).sync();                                                                       \
        QVERIFY2(again_.exitCode == 0 && !hashedAnything(again_.output), qPrintable(again_.output));                   \
        QVERIFY2((d).blockRequests().isEmpty(), qPrintable((d).blockRequests().join(QLatin1Char(' '))));               \
        (d).server()->restoreAccessLog(log_);                                                                          \
    } while (false)

void TestSyncEndToEnd::firstSyncThenNothingToDo()
{
    SyncDeployment d;
    d.makeBaseGame();
    PUBLISH_AND_SERVE(d);

    const GameTree::Run first = d.sync();
    QVERIFY2(first.exitCode == 0, qPrintable(first.output));
    QVERIFY(first.output.contains(QStringLiteral("Проверка целостности старой копии игры...")));
    // The pass that checks the work of the first asks for the list only if
    // it changed: the server answers 304 and the list is not sent again.
    const QStringList lists = d.server()->accessLog().filter(QStringLiteral(" /launcher_api/sync.lst "));
    QVERIFY2(lists.size() == 2 && lists.at(1).contains(QLatin1String(" 304")), qPrintable(lists.join('\n')));
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
    QCOMPARE(fetched,
             (QStringList{QStringLiteral("data/handling.cfg.compressed"),
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
    QVERIFY2(fetched.contains(QStringLiteral("models/gta3.img.b0.compressed")),
             qPrintable(fetched.join(QLatin1Char(' '))));
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
    QCOMPARE(parts,
             (QStringList{QStringLiteral("audio/streams/radio.b0.compressed"),
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
    d.startSync(client);
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

// A publication replaced in place while a player synchronises: the blocks
// still to come hold the new content under the old names (the files are
// large, so that only some travel at once). The run notices
// that the list changed, takes the new one, and ends with the new folder.
void TestSyncEndToEnd::republishedDuringTheRun()
{
    SyncDeployment d;
    d.makeBaseGame();
    const auto writeSlowFiles = [&d](quint32 version) {
        bool written = true;
        for (int i = 0; i < 8; ++i)
            written = written
                && TestFiles::write(d.sourceDir() + QStringLiteral("/models/slow%1.dat").arg(i),
                                    TestFiles::noise((1 << 20) + 4096, version * 100 + quint32(i)));
        return written;
    };
    // The new publication is made first and put in place at the moment of
    // the switch, file by file, the way varo-publish puts a file in place
    // (a rename), the list and its hash last: the switch takes no time.
    const QString next = d.mirrorDir() + QStringLiteral(".next");
    QVERIFY(writeSlowFiles(2) && d.publish() && QDir().rename(d.mirrorDir(), next));
    QVERIFY(writeSlowFiles(1) && d.publish());
    QVERIFY(d.serve(QStringLiteral("    location ~ ^/pcgamefile/filesystem/models/slow { limit_rate 1m; }")));
    QVERIFY(writeSlowFiles(2)); // what the folder must end with
    QProcess client;
    d.startSync(client);
    // The switch while the first slow block is on its way.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(TempNames::block(d.clientGameDir() + QStringLiteral("/models/slow0.dat"))),
                             30000);
    QStringList files;
    for (QDirIterator it(next, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files << QDir(next).relativeFilePath(it.next());
    std::sort(files.begin(), files.end(), [](const QString &a, const QString &b) {
        return a.startsWith(QLatin1String("launcher_api/")) < b.startsWith(QLatin1String("launcher_api/"));
    });
    for (const QString &file : qAsConst(files))
        QVERIFY(std::rename(QFile::encodeName(next + QLatin1Char('/') + file).constData(),
                            QFile::encodeName(d.mirrorDir() + QLatin1Char('/') + file).constData())
                == 0);
    QVERIFY(client.waitForFinished(90000));
    const QString output = QString::fromUtf8(client.readAll());
    QVERIFY2(client.exitCode() == 0, qPrintable(output));
    // The change was seen during the download (the hash file asked for once
    // more before the list), not by the pass after it.
    const QString asked =
        d.server()->requestedPaths().filter(QRegularExpression(QStringLiteral("^/launcher_api/sync"))).join(' ');
    QVERIFY2(asked.contains(QStringLiteral("sync.lst.hash /launcher_api/sync.lst.hash")), qPrintable(asked));
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

// Hostile lists and planted folders: each run keeps to the game folder and
// ends (ready, or stopped with the file named), and a run against the sound
// list then settles as published.
void TestSyncEndToEnd::attacksSettle_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    const QString ready = QStringLiteral("Готово к игре!");
    const bool windows = !WindowsBuild::folder().isEmpty();
    QTest::newRow("extra below the archive's size") << "extra -4096" << 0 << ready;
    QTest::newRow("extra above the archive's size") << "extra +1000000" << 0 << ready;
    QTest::newRow("game-form archive of 13,000 members") << "big ver2" << 0 << ready;
    QTest::newRow("hidden name") << "list text/.hidden" << 0 << ready;
    QTest::newRow("capitals") << "list Data/Extra.cfg" << 0 << ready;
    QTest::newRow("file and folder at one path") << "list data/maps" << 0 << ready;
    QTest::newRow("part-count bomb") << "list bomb" << 0 << ready;
    QTest::newRow("members differing in case") << "member MEMBER3.DFF 2048" << 0 << ready;
    QTest::newRow("member named like the header") << "member v2staticHeader.v2sh 2048" << 0 << ready;
    QTest::newRow("empty member") << "member empty.dff 0" << 0 << ready;
    // Under Wine every folder made costs a trip to its server: 40,000 take
    // longer than a run is given.
    if (!windows)
        QTest::newRow("40,000 new folders") << "folders" << 0 << ready;
    QTest::newRow("state-file bomb") << "state bomb" << 0 << QStringLiteral("Проверка целостности старой копии игры");
    // Links to files made on Linux: Wine shows a Windows program such a link
    // as the file itself, and Windows makes none without privileges (links to
    // folders, junctions, are refused in the sync and download suites there).
    if (!windows) {
        QTest::newRow("dangling temporary link") << "temp link" << 0 << ready;
        QTest::newRow("link swapped in at an archive") << "archive link" << 0 << ready;
    }
    QTest::newRow("file that cannot be replaced")
        << "immutable" << 4 << QStringLiteral("Ошибка: не удалось сохранить файл data/handling.cfg");
    // Only Windows keeps a file that another program holds open from being
    // replaced: the run waits a little each time, then stops and says why.
    if (windows)
        QTest::newRow("file held open by another program")
            << "held" << 4 << QStringLiteral("Файл занят другой программой");
}

void TestSyncEndToEnd::attacksSettle()
{
    QFETCH(QString, attack);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const QByteArray md5 = QCryptographicHash::hash("x", QCryptographicHash::Md5).toHex();
    const QString slowBlock = QStringLiteral("/pcgamefile/filesystem/data/handling.cfg.compressed");

    const bool many = attack == QLatin1String("folders") || attack == QLatin1String("big ver2");
    SyncDeployment d(many ? SyncDeployment::memoryBackedDir() : QString());
    d.makeBaseGame();
    if (attack.startsWith(QLatin1String("extra")))
        d.writeArchive({}, 17 << 20); // two parts, the last shorter
    if (attack == QLatin1String("big ver2")) {
        QVector<TestFiles::Member> members;
        for (int i = 0; i < 13000; ++i)
            members.append({QStringLiteral("m%1.dff").arg(i), QByteArray::number(i)});
        QVERIFY(TestFiles::ver2Archive(d.sourceDir() + QStringLiteral("/multiplayer_c/models/big.img"), members));
    }
    QString output;
    QVERIFY2(d.publish(&output), qPrintable(output));
    const QString list = d.mirrorDir() + QStringLiteral("/launcher_api/sync.lst");
    QVERIFY(d.serve(attack == QLatin1String("archive link")
                        ? QStringLiteral("    location = %1 { limit_rate 1k; }").arg(slowBlock)
                        : QString()));
    QTemporaryDir outsideDir;
    const QString outside = outsideDir.path();
    QVERIFY(TestFiles::write(outside + QStringLiteral("/kept.txt"), "outside"));
    const QString game = d.clientGameDir();

    const bool planted = attack == QLatin1String("state bomb") || attack.endsWith(QLatin1String(" link"))
        || attack == QLatin1String("immutable") || attack == QLatin1String("held");
    if (planted) {
        SYNC_OK(d);
        // A new publication: one plain file and one member changed.
        QVERIFY(TestFiles::write(d.sourceDir() + QStringLiteral("/data/handling.cfg"), TestFiles::noise(6000, 9)));
        d.writeArchive({false, false, false, true});
        QVERIFY(d.publish());
    }
    const QByteArray soundList = TestFiles::read(list);
    if (attack.startsWith(QLatin1String("extra")))
        editList(d, [&](QByteArray &text) { moveExtra(text, attack.mid(6).toLongLong()); });
    else if (attack.startsWith(QLatin1String("list ")) || attack == QLatin1String("folders"))
        editList(d, [&](QByteArray &text) {
            if (attack == QLatin1String("folders")) {
                QByteArray folders("many\n");
                for (int i = 0; i < 40000; ++i)
                    folders += "many/d" + QByteArray::number(i) + '\n';
                text.insert(text.indexOf("\n\n[entries]") + 1, folders);
            } else if (attack.endsWith(QLatin1String("bomb"))) {
                addEntries(text, "audio/sfx/bomb bomb audio_file 4294967295 " + md5 + " 4294967295 1\n");
            } else {
                const QByteArray path = attack.mid(5).toUtf8();
                addEntries(text, path + ' ' + path.mid(path.lastIndexOf('/') + 1) + " file 1 " + md5 + '\n');
            }
        });
    else if (attack.startsWith(QLatin1String("member ")))
        editList(d, [&](QByteArray &text) { addMembers(text, attack.mid(7).toUtf8() + ' ' + md5 + '\n'); });
    else if (attack == QLatin1String("state bomb"))
        QVERIFY(TestFiles::write(d.clientDir() + QStringLiteral("/varo_launcher.bin"), stateFileBomb()));
    else if (attack == QLatin1String("archive link"))
        QVERIFY(QFile::copy(game + QStringLiteral("/models/gta3.img"), outside + QStringLiteral("/gta3.img")));
    else if (attack == QLatin1String("temp link"))
        QVERIFY(QFile::link(outside + QStringLiteral("/created"),
                            TempNames::block(game + QStringLiteral("/data/handling.cfg"))));
    else if (attack == QLatin1String("immutable") && !setImmutable(game + QStringLiteral("/data/handling.cfg"), true))
        QSKIP("chattr +i is not available here");
    QProcess holder;
    if (attack == QLatin1String("held")) {
        WindowsBuild::start(holder, GameTree::standInPath(),
                            {QStringLiteral("--hold"), game + QStringLiteral("/data/handling.cfg"),
                             QStringLiteral("600")});
        QVERIFY(holder.waitForReadyRead(60000));
    }
    const auto outsideBefore = GameTree::digest(outside);

    GameTree::Run run;
    if (attack == QLatin1String("archive link")) {
        // While the slow block arrives, the archive that is edited next
        // becomes a link to an archive outside the game folder.
        QProcess client;
        d.startSync(client);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(TempNames::block(game + QStringLiteral("/data/handling.cfg"))), 30000);
        QVERIFY(QFile::remove(game + QStringLiteral("/models/gta3.img")));
        QVERIFY(QFile::link(outside + QStringLiteral("/gta3.img"), game + QStringLiteral("/models/gta3.img")));
        QVERIFY(client.waitForFinished(120000));
        run.exitCode = client.exitCode();
        run.output = QString::fromUtf8(client.readAll());
    } else {
        run = d.sync();
    }
    if (attack == QLatin1String("immutable"))
        setImmutable(game + QStringLiteral("/data/handling.cfg"), false);
    if (holder.state() != QProcess::NotRunning) {
        holder.kill();
        holder.waitForFinished(30000);
    }
    QVERIFY2(run.exitCode == exitCode && run.output.contains(says), qPrintable(run.output));
    QCOMPARE(GameTree::difference(GameTree::digest(outside), outsideBefore), QString());
    if (attack == QLatin1String("immutable") || attack == QLatin1String("held")) {
        // Everything else of the new publication is in place.
        QCOMPARE(d.differenceFromPublished(), QStringLiteral("differs: data/handling.cfg"));
    }

    if (!attack.startsWith(QLatin1String("extra")) && attack != QLatin1String("big ver2")) {
        TestFiles::write(list, soundList);
        TestFiles::write(list + QStringLiteral(".hash"),
                         QCryptographicHash::hash(soundList, QCryptographicHash::Md5).toHex());
    }
    SYNC_OK(d);
}

QTEST_GUILESS_MAIN(TestSyncEndToEnd)
#include "tst_syncendtoend.moc"
