#include "files/FileDownloader.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "support/SyncFixture.h"
#include "support/TestFiles.h"
#include "support/WorkLists.h"
#include "sync/SyncDiffHandler.h"

#include <QFile>
#include <QLoggingCategory>
#include <QtTest>

#include <memory>

using TestFiles::md5Hex;

// How the diff handler fills the download queue from the work it planned.
class TestSyncDiffQueue : public QObject, private SyncFixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void archiveQueueing_data();
    void archiveQueueing();
    void queuesFilesAndDirectories();

private:
    QStringList workOf() const { return WorkLists::text({diff->dirOps(), diff->fileOps(), diff->archiveOps()}); }
    void compare();
    QVector<DownloadItem> queued();

    std::unique_ptr<SyncDiffHandler> diff;
};

void TestSyncDiffQueue::init()
{
    initFixture();
    diff.reset(new SyncDiffHandler(gameDir, host.get()));
    QLoggingCategory::setFilterRules(QStringLiteral("varo.*.warning=false"));
}

void TestSyncDiffQueue::cleanup()
{
    diff.reset();
    QLoggingCategory::setFilterRules(QString());
}

void TestSyncDiffQueue::compare()
{
    diff->setListings(local.get(), cache.get(), remote.get());
    diff->compare(false);
}

QVector<DownloadItem> TestSyncDiffQueue::queued()
{
    diff->setDownloader(
        new FileDownloader(gameDir, QStringLiteral("http://127.0.0.1:9/"), host.get(), diff->downloadLedger()));
    diff->queueDownloads();
    return diff->downloader()->items();
}

void TestSyncDiffQueue::archiveQueueing_data()
{
    QTest::addColumn<int>("changed");
    QTest::addColumn<int>("added");
    // How the cache and the disk know the archive: "archive", "none", "file"
    // (a plain file in both), "broken" (remembered as an archive, now a file
    // that no longer reads as one), "was file" (remembered as a plain file,
    // now the published archive), "ver2" (an archive in the game's own form).
    QTest::addColumn<QString>("cachedAs");
    QTest::addColumn<bool>("wholeArchive");
    QTest::addColumn<bool>("createArchive");
    QTest::addColumn<int>("entryCount"); // -1: nothing queued

    QTest::newRow("4 of 10 new or changed: members only") << 2 << 2 << "archive" << false << false << 4;
    QTest::newRow("5 of 10 new or changed: whole") << 3 << 2 << "archive" << true << false << 10;
    QTest::newRow("only removals: nothing to fetch") << 0 << 0 << "archive" << false << false << -1;
    QTest::newRow("unknown to the cache: whole, created") << 0 << 0 << "none" << true << true << 10;
    QTest::newRow("cache holds a plain file: whole") << 0 << 0 << "file" << true << false << 10;
    QTest::newRow("not in the launcher's form: whole") << 1 << 0 << "ver2" << true << false << 10;
    QTest::newRow("no longer readable: whole") << 0 << 0 << "broken" << true << false << 10;
    QTest::newRow("plain file became the archive: nothing") << 0 << 0 << "was file" << false << false << -1;
}

void TestSyncDiffQueue::archiveQueueing()
{
    QFETCH(int, changed);
    QFETCH(int, added);
    QFETCH(QString, cachedAs);
    QFETCH(bool, wholeArchive);
    QFETCH(bool, createArchive);
    QFETCH(int, entryCount);
    const QString path = QStringLiteral("models/gta3.img");
    const Members members = tenMembers();
    if (cachedAs == QLatin1String("ver2")) {
        QVector<TestFiles::Member> raw;
        for (const auto &member : members)
            raw.append({member.first, member.second, 0});
        QVERIFY(TestFiles::ver2Archive(abs(path), raw));
    } else {
        archive(path, members);
    }
    settle();
    // The published archive: `added` members replace the last ones, `changed`
    // others carry new sums.
    ListingEntry &published = remote->entries[remote->firstArchiveIndex(path)];
    published.extra = 123456;
    published.blockCount = 1;
    QVector<ListingEntry> &records = remote->group(published.imgId);
    for (int i = 0; i < added; ++i)
        records[9 - i].name = QStringLiteral("new%1.dff").arg(i);
    for (int i = 0; i < changed; ++i)
        records[i].md5 = md5Hex(QByteArray::number(i));
    if (added == 0 && changed == 0 && cachedAs == QLatin1String("archive"))
        records[9].name.clear(); // published without m9
    remote->normalize();
    if (cachedAs == QLatin1String("none")) {
        QVERIFY(QFile::remove(abs(path)));
        scan(*local, false);
        scan(*cache, true);
    } else if (cachedAs == QLatin1String("file")) {
        QVERIFY(TestFiles::write(abs(path), "not an archive"));
        scan(*local, false);
        scan(*cache, true);
    } else if (cachedAs == QLatin1String("broken")) {
        QFile file(abs(path));
        QVERIFY(file.open(QIODevice::ReadWrite) && file.resize(100));
        file.close();
        scan(*local, false);
    } else if (cachedAs == QLatin1String("was file")) {
        const QByteArray bytes = TestFiles::read(abs(path));
        QVERIFY(TestFiles::write(abs(path), "not an archive"));
        scan(*cache, true);
        QVERIFY(TestFiles::write(abs(path), bytes));
        scan(*local, false);
    }

    compare();
    const QVector<DownloadItem> items = queued();
    if (entryCount < 0) {
        QVERIFY(items.isEmpty());
        QStringList work;
        if (cachedAs == QLatin1String("archive"))
            work.append(QStringLiteral("member remove models/gta3.img:m9.dff"));
        QCOMPARE(workOf(), work);
        return;
    }
    QCOMPARE(items.size(), 1);
    const DownloadItem &item = items.first();
    QCOMPARE(item.kind, EntryKind::ImgArchive);
    QCOMPARE(item.path, path);
    QCOMPARE(item.size, 123456u);
    QCOMPARE(item.partCount, 1u);
    QCOMPARE(item.wholeArchive, wholeArchive);
    QCOMPARE(item.createArchive, createArchive);
    QCOMPARE(item.entries.size(), entryCount);
    if (!wholeArchive) {
        for (const ArchiveMember &member : item.entries)
            QVERIFY2(member.first.startsWith(QLatin1String("new")) || member.first == QLatin1String("m0.dff")
                         || member.first == QLatin1String("m1.dff"),
                     qPrintable(member.first));
    }
    if (cachedAs == QLatin1String("broken"))
        QCOMPARE(workOf().filter(QStringLiteral("member add")).size(), 10);
}

void TestSyncDiffQueue::queuesFilesAndDirectories()
{
    put(QStringLiteral("keep.txt"), "k");
    settle();
    remote->readListing(QByteArrayLiteral("[directories]\nnewdir\n\n[entries]\n"
                                          "newdir/f.txt f.txt file 7 0123456789abcdef0123456789abcdef\n"
                                          "audio/sfx/genrl genrl audio_file 90000000 00 3 41943040\n"),
                        false);
    compare();
    const QVector<DownloadItem> items = queued();
    QCOMPARE(diff->downloader()->directories(), QStringList{QStringLiteral("newdir")});
    QCOMPARE(items.size(), 2);
    QCOMPARE(items.at(0).kind, EntryKind::AudioFile);
    QCOMPARE(items.at(0).path, QStringLiteral("audio/sfx/genrl"));
    QCOMPARE(items.at(0).size, 90000000u);
    QCOMPARE(items.at(0).partCount, 3u);
    QCOMPARE(items.at(0).partSize, 41943040u);
    QCOMPARE(items.at(1).kind, EntryKind::File);
    QCOMPARE(items.at(1).name, QStringLiteral("f.txt"));
    QCOMPARE(items.at(1).path, QStringLiteral("newdir/f.txt"));
    QCOMPARE(items.at(1).size, 7u);
}

QTEST_GUILESS_MAIN(TestSyncDiffQueue)
#include "tst_syncdiffqueue.moc"
