#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "service/Compression.h"
#include "signing/InstallerSignature.h"
#include "signing/ListSignature.h"
#include "signing/SecretKey.h"
#include "support/NginxServer.h"
#include "support/GameTree.h"
#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

Q_DECLARE_METATYPE(EntryKind)

namespace {

const QString PublishTool = GameTree::toolPath(QStringLiteral("varo-publish"));
constexpr quint32 MiB = 1024 * 1024;
constexpr qint64 AudioSize = qint64(2) * 40 * MiB + 1234567; // three parts

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

const QString SignTool = GameTree::toolPath(QStringLiteral("varo-sign"));

Run runTool(const QString &tool, const QStringList &arguments)
{
    QProcess process;
    process.start(tool, arguments);
    Run run;
    if (!process.waitForStarted(10000) || !process.waitForFinished(120000)) {
        run.err = process.errorString();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

Run publish(const QStringList &arguments)
{
    return runTool(PublishTool, arguments);
}

QString md5OfFile(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QByteArray unpackBlock(const QString &path, qint64 expectedSize)
{
    QByteArray out;
    if (!Compression::uncompress(TestFiles::read(path), &out, expectedSize))
        return QByteArray("<not a block of the expected size>");
    return out;
}

// Everything about a tree that a careless writer could change: entries
// (hidden ones and links too), kinds, sizes, times, permissions, contents.
QString treeDigest(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString line = base.relativeFilePath(info.filePath()) + QLatin1Char(' ')
            + QString::number(info.lastModified().toMSecsSinceEpoch()) + QLatin1Char(' ')
            + QString::number(int(info.permissions()));
        if (info.isSymLink())
            line += QStringLiteral(" link ") + info.symLinkTarget();
        else if (info.isFile())
            line += QStringLiteral(" file %1 %2").arg(info.size()).arg(md5OfFile(info.filePath()));
        else
            line += QStringLiteral(" dir");
        lines << line;
    }
    lines.sort();
    return TestFiles::md5Hex(lines.join(QLatin1Char('\n')).toUtf8());
}

QByteArray fetch(QNetworkAccessManager &manager, const QString &url, int *status)
{
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(15000);
    if (!reply->isFinished())
        loop.exec();
    *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->isFinished() ? reply->readAll() : QByteArray();
    reply->abort();
    delete reply;
    return body;
}

// The launcher's steps on a copy: convert, sort by opening and closing,
// convert again.
bool launcherRebuild(const QString &path)
{
    if (!ImgArchive::ArchiveEditor::convertToV2StaticHeader(path))
        return false;
    {
        ImgArchive::ArchiveEditor editor(path);
        if (!editor.open() || !editor.close())
            return false;
    }
    return ImgArchive::ArchiveEditor::convertToV2StaticHeader(path);
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listParsesBackAndHashMatches();
    void listHoldsEveryFolderAndFile_data();
    void listHoldsEveryFolderAndFile();
    void fileBlocksUnpackToTheirContent();
    void audioPartsJoinToTheSource();
    void archiveMembersMatchTheSource();
    void archivePartsFormTheLaunchersRebuild();
    void gameFolderIsUnchanged();
    void nginxServesTheMirror();
    void republishingReplacesTheEarlierPublication();
    void refusesWhatTheLauncherCannotCarry_data();
    void refusesWhatTheLauncherCannotCarry();
    void badArguments_data();
    void badArguments();
    void unreadableFileStopsBeforeWriting();
    void signedPublicationsCountOn();

private:
    QString blockPath(const QString &remoteName) const
    {
        return mirror.path() + QStringLiteral("/pcgamefile/filesystem/") + remoteName;
    }
    const ListingEntry *entry(const QString &path) const
    {
        const int index = published.firstEntryIndex(path);
        return index < 0 ? nullptr : &published.entries.at(index);
    }

    QTemporaryDir game;
    QTemporaryDir mirror;
    QString digestBefore;
    Run firstRun;
    QByteArray listBytes;
    FileSystem published;
    QVector<TestFiles::Member> members;
};

void TestPublish::initTestCase()
{
    QVERIFY(QFileInfo(PublishTool).isExecutable());
    QVERIFY(game.isValid() && mirror.isValid());
    const auto put = [this](const QString &path, const QByteArray &data) {
        return TestFiles::write(game.filePath(path), data);
    };
    QVERIFY(put(QStringLiteral("readme.txt"), "Varo\n"));
    QVERIFY(put(QStringLiteral("data/handling.cfg"), TestFiles::noise(10000, 1)));
    QVERIFY(put(QStringLiteral("data/maps/la/lae.ipl"), TestFiles::noise(3000, 2)));
    QVERIFY(put(QStringLiteral("data/empty.dat"), QByteArray()));
    QVERIFY(put(QStringLiteral("data/paths/paths.img"), TestFiles::noise(6000, 3)));
    QVERIFY(put(QStringLiteral("audio/config/banklkup.dat"), TestFiles::noise(500, 4)));
    QVERIFY(put(QStringLiteral("audio/streams/beats"), TestFiles::noise(1000, 5)));
    QVERIFY(QDir().mkpath(game.filePath(QStringLiteral("models/generic"))));

    // A large audio bank that packs cheaply: zeros, with distinct marks
    // around the part boundaries so that parts in the wrong order show.
    const QString audio = game.filePath(QStringLiteral("audio/sfx/genrl"));
    QVERIFY(TestFiles::sparse(audio, AudioSize));
    {
        QFile file(audio);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const qint64 marks[] = {0, 40 * MiB - 3000, 40 * MiB, 80 * MiB - 10, 80 * MiB + 5000, AudioSize - 4096};
        quint32 seed = 10;
        for (const qint64 at : marks) {
            QVERIFY(file.seek(at));
            QCOMPARE(file.write(TestFiles::noise(4096, seed++).left(int(qMin<qint64>(4096, AudioSize - at)))),
                     qMin<qint64>(4096, AudioSize - at));
        }
    }

    // Stored out of name order, with a mixed-case name and one member of
    // several sectors.
    members = {{QStringLiteral("zeta.dff"), TestFiles::noise(5000, 20)},
               {QStringLiteral("alpha.txd"), TestFiles::noise(100, 21)},
               {QStringLiteral("Mid.col"), TestFiles::noise(2048, 22)},
               {QStringLiteral("beta.ifp"), TestFiles::noise(4097, 23)}};
    QVERIFY(TestFiles::ver2Archive(game.filePath(QStringLiteral("models/gta3.img")), members));

    // Not seen by the launcher's scan: skipped with a warning.
    QVERIFY(put(QStringLiteral(".git/config"), "[core]\n"));
    QVERIFY(TestFiles::link(game.filePath(QStringLiteral("data/maps")), game.filePath(QStringLiteral("linkdir"))));

    digestBefore = treeDigest(game.path());
    firstRun = publish({game.path(), mirror.path()});
    QVERIFY2(firstRun.exitCode == 0, qPrintable(firstRun.err));
    listBytes = TestFiles::read(mirror.filePath(QStringLiteral("launcher_api/sync.lst")));
    QVERIFY(!listBytes.isEmpty());
    published.readListing(listBytes, false);
}

void TestPublish::listParsesBackAndHashMatches()
{
    const QByteArray hash = TestFiles::read(mirror.filePath(QStringLiteral("launcher_api/sync.lst.hash")));
    QCOMPARE(hash, QCryptographicHash::hash(listBytes, QCryptographicHash::Md5).toHex());
    QCOMPARE(hash.size(), 32);

    // Already in canonical order: normalising and writing again changes
    // nothing.
    FileSystem again;
    again.readListing(listBytes, false);
    again.normalize();
    QByteArray rewritten;
    again.writeListing(rewritten, false);
    QCOMPARE(rewritten, listBytes);

    QVERIFY(QFile::exists(mirror.filePath(QStringLiteral("ping.txt"))));
    // Progress as plain lines when stderr is not a terminal.
    QVERIFY2(firstRun.err.contains(QStringLiteral("[9/9] ")) && !firstRun.err.contains(QLatin1Char('\r')),
             qPrintable(firstRun.err));
    QVERIFY(firstRun.err.contains(QStringLiteral(".git")));
    QVERIFY(firstRun.err.contains(QStringLiteral("linkdir")));
    QVERIFY(!listBytes.contains(".git"));
    QVERIFY(!listBytes.contains("linkdir"));
    // The work folder is gone.
    QCOMPARE(QDir(mirror.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("launcher_api"), QStringLiteral("pcgamefile"), QStringLiteral("ping.txt")}));
}

void TestPublish::listHoldsEveryFolderAndFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<EntryKind>("kind");
    QTest::addColumn<quint32>("size");
    QTest::addColumn<quint32>("blockCount");
    QTest::addColumn<quint32>("partSize");
    QTest::newRow("root file") << "readme.txt" << EntryKind::File << 5u << 0u << 0u;
    QTest::newRow("nested file") << "data/maps/la/lae.ipl" << EntryKind::File << 3000u << 0u << 0u;
    QTest::newRow("empty file") << "data/empty.dat" << EntryKind::File << 0u << 0u << 0u;
    QTest::newRow("special img") << "data/paths/paths.img" << EntryKind::File << 6000u << 0u << 0u;
    QTest::newRow("dat under audio") << "audio/config/banklkup.dat" << EntryKind::File << 500u << 0u << 0u;
    QTest::newRow("small audio") << "audio/streams/beats" << EntryKind::AudioFile << 1000u << 1u << 1000u;
    QTest::newRow("large audio") << "audio/sfx/genrl" << EntryKind::AudioFile << quint32(AudioSize) << 3u << 41943040u;
    // 200 directory sectors and 3 + 1 + 1 + 3 member sectors.
    QTest::newRow("archive") << "models/gta3.img" << EntryKind::ImgArchive << (200u + 8u) * 2048u << 1u << 0u;
}

void TestPublish::listHoldsEveryFolderAndFile()
{
    QFETCH(QString, path);
    QFETCH(EntryKind, kind);
    QFETCH(quint32, size);
    QFETCH(quint32, blockCount);
    QFETCH(quint32, partSize);
    const ListingEntry *e = entry(path);
    QVERIFY(e);
    QCOMPARE(e->kind, kind);
    QCOMPARE(e->size, size);
    QCOMPARE(e->blockCount, blockCount);
    QCOMPARE(e->partSize, partSize);
    if (kind == EntryKind::ImgArchive) {
        QCOMPARE(e->extra, size);
        QVERIFY(e->md5.isEmpty());
    } else {
        QCOMPARE(e->md5, md5OfFile(game.filePath(path)));
    }
    QCOMPARE(published.entries.size(), 9);
    QCOMPARE(published.directories,
             (QStringList{"audio", "audio/config", "audio/sfx", "audio/streams", "data", "data/maps", "data/maps/la",
                          "data/paths", "models", "models/generic"}));
}

void TestPublish::fileBlocksUnpackToTheirContent()
{
    for (const ListingEntry &e : qAsConst(published.entries)) {
        if (e.kind != EntryKind::File)
            continue;
        const QByteArray content = unpackBlock(blockPath(e.path + QStringLiteral(".compressed")), e.size);
        QCOMPARE(TestFiles::md5Hex(content), e.md5);
        QCOMPARE(content, TestFiles::read(game.filePath(e.path)));
    }
}

void TestPublish::audioPartsJoinToTheSource()
{
    for (const ListingEntry &e : qAsConst(published.entries)) {
        if (e.kind != EntryKind::AudioFile)
            continue;
        QFile source(game.filePath(e.path));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCryptographicHash joined(QCryptographicHash::Md5);
        for (quint32 k = 0; k < e.blockCount; ++k) {
            const qint64 length = qMin<qint64>(e.partSize, qint64(e.size) - qint64(k) * e.partSize);
            const QByteArray part = unpackBlock(blockPath(e.path + QStringLiteral(".b%1.compressed").arg(k)), length);
            QCOMPARE(part.size(), int(length));
            QVERIFY2(part == source.read(length), qPrintable(QStringLiteral("part %1 of %2").arg(k).arg(e.path)));
            joined.addData(part);
        }
        QVERIFY(source.atEnd());
        QCOMPARE(QString::fromLatin1(joined.result().toHex()), e.md5);
        QVERIFY(!QFile::exists(blockPath(e.path + QStringLiteral(".b%1.compressed").arg(e.blockCount))));
    }
}

void TestPublish::archiveMembersMatchTheSource()
{
    const ListingEntry *archive = entry(QStringLiteral("models/gta3.img"));
    QVERIFY(archive);
    const QVector<ListingEntry> group = published.imgGroups.value(archive->imgId);
    QStringList names;
    for (const ListingEntry &member : group)
        names << member.name;
    QCOMPARE(names, (QStringList{"Mid.col", "alpha.txd", "beta.ifp", "zeta.dff"}));

    for (const TestFiles::Member &source : qAsConst(members)) {
        const auto found = std::find_if(group.cbegin(), group.cend(),
                                        [&](const ListingEntry &m) { return m.name == source.name; });
        QVERIFY(found != group.cend());
        const QByteArray whole = TestFiles::padded(source.data);
        QCOMPARE(found->size, quint32(whole.size()));
        QCOMPARE(found->md5, TestFiles::md5Hex(whole));
        const QByteArray block =
            unpackBlock(blockPath(QStringLiteral("models/gta3.img_img/") + source.name + QStringLiteral(".compressed")),
                        found->size);
        QCOMPARE(block, whole);
    }

    // A player whose disk holds the game's own archive converts it once;
    // the launcher's scan of that copy must give the same sums, so that
    // nothing is downloaded.
    QTemporaryDir player;
    QVERIFY(QFile::copy(game.filePath(QStringLiteral("models/gta3.img")), player.filePath(QStringLiteral("gta3.img"))));
    QVERIFY(ImgArchive::ArchiveEditor::convertToV2StaticHeader(player.filePath(QStringLiteral("gta3.img"))));
    FileSystem local;
    local.setRoot(player.path());
    local.scanFiles();
    local.readImgDirectories();
    local.hashImgItems();
    local.normalize();
    const QVector<ListingEntry> localGroup = local.imgGroups.value(local.entries.at(0).imgId);
    QCOMPARE(localGroup.size(), group.size());
    for (int i = 0; i < group.size(); ++i) {
        QCOMPARE(localGroup.at(i).name, group.at(i).name);
        QCOMPARE(localGroup.at(i).md5, group.at(i).md5);
    }
}

void TestPublish::archivePartsFormTheLaunchersRebuild()
{
    const ListingEntry *archive = entry(QStringLiteral("models/gta3.img"));
    QVERIFY(archive);
    QByteArray joined;
    for (quint32 k = 0; k < archive->blockCount; ++k) {
        const qint64 length = qMin<qint64>(FileSystem::ImgBlockSize,
                                           qint64(archive->extra) - qint64(k) * FileSystem::ImgBlockSize);
        joined += unpackBlock(blockPath(QStringLiteral("models/gta3.img.b%1.compressed").arg(k)), length);
    }
    QCOMPARE(joined.size(), int(archive->extra));
    QCOMPARE(archive->blockCount, (archive->extra + FileSystem::ImgBlockSize - 1) / FileSystem::ImgBlockSize);

    // The launcher's rebuild of a copy of the source.
    QTemporaryDir work;
    const QString copy = work.filePath(QStringLiteral("rebuilt.img"));
    QVERIFY(QFile::copy(game.filePath(QStringLiteral("models/gta3.img")), copy));
    QVERIFY(launcherRebuild(copy));
    QCOMPARE(joined, TestFiles::read(copy));

    // An archive the launcher assembles member by member from the mirror,
    // then rebuilds, ends the same.
    const QString assembled = work.filePath(QStringLiteral("assembled.img"));
    QVERIFY(ImgArchive::ArchiveEditor::createEmpty(assembled));
    {
        ImgArchive::ArchiveEditor editor(assembled);
        QVERIFY(editor.open());
        for (const ListingEntry &member : published.imgGroups.value(archive->imgId)) {
            const QByteArray data = unpackBlock(blockPath(QStringLiteral("models/gta3.img_img/") + member.name
                                                          + QStringLiteral(".compressed")),
                                                member.size);
            QVERIFY(editor.append(member.name, data));
        }
        QVERIFY(editor.close());
    }
    QVERIFY(ImgArchive::ArchiveEditor::convertToV2StaticHeader(assembled));
    QCOMPARE(TestFiles::read(assembled), joined);
    // And the published form is the rebuild's fixed point.
    QVERIFY(ImgArchive::ArchiveEditor::convertToV2StaticHeader(assembled));
    QCOMPARE(TestFiles::read(assembled), joined);
}

void TestPublish::gameFolderIsUnchanged()
{
    QCOMPARE(treeDigest(game.path()), digestBefore);
}

void TestPublish::nginxServesTheMirror()
{
    NginxServer nginx(mirror.path());
    if (!nginx.start()) {
        if (nginx.errorString().contains(QStringLiteral("not installed")))
            QSKIP("nginx is not installed");
        QFAIL(qPrintable(nginx.errorString()));
    }
    QStringList paths{QStringLiteral("/launcher_api/sync.lst"), QStringLiteral("/launcher_api/sync.lst.hash"),
                      QStringLiteral("/ping.txt")};
    QDirIterator it(mirror.filePath(QStringLiteral("pcgamefile")), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << QLatin1Char('/') + QDir(mirror.path()).relativeFilePath(it.next());
    QVERIFY(paths.size() > 15);

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    for (const QString &path : qAsConst(paths)) {
        int status = 0;
        const QByteArray body = fetch(manager, nginx.url(path), &status);
        QVERIFY2(status == 200, qPrintable(path));
        QVERIFY2(body == TestFiles::read(mirror.path() + path), qPrintable(path));
    }
    const QStringList requested = nginx.requestedPaths();
    for (const QString &path : qAsConst(paths))
        QVERIFY2(requested.contains(path), qPrintable(path));
    for (const QString &line : nginx.accessLog())
        QVERIFY2(line.startsWith(QStringLiteral("GET ")) && line.contains(QStringLiteral(" 200 ")), qPrintable(line));
}

void TestPublish::republishingReplacesTheEarlierPublication()
{
    QTemporaryDir source;
    QTemporaryDir target;
    const auto put = [&](const QString &path, const QByteArray &data) {
        return TestFiles::write(source.filePath(path), data);
    };
    QVERIFY(put(QStringLiteral("a.txt"), "stays"));
    QVERIFY(put(QStringLiteral("b.txt"), "before"));
    QVERIFY(put(QStringLiteral("gone/c.txt"), "goes"));
    QVERIFY(TestFiles::ver2Archive(source.filePath(QStringLiteral("models/cars.img")),
                                   {{QStringLiteral("old.dff"), TestFiles::noise(300, 1)},
                                    {QStringLiteral("new.dff"), TestFiles::noise(300, 2)}}));
    QCOMPARE(publish({source.path(), target.path()}).exitCode, 0);
    const QString blocks = target.path() + QStringLiteral("/pcgamefile/filesystem/");
    const QByteArray firstList = TestFiles::read(target.filePath(QStringLiteral("launcher_api/sync.lst")));

    // The same folder again: the same list, every block kept as it is.
    const QDateTime keptTime = QFileInfo(blocks + QStringLiteral("a.txt.compressed")).lastModified();
    const Run same = publish({source.path(), target.path()});
    QCOMPARE(same.exitCode, 0);
    QVERIFY2(same.err.contains(QStringLiteral(" 0 block(s) written")), qPrintable(same.err));
    QCOMPARE(TestFiles::read(target.filePath(QStringLiteral("launcher_api/sync.lst"))), firstList);

    // Changes, and things that do not belong in the block folder.
    QVERIFY(put(QStringLiteral("b.txt"), "after, longer"));
    QVERIFY(QFile::remove(source.filePath(QStringLiteral("gone/c.txt"))));
    QVERIFY(QDir(source.path()).rmdir(QStringLiteral("gone")));
    QVERIFY(TestFiles::ver2Archive(source.filePath(QStringLiteral("models/cars.img")),
                                   {{QStringLiteral("new.dff"), TestFiles::noise(300, 2)}}));
    QVERIFY(TestFiles::write(blocks + QStringLiteral("stray/x.compressed"), "x"));
    QVERIFY(TestFiles::write(blocks + QStringLiteral("a.txt.compressed.Ab12Cd"), "left by a killed run"));
    QVERIFY(TestFiles::write(target.filePath(QStringLiteral("launcher_api/api_v2.php")), "<?php"));
    QVERIFY(TestFiles::write(target.filePath(QStringLiteral(".varo-publish-old/archive/canonical.img")), "x"));

    const Run changed = publish({source.path(), target.path()});
    QVERIFY2(changed.exitCode == 0, qPrintable(changed.err));
    QVERIFY(!QFile::exists(blocks + QStringLiteral("gone/c.txt.compressed")));
    QVERIFY(!QFileInfo::exists(blocks + QStringLiteral("gone")));
    QVERIFY(!QFileInfo::exists(blocks + QStringLiteral("stray")));
    QVERIFY(!QFile::exists(blocks + QStringLiteral("a.txt.compressed.Ab12Cd")));
    QVERIFY(!QFile::exists(blocks + QStringLiteral("models/cars.img_img/old.dff.compressed")));
    QVERIFY(QFile::exists(blocks + QStringLiteral("models/cars.img_img/new.dff.compressed")));
    QVERIFY(!QFileInfo::exists(target.filePath(QStringLiteral(".varo-publish-old"))));
    QVERIFY(QFile::exists(target.filePath(QStringLiteral("launcher_api/api_v2.php"))));
    QCOMPARE(unpackBlock(blocks + QStringLiteral("b.txt.compressed"), 13), QByteArray("after, longer"));
    QCOMPARE(QFileInfo(blocks + QStringLiteral("a.txt.compressed")).lastModified(), keptTime);

    const QByteArray list = TestFiles::read(target.filePath(QStringLiteral("launcher_api/sync.lst")));
    QCOMPARE(TestFiles::read(target.filePath(QStringLiteral("launcher_api/sync.lst.hash"))),
             QCryptographicHash::hash(list, QCryptographicHash::Md5).toHex());
    QVERIFY(!list.contains("gone"));
    QVERIFY(!list.contains("old.dff"));
    QVERIFY(list.contains("new.dff"));
}

void TestPublish::refusesWhatTheLauncherCannotCarry_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("memberNames");
    QTest::addColumn<int>("generatedMembers");
    QTest::addColumn<QByteArray>("fullLengthName");
    QTest::addColumn<qint64>("sparseSize");
    QTest::addColumn<QStringList>("expected");

    const QStringList none;
    QTest::newRow("upper-case file name")
        << QStringList{"data/Car.dff"} << none << 0 << QByteArray() << qint64(0) << QStringList{"data/Car.dff"};
    QTest::newRow("upper-case folder name")
        << QStringList{"Models/car.dff"} << none << 0 << QByteArray() << qint64(0) << QStringList{"Models:"};
    QTest::newRow("blank in a name") << QStringList{"data/my file.txt"} << none << 0 << QByteArray() << qint64(0)
                                     << QStringList{"data/my file.txt"};
    QTest::newRow("every offender named") << QStringList{"A.txt", "data/b c.txt", "ok.txt"} << none << 0 << QByteArray()
                                          << qint64(0) << QStringList{"A.txt", "data/b c.txt"};
    QTest::newRow("name the launcher deletes")
        << QStringList{"data/save.tmp"} << none << 0 << QByteArray() << qint64(0) << QStringList{"data/save.tmp"};
#ifndef Q_OS_WIN // there, the test could not even create it
    QTest::newRow("device name") << QStringList{"data/nul.txt"} << none << 0 << QByteArray() << qint64(0)
                                 << QStringList{"data/nul.txt", "device"};
#endif
    QTest::newRow("member named like a device") << none << QStringList{"ok.dff", "aux.dff"} << 0 << QByteArray()
                                                << qint64(0) << QStringList{"models/gta3.img", "aux.dff"};
    QTest::newRow("member with a space") << none << QStringList{"ok.dff", "bad name.dff"} << 0 << QByteArray()
                                         << qint64(0) << QStringList{"models/gta3.img", "\"bad name.dff\""};
    QTest::newRow("member name of 24 bytes")
        << none << QStringList{"ok.dff"} << 0 << QByteArray("abcdefghijklmnopqrst.dff") << qint64(0)
        << QStringList{"models/gta3.img", "abcdefghijklmnopqrst.dff"};
    QTest::newRow("member twice") << none << QStringList{"car.dff", "CAR.DFF"} << 0 << QByteArray() << qint64(0)
                                  << QStringList{"models/gta3.img", "twice"};
    QTest::newRow("too many members") << none << none << 12799 << QByteArray() << qint64(0)
                                      << QStringList{"models/gta3.img", "12799"};
    QTest::newRow("mirror name shared") << QStringList{"models/gta3.img.b0"} << QStringList{"car.dff"} << 0
                                        << QByteArray() << qint64(0) << QStringList{"models/gta3.img.b0.compressed"};
    QTest::newRow("too large for one block")
        << none << none << 0 << QByteArray() << qint64(600) * MiB << QStringList{"data/big.bin"};
    QTest::newRow("4 GiB") << none << none << 0 << QByteArray() << (qint64(1) << 32) << QStringList{"data/big.bin"};
    QTest::newRow("empty game folder") << none << none << 0 << QByteArray() << qint64(0)
                                       << QStringList{"holds no file"};
}

void TestPublish::refusesWhatTheLauncherCannotCarry()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, memberNames);
    QFETCH(int, generatedMembers);
    QFETCH(QByteArray, fullLengthName);
    QFETCH(qint64, sparseSize);
    QFETCH(QStringList, expected);

    QTemporaryDir source;
    QTemporaryDir target;
    for (const QString &path : qAsConst(files))
        QVERIFY(TestFiles::write(source.filePath(path), "x"));
    QVector<TestFiles::Member> archive;
    for (const QString &name : qAsConst(memberNames))
        archive.append({name, TestFiles::noise(100, 1)});
    for (int i = 0; i < generatedMembers; ++i)
        archive.append({QStringLiteral("m%1.dff").arg(i, 5, 10, QLatin1Char('0')), QByteArray(), 1});
    if (!fullLengthName.isEmpty())
        archive.append({QStringLiteral("placeholder.dff"), TestFiles::noise(100, 2)});
    const QString archivePath = source.filePath(QStringLiteral("models/gta3.img"));
    if (!archive.isEmpty())
        QVERIFY(TestFiles::ver2Archive(archivePath, archive));
    if (!fullLengthName.isEmpty()) {
        // A name that fills the whole 24-byte field, without terminator.
        QCOMPARE(fullLengthName.size(), 24);
        QFile file(archivePath);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(8 + 32 * (archive.size() - 1) + 8));
        QCOMPARE(file.write(fullLengthName), qint64(24));
    }
    if (sparseSize > 0)
        QVERIFY(TestFiles::sparse(source.filePath(QStringLiteral("data/big.bin")), sparseSize));

    const Run run = publish({source.path(), target.path()});
    QCOMPARE(run.exitCode, 65);
    for (const QString &text : qAsConst(expected))
        QVERIFY2(run.err.contains(text), qPrintable(run.err));
    if (files.contains(QStringLiteral("ok.txt")))
        QVERIFY(!run.err.contains(QStringLiteral("ok.txt")));
    // Nothing was written.
    QVERIFY(QDir(target.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

void TestPublish::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString gameDir = game.path();
    const QString spare = QDir::tempPath() + QStringLiteral("/varo-publish-unused");
    QTest::newRow("none") << QStringList() << 64 << "usage:";
    QTest::newRow("one") << QStringList{gameDir} << 64 << "usage:";
    QTest::newRow("three") << QStringList{gameDir, spare, spare} << 64 << "usage:";
    QTest::newRow("unknown option") << QStringList{"--force", gameDir, spare} << 64 << "usage:";
    QTest::newRow("mirror inside the game folder")
        << QStringList{gameDir, gameDir + "/mirror"} << 64 << "must not contain";
    QTest::newRow("game folder inside the mirror")
        << QStringList{gameDir, QFileInfo(gameDir).path()} << 64 << "must not contain";
    QTest::newRow("missing game folder") << QStringList{gameDir + "/missing", spare} << 66 << "does not exist";
    QTest::newRow("game folder is a file") << QStringList{gameDir + "/readme.txt", spare} << 66 << "not a folder";
    QTest::newRow("expiry without a key") << QStringList{"--expires-in", "30", gameDir, spare} << 64 << "usage:";
    QTest::newRow("expiry of no days") << QStringList{"--key", gameDir + "/readme.txt", "--expires-in", "0", gameDir,
                                                      spare}
                                       << 64 << "usage:";
    QTest::newRow("key option without a file") << QStringList{gameDir, spare, "--key"} << 64 << "usage:";
    QTest::newRow("key file that is no key")
        << QStringList{"--key", gameDir + "/readme.txt", gameDir, spare} << 66 << "not a signing key file";
}

void TestPublish::badArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const Run run = publish(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(game.filePath(QStringLiteral("mirror"))));
    QVERIFY(!QFileInfo::exists(QDir::tempPath() + QStringLiteral("/varo-publish-unused")));

    const Run help = publish({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.startsWith(QStringLiteral("usage:")));
}

void TestPublish::unreadableFileStopsBeforeWriting()
{
#ifdef Q_OS_UNIX
    if (geteuid() == 0)
        QSKIP("root reads every file");
#endif
    QTemporaryDir source;
    QTemporaryDir target;
    QVERIFY(TestFiles::write(source.filePath(QStringLiteral("data/secret.bin")), "x"));
#ifdef Q_OS_WIN
    // Windows has no owner-only permission to take away; another program
    // that holds the file open without sharing makes it unreadable.
    QProcess holder;
    holder.start(GameTree::standInPath(),
                 {QStringLiteral("--hold"), source.filePath(QStringLiteral("data/secret.bin")), QStringLiteral("60")});
    QVERIFY(holder.waitForReadyRead(30000));
#else
    QVERIFY(QFile::setPermissions(source.filePath(QStringLiteral("data/secret.bin")), QFileDevice::WriteOwner));
#endif
    const Run run = publish({source.path(), target.path()});
    QCOMPARE(run.exitCode, 66);
    QVERIFY2(run.err.contains(QStringLiteral("data/secret.bin")), qPrintable(run.err));
    QVERIFY(QDir(target.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

// A signed mirror: each publication's serial is one more than the mirror's,
// the signature is the key's for exactly the list, and the mirror is not
// published again without the key. varo-sign makes the key and signs an
// installer.
void TestPublish::signedPublicationsCountOn()
{
    QTemporaryDir source;
    QTemporaryDir target;
    QTemporaryDir keys;
    const QString keyFile = keys.filePath(QStringLiteral("project.key"));
    const Run keygen = runTool(SignTool, {QStringLiteral("keygen"), keyFile});
    QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.err));
    const SigningKey key = SigningKey::fromText(keygen.out.trimmed());
    QVERIFY(key.isValid());
    QCOMPARE(runTool(SignTool, {QStringLiteral("keygen"), keyFile}).exitCode, 73); // never over a key

    const QString listFolder = target.filePath(QStringLiteral("launcher_api/"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QVERIFY(TestFiles::write(source.filePath(QStringLiteral("a.txt")), "one"));
    QCOMPARE(publish({QStringLiteral("--key"), keyFile, QStringLiteral("--expires-in"), QStringLiteral("30"),
                      source.path(), target.path()})
                 .exitCode,
             0);
    const QByteArray firstSignature = TestFiles::read(listFolder + QStringLiteral("sync.lst.sig"));
    ListSignature::Statement first;
    QCOMPARE(ListSignature::check(firstSignature, key, TestFiles::read(listFolder + QStringLiteral("sync.lst")), 0, now,
                                  &first),
             ListSignature::Verdict::Valid);
    QCOMPARE(first.serial, quint64(1));
    QVERIFY(qAbs(first.expires.secsTo(now.addDays(30))) < 120);

    QVERIFY(TestFiles::write(source.filePath(QStringLiteral("a.txt")), "two"));
    QCOMPARE(publish({QStringLiteral("--key"), keyFile, source.path(), target.path()}).exitCode, 0);
    const QByteArray list = TestFiles::read(listFolder + QStringLiteral("sync.lst"));
    ListSignature::Statement second;
    QCOMPARE(ListSignature::check(TestFiles::read(listFolder + QStringLiteral("sync.lst.sig")), key, list, 1, now,
                                  &second),
             ListSignature::Verdict::Valid);
    QCOMPARE(second.serial, quint64(2));
    QVERIFY(second.expires.isNull());
    QCOMPARE(ListSignature::check(firstSignature, key, list, 0, now), ListSignature::Verdict::OtherList);

    const Run unsigned_ = publish({source.path(), target.path()});
    QCOMPARE(unsigned_.exitCode, 64);
    QVERIFY2(unsigned_.err.contains(QStringLiteral("--key")), qPrintable(unsigned_.err));
    QCOMPARE(TestFiles::read(listFolder + QStringLiteral("sync.lst")), list);

    const QString installer = source.filePath(QStringLiteral("setup.exe"));
    QVERIFY(TestFiles::write(installer, "MZ setup"));
    QCOMPARE(runTool(SignTool, {QStringLiteral("installer"), keyFile, QStringLiteral("2.1"), installer}).exitCode, 0);
    QCOMPARE(InstallerSignature::check(TestFiles::read(installer + QStringLiteral(".sig")), key,
                                       QCryptographicHash::hash("MZ setup", QCryptographicHash::Sha256),
                                       QStringLiteral("2.1"), QStringLiteral("1.0.0.0")),
             InstallerSignature::Verdict::Valid);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
