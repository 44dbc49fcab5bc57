#include "files/FileSystem.h"
#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(EntryKind)

namespace {

const ListingEntry *entryAt(const FileSystem &fs, const QString &path)
{
    const int index = fs.firstEntryIndex(path);
    return index < 0 ? nullptr : &fs.entries.at(index);
}

} // namespace

class TestFileSystem : public QObject
{
    Q_OBJECT

private slots:
    void classifiesFiles_data();
    void classifiesFiles();
    void scanSkipsHiddenAndLinksAndLowersNames();
    void audioPartBoundary_data();
    void audioPartBoundary();
    void sizeIsCutTo32Bits();
    void readsArchiveDirectories();
    void brokenArchivesBecomePlainFiles_data();
    void brokenArchivesBecomePlainFiles();
    void hashesFilesWithProgress();
    void hashingStopsAtUnreadableFile();
    void hashesArchiveMembersBySeeking();
    void modificationTimesStopAtMissingFile();
};

void TestFileSystem::classifiesFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<EntryKind>("kind");
    QTest::newRow("archive") << "models/gta3.img" << EntryKind::ImgArchive;
    QTest::newRow("paths.img is data") << "data/paths/paths.img" << EntryKind::File;
    QTest::newRow("anim.img is data") << "anim/anim.img" << EntryKind::File;
    QTest::newRow("custom.img is data") << "custom.img" << EntryKind::File;
    QTest::newRow("dat under audio") << "audio/config/banklkup.dat" << EntryKind::File;
    QTest::newRow("audio bank") << "audio/sfx/genrl" << EntryKind::AudioFile;
    QTest::newRow("prefix only") << "audiox.bin" << EntryKind::AudioFile;
    QTest::newRow("plain") << "data/handling.cfg" << EntryKind::File;
}

void TestFileSystem::classifiesFiles()
{
    QFETCH(QString, path);
    QFETCH(EntryKind, kind);
    QTemporaryDir dir;
    QVERIFY(TestFiles::write(dir.filePath(path), "x"));
    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    QCOMPARE(fs.entries.size(), 1);
    QCOMPARE(fs.entries.at(0).path, path);
    QCOMPARE(fs.entries.at(0).name, path.mid(path.lastIndexOf(QLatin1Char('/')) + 1));
    QCOMPARE(fs.entries.at(0).kind, kind);
}

void TestFileSystem::scanSkipsHiddenAndLinksAndLowersNames()
{
    QTemporaryDir dir;
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("Data/Sub/File.TXT")), "x"));
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral(".hidden/inside.txt")), "x"));
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("data2/.secret")), "x"));
    QVERIFY(TestFiles::link(dir.filePath(QStringLiteral("Data")), dir.filePath(QStringLiteral("linkdir"))));
#ifndef Q_OS_WIN // file links need privileges there
    QVERIFY(
        TestFiles::link(dir.filePath(QStringLiteral("Data/Sub/File.TXT")), dir.filePath(QStringLiteral("link.txt"))));
#endif

    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanDirectories();
    fs.scanFiles();
    fs.normalize();
    QCOMPARE(fs.directories,
             (QStringList{QStringLiteral("data"), QStringLiteral("data/sub"), QStringLiteral("data2")}));
    QCOMPARE(fs.entries.size(), 1);
    QCOMPARE(fs.entries.at(0).path, QStringLiteral("data/sub/file.txt"));
}

void TestFileSystem::audioPartBoundary_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<quint32>("blocks");
    QTest::addColumn<quint32>("partSize");
    QTest::newRow("small") << qint64(1000) << 1u << 1000u;
    QTest::newRow("exactly 60 MiB") << qint64(62914560) << 1u << 62914560u;
    QTest::newRow("one byte more") << qint64(62914561) << 2u << 41943040u;
    QTest::newRow("three parts") << qint64(41943040) * 2 + 1 << 3u << 41943040u;
}

void TestFileSystem::audioPartBoundary()
{
    QFETCH(qint64, size);
    QFETCH(quint32, blocks);
    QFETCH(quint32, partSize);
    QTemporaryDir dir;
    QVERIFY(TestFiles::sparse(dir.filePath(QStringLiteral("audio/streams/radio")), size));
    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    QCOMPARE(fs.entries.size(), 1);
    QCOMPARE(fs.entries.at(0).kind, EntryKind::AudioFile);
    QCOMPARE(fs.entries.at(0).blockCount, blocks);
    QCOMPARE(fs.entries.at(0).partSize, partSize);
}

void TestFileSystem::sizeIsCutTo32Bits()
{
    QTemporaryDir dir;
    QVERIFY(TestFiles::sparse(dir.filePath(QStringLiteral("big.bin")), (qint64(1) << 32) + 5));
    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    QCOMPARE(fs.entries.at(0).size, 5u);
}

void TestFileSystem::readsArchiveDirectories()
{
    QTemporaryDir dir;
    // Two archives; one between them holds only zero-length records and
    // becomes a plain file without using up a number.
    QVERIFY(TestFiles::ver2Archive(dir.filePath(QStringLiteral("a.img")),
                                   {{QStringLiteral("one.dff"), TestFiles::noise(3000, 1)},
                                    {QStringLiteral("has space.txd"), "x"},
                                    {QStringLiteral("Two.TXD"), TestFiles::noise(10, 2)},
                                    {QStringLiteral("x.dff\nzz.txd"), "y"}}));
    QVERIFY(TestFiles::ver2Archive(dir.filePath(QStringLiteral("b.img")),
                                   {{QStringLiteral("empty.dff"), QByteArray(), 0}}));
    QVERIFY(TestFiles::ver2Archive(dir.filePath(QStringLiteral("c.img")), {{QStringLiteral("three.col"), "c"}}));

    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    fs.normalize();
    fs.readImgDirectories();

    const ListingEntry *a = entryAt(fs, QStringLiteral("a.img"));
    const ListingEntry *b = entryAt(fs, QStringLiteral("b.img"));
    const ListingEntry *c = entryAt(fs, QStringLiteral("c.img"));
    QVERIFY(a && b && c);
    QCOMPARE(a->kind, EntryKind::ImgArchive);
    QCOMPARE(a->imgId, 0);
    QCOMPARE(b->kind, EntryKind::File);
    QCOMPARE(b->imgId, -1);
    QCOMPARE(c->imgId, 1);
    QCOMPARE(fs.imgCursor, 2);

    const QVector<ListingEntry> members = fs.imgGroups.value(0);
    QCOMPARE(members.size(), 2); // the names with a space or a line feed are skipped
    QCOMPARE(members.at(0).name, QStringLiteral("one.dff"));
    QCOMPARE(members.at(0).size, 4096u);
    QCOMPARE(members.at(0).imgOffset, 1u);
    QCOMPARE(members.at(1).name, QStringLiteral("Two.TXD")); // case as stored
    QCOMPARE(members.at(1).imgOffset, 4u);
    QCOMPARE(fs.imgArchiveSizeEstimate(*a), 409600u + 4096u + 2048u);
    QCOMPARE(a->blockCount, 1u);

    // What the scan found survives the text form of the remembered state.
    QByteArray text;
    fs.writeListing(text, true);
    Listing reread;
    reread.readListing(text, true);
    QCOMPARE(reread.listingDigest(true), fs.listingDigest(true));
    QCOMPARE(reread.imgGroups.keys(), fs.imgGroups.keys());
}

void TestFileSystem::brokenArchivesBecomePlainFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray header("VER2");
    QByteArray count(4, '\0');
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("short header") << QByteArray("VER2\1");
    qToLittleEndian<qint32>(0, count.data());
    QTest::newRow("count zero") << header + count;
    qToLittleEndian<qint32>(-5, count.data());
    QTest::newRow("negative count") << header + count;
    qToLittleEndian<qint32>(3, count.data());
    QTest::newRow("directory beyond end") << header + count + QByteArray(40, 'x');
    qToLittleEndian<qint32>(0x7fffffff, count.data());
    QTest::newRow("huge count") << header + count + QByteArray(4096, '\0');
}

void TestFileSystem::brokenArchivesBecomePlainFiles()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("models/gta3.img")), bytes));
    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    fs.readImgDirectories();
    QCOMPARE(fs.entries.at(0).kind, EntryKind::File);
    QVERIFY(fs.imgGroups.isEmpty());
}

void TestFileSystem::hashesFilesWithProgress()
{
    QTemporaryDir dir;
    const QByteArray big = TestFiles::noise(3 << 20, 7);
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("a.txt")), "alpha"));
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("b.bin")), big));
    QVERIFY(TestFiles::ver2Archive(dir.filePath(QStringLiteral("c.img")), {{QStringLiteral("m.dff"), "m"}}));
    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    fs.normalize();
    fs.readImgDirectories();

    QSignalSpy progress(&fs, &FileSystem::updateProgressBar);
    QSignalSpy current(&fs, &FileSystem::updateCurrentFile);
    fs.hashFiles();
    QCOMPARE(entryAt(fs, QStringLiteral("a.txt"))->md5, TestFiles::md5Hex("alpha"));
    QCOMPARE(entryAt(fs, QStringLiteral("b.bin"))->md5, TestFiles::md5Hex(big));
    QVERIFY(entryAt(fs, QStringLiteral("c.img"))->md5.isEmpty()); // archives are hashed by member
    QCOMPARE(current.size(), 2);
    QCOMPARE(current.at(0).at(0).toString(), QStringLiteral("a.txt"));
    QCOMPARE(progress.size(), 2);
    QCOMPARE(progress.at(0), (QVariantList{quint64(3), quint64(1)}));
    QCOMPARE(progress.at(1), (QVariantList{quint64(3), quint64(2)}));
}

void TestFileSystem::hashingStopsAtUnreadableFile()
{
    QTemporaryDir dir;
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("a.txt")), "a"));
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("c.txt")), "c"));
    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    ListingEntry missing;
    missing.name = QStringLiteral("b.txt");
    missing.path = QStringLiteral("b.txt");
    fs.entries.append(missing);
    fs.normalize();
    fs.hashFiles();
    QCOMPARE(entryAt(fs, QStringLiteral("a.txt"))->md5, TestFiles::md5Hex("a"));
    QVERIFY(entryAt(fs, QStringLiteral("b.txt"))->md5.isEmpty());
    QVERIFY(entryAt(fs, QStringLiteral("c.txt"))->md5.isEmpty());
}

void TestFileSystem::hashesArchiveMembersBySeeking()
{
    QTemporaryDir dir;
    const QByteArray one = TestFiles::noise(5000, 3);
    QVERIFY(TestFiles::ver2Archive(dir.filePath(QStringLiteral("models/a.img")),
                                   {{QStringLiteral("one.dff"), one}, {QStringLiteral("two.txd"), "two"}}));
    QVERIFY(TestFiles::ver2Archive(dir.filePath(QStringLiteral("models/b.img")), {{QStringLiteral("three.col"), "3"}}));
    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    fs.normalize();
    fs.readImgDirectories();
    QSignalSpy progress(&fs, &FileSystem::updateProgressBar);
    fs.hashImgItems();

    QByteArray padded = one;
    padded.append(QByteArray(6144 - one.size(), '\0'));
    const QVector<ListingEntry> a = fs.imgGroups.value(0);
    QCOMPARE(a.at(0).md5, TestFiles::md5Hex(padded)); // whole sectors
    QCOMPARE(a.at(1).md5, TestFiles::md5Hex(QByteArray("two") + QByteArray(2045, '\0')));
    QCOMPARE(progress.size(), 3);
    QCOMPARE(progress.last(), (QVariantList{quint64(3), quint64(3)}));
}

void TestFileSystem::modificationTimesStopAtMissingFile()
{
    QTemporaryDir dir;
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("a.txt")), "a"));
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("c.txt")), "c"));
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1600000000);
    for (const char *name : {"a.txt", "c.txt"}) {
        QFile file(dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
    }
    FileSystem fs;
    fs.setRoot(dir.path());
    fs.scanFiles();
    ListingEntry missing;
    missing.name = QStringLiteral("b.txt");
    missing.path = QStringLiteral("b.txt");
    fs.entries.append(missing);
    fs.normalize();
    fs.readModificationTimes();
    QCOMPARE(entryAt(fs, QStringLiteral("a.txt"))->mtime, 1600000000u);
    QCOMPARE(entryAt(fs, QStringLiteral("b.txt"))->mtime, 0u);
    QCOMPARE(entryAt(fs, QStringLiteral("c.txt"))->mtime, 0u);
}

QTEST_GUILESS_MAIN(TestFileSystem)
#include "tst_filesystem.moc"
