#include "files/FileDownloader.h"
#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "service/ProcessState.h"
#include "support/TestFiles.h"
#include "support/WorkLists.h"
#include "sync/ListingSanitizer.h"
#include "sync/SyncDiffHandler.h"
#include "sync/SyncHost.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using ImgArchive::ArchiveEditor;
using Members = QVector<QPair<QString, QByteArray>>;

namespace {

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray padded(const QByteArray &data)
{
    return data + QByteArray(int((2048 - data.size() % 2048) % 2048), '\0');
}

// The worker as the diff handler sees it: every call is logged in order, and
// saving normalises the cache listing as the real save does.
class FakeHost final : public SyncHost
{
public:
    void updateProgressBar(quint64 total, quint64 done) override
    {
        events.append(QStringLiteral("bar %1/%2").arg(total).arg(done));
    }
    void updateCurrentFile(const QString &currentFile, const QString &speed) override
    {
        events.append(QStringLiteral("file ") + currentFile + speed);
    }
    QSet<QString> &pendingRebuilds() override { return rebuilds; }
    void saveCacheListing() override
    {
        events.append(QStringLiteral("save"));
        ++saves;
        if (cache) {
            cache->normalize();
            cache->writeListing(saved, true);
        }
    }
    void finishAndQuit() override { ++finishes; }
    void workDone() override { ++done; }
    void workFailed(const WorkFailure &failure) override { failures << failure.path; }

    Listing *cache = nullptr;
    QStringList events;
    QSet<QString> rebuilds;
    QByteArray saved;
    int saves = 0;
    int finishes = 0;
    int done = 0;
    QStringList failures;
};

const ListingEntry *entryAt(const Listing &listing, const QString &path)
{
    const int index = listing.firstEntryIndex(path);
    return index < 0 ? nullptr : &listing.entries.at(index);
}

const ListingEntry *recordIn(const Listing &listing, const QString &archive, const QString &name)
{
    const ListingEntry *entry = entryAt(listing, archive);
    if (!entry || !listing.imgGroups.contains(entry->imgId))
        return nullptr;
    const QVector<ListingEntry> &records = *listing.imgGroups.find(entry->imgId);
    for (const ListingEntry &record : records) {
        if (record.name == name)
            return &record;
    }
    return nullptr;
}

// The work lists as text, sorted: "dir add x", "file update y", "member remove a.img:m".
QStringList workOf(const SyncDiffHandler &diff)
{
    return WorkLists::text({diff.dirOps(), diff.fileOps(), diff.archiveOps()});
}

void copyListing(const Listing &from, Listing &to, bool withTimes)
{
    Listing source = from;
    QByteArray bytes;
    source.writeListing(bytes, withTimes);
    to.clear();
    to.readListing(bytes, withTimes);
    to.normalize();
}

// Ten members m0.dff ... m9.dff of one to three sectors.
Members tenMembers()
{
    Members members;
    for (int i = 0; i < 10; ++i)
        members.append({QStringLiteral("m%1.dff").arg(i), TestFiles::noise(1000 + 1500 * (i % 3), quint32(i + 1))});
    return members;
}

// Empty when the archive is in the canonical form: V2SH, directory sorted by
// name, members packed from sector 200 in that order, the file ending after
// the last one, contents as expected.
QString canonicalProblem(const QString &path, const QMap<QString, QByteArray> &members)
{
    if (!ArchiveEditor::isV2StaticHeader(path))
        return QStringLiteral("not V2SH");
    ArchiveEditor editor(path);
    if (!editor.openReadOnly())
        return QStringLiteral("does not open");
    quint32 sector = 200;
    QStringList names;
    for (int i = 0; i < editor.directory().size(); ++i) {
        const ImgDirEntry &entry = editor.directory().at(i);
        names.append(entry.name);
        if (entry.startSector != sector)
            return QStringLiteral("%1 starts at %2, not %3").arg(entry.name).arg(entry.startSector).arg(sector);
        if (editor.read(i) != padded(members.value(entry.name)))
            return QStringLiteral("content of ") + entry.name;
        sector += entry.sectors();
    }
    if (names != QStringList(members.keys()))
        return QStringLiteral("members ") + names.join(QLatin1Char(','));
    if (QFileInfo(path).size() != qint64(sector) * 2048)
        return QStringLiteral("size %1").arg(QFileInfo(path).size());
    return QString();
}

} // namespace

class TestSyncDiffHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unchangedDiskAndList_data();
    void unchangedDiskAndList();
    void hashesChangedFilesThenArchivesThenSaves();
    void changedFilesAreHashedAgain_data();
    void changedFilesAreHashedAgain();
    void unreadableFileDoesNotEndCompare_data();
    void unreadableFileDoesNotEndCompare();
    void keptFoldersAndFiles();
    void archiveQueueing_data();
    void archiveQueueing();
    void queuesFilesAndDirectories();
    void removesMembersFilesAndDirectories();
    void foreignArchiveIsNeverRewritten();
    void unsafePathsAreNeverTouched();
    void stopRequestEndsCompare();
    void commitFileAndMember();
    void commitArchive();
    void rebuildLeavesArchivesCanonical();
    void addCachedDirectory();
    void sanitizeListing_data();
    void sanitizeListing();

private:
    QString abs(const QString &relative) const { return gameDir + QLatin1Char('/') + relative; }
    void put(const QString &relative, const QByteArray &data) { QVERIFY(TestFiles::write(abs(relative), data)); }
    void archive(const QString &relative, const Members &members);
    void setMtime(const QString &relative, qint64 secs);
    void scan(Listing &into, bool hashed);
    // The disk as it is now: scanned into the local listing, remembered
    // (hashed, with times) in the cache, and published as the sync list.
    void settle();
    void compare(bool oldCopy = false);
    QVector<DownloadItem> queued();

    std::unique_ptr<QTemporaryDir> scratch;
    QString gameDir;
    std::unique_ptr<FileSystem> local;
    std::unique_ptr<FileSystem> cache;
    std::unique_ptr<FileSystem> remote;
    std::unique_ptr<FakeHost> host;
    std::unique_ptr<SyncDiffHandler> diff;
};

void TestSyncDiffHandler::init()
{
    scratch.reset(new QTemporaryDir);
    QVERIFY(scratch->isValid());
    gameDir = scratch->path() + QStringLiteral("/gtasa");
    QVERIFY(QDir().mkpath(gameDir));
    local.reset(new FileSystem);
    cache.reset(new FileSystem);
    remote.reset(new FileSystem);
    host.reset(new FakeHost);
    host->cache = cache.get();
    diff.reset(new SyncDiffHandler(gameDir, host.get()));
    diff->setListings(local.get(), cache.get(), remote.get());
    QLoggingCategory::setFilterRules(QStringLiteral("varo.*.warning=false"));
}

void TestSyncDiffHandler::cleanup()
{
    ProcessState::exitRequested = false;
    diff.reset();
    QLoggingCategory::setFilterRules(QString());
}

void TestSyncDiffHandler::archive(const QString &relative, const Members &members)
{
    QDir().mkpath(QFileInfo(abs(relative)).absolutePath());
    QVERIFY(ArchiveEditor::createEmpty(abs(relative)));
    ArchiveEditor editor(abs(relative));
    QVERIFY(editor.open());
    for (const auto &member : members)
        QVERIFY(editor.append(member.first, member.second));
    QVERIFY(editor.close());
}

void TestSyncDiffHandler::setMtime(const QString &relative, qint64 secs)
{
    QFile file(abs(relative));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(secs), QFileDevice::FileModificationTime));
}

void TestSyncDiffHandler::scan(Listing &into, bool hashed)
{
    FileSystem fs;
    fs.setRoot(gameDir);
    fs.scanDirectories();
    fs.scanFiles();
    fs.readImgDirectories();
    fs.readModificationTimes();
    if (hashed) {
        fs.hashFiles();
        fs.hashImgItems();
    }
    into.clear();
    copyListing(fs, into, true);
}

void TestSyncDiffHandler::settle()
{
    scan(*local, false);
    scan(*cache, true);
    copyListing(*cache, *remote, false);
}

void TestSyncDiffHandler::compare(bool oldCopy)
{
    diff->setListings(local.get(), cache.get(), remote.get());
    diff->compare(oldCopy);
}

QVector<DownloadItem> TestSyncDiffHandler::queued()
{
    diff->setDownloader(new FileDownloader(gameDir, QStringLiteral("http://127.0.0.1:9/"), host.get(), diff.get()));
    diff->queueDownloads();
    return diff->downloader()->items();
}

// With nothing changed on disk and in the list, nothing is read and nothing
// saved; after a first synchronisation the old copy is compared in full and
// gives no work either.
void TestSyncDiffHandler::unchangedDiskAndList_data()
{
    QTest::addColumn<bool>("oldCopy");
    QTest::addColumn<int>("saves");
    QTest::newRow("fast path") << false << 0;
    QTest::newRow("old copy") << true << 1;
}

void TestSyncDiffHandler::unchangedDiskAndList()
{
    QFETCH(bool, oldCopy);
    QFETCH(int, saves);
    put(QStringLiteral("data/a.txt"), "alpha");
    put(QStringLiteral("audio/sfx/genrl"), "bank");
    archive(QStringLiteral("models/gta3.img"), tenMembers());
    settle();
    // Content that differs from the cache but keeps size and time: only a
    // read would notice, and no read happens.
    put(QStringLiteral("data/a.txt"), "ALPHA");
    setMtime(QStringLiteral("data/a.txt"), qint64(entryAt(*cache, QStringLiteral("data/a.txt"))->mtime));
    scan(*local, false);

    compare(oldCopy);
    QCOMPARE(host->events.filter(QStringLiteral("file")), QStringList());
    QCOMPARE(host->saves, saves);
    QVERIFY(!diff->hasWork());
}

// Changed files are hashed in listing order, then the archive members with
// the bar, then the cache is saved, all before any decision.
void TestSyncDiffHandler::hashesChangedFilesThenArchivesThenSaves()
{
    put(QStringLiteral("a.txt"), "a");
    settle();
    put(QStringLiteral("b.txt"), "b");
    put(QStringLiteral("c.txt"), "c");
    // A converted archive keeps its source order (z before a); hashing must
    // leave it byte for byte as it is.
    QVERIFY(TestFiles::ver2Archive(abs(QStringLiteral("models/gta3.img")),
                                   {{QStringLiteral("z.dff"), "zz", 0}, {QStringLiteral("a.dff"), "aa", 0},
                                    {QStringLiteral("m.txd"), "mm", 0}}));
    QVERIFY(ArchiveEditor::convertToV2StaticHeader(abs(QStringLiteral("models/gta3.img"))));
    const QByteArray archiveBytes = TestFiles::read(abs(QStringLiteral("models/gta3.img")));
    scan(*local, false);
    scan(*remote, true);

    compare();
    const QStringList expected{
        QStringLiteral("file b.txt"),           QStringLiteral("file c.txt"),
        QStringLiteral("bar 3/0"),              QStringLiteral("file models/gta3.img"),
        QStringLiteral("bar 3/1"),              QStringLiteral("file models/gta3.img"),
        QStringLiteral("bar 3/2"),              QStringLiteral("file models/gta3.img"),
        QStringLiteral("bar 3/3"),              QStringLiteral("file "),
        QStringLiteral("bar 0/1"),              QStringLiteral("save")};
    QCOMPARE(host->events, expected);
    QCOMPARE(TestFiles::read(abs(QStringLiteral("models/gta3.img"))), archiveBytes);
    QVERIFY(host->saved.contains(md5Hex("b").toLatin1()));
    QVERIFY(host->saved.contains(md5Hex(padded("zz")).toLatin1()));
    QCOMPARE(workOf(*diff), QStringList());
}

// Only files whose time or size differs from the cache are read again;
// only a different sum makes work.
void TestSyncDiffHandler::changedFilesAreHashedAgain_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: left as it was
    QTest::addColumn<qint64>("mtime");
    QTest::addColumn<bool>("hashed");
    QTest::addColumn<bool>("update");
    QTest::newRow("untouched") << QByteArray() << qint64(1600000000) << false << false;
    QTest::newRow("time changed, content same") << QByteArray() << qint64(1700000000) << true << false;
    QTest::newRow("content changed with its time") << QByteArray("new") << qint64(1700000000) << true << true;
    QTest::newRow("size changed within the same second") << QByteArray("longer") << qint64(1600000000) << true << true;
}

void TestSyncDiffHandler::changedFilesAreHashedAgain()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, mtime);
    QFETCH(bool, hashed);
    QFETCH(bool, update);
    put(QStringLiteral("a.txt"), "old");
    put(QStringLiteral("b.txt"), "other");
    setMtime(QStringLiteral("a.txt"), 1600000000);
    settle();
    put(QStringLiteral("b.txt"), "OTHER"); // keeps b.txt off the fast path
    if (!content.isEmpty())
        put(QStringLiteral("a.txt"), content);
    setMtime(QStringLiteral("a.txt"), mtime);
    setMtime(QStringLiteral("b.txt"), 1500000000);
    scan(*local, false);

    compare();
    QCOMPARE(host->events.contains(QStringLiteral("file a.txt")), hashed);
    QCOMPARE(workOf(*diff).contains(QStringLiteral("file update a.txt")), update);
    QCOMPARE(entryAt(*cache, QStringLiteral("a.txt"))->md5, md5Hex(content.isEmpty() ? QByteArray("old") : content));
    if (update)
        QCOMPARE(diff->fileOps().first().entry.md5, md5Hex("old")); // the published record
}

// A file that cannot be read is left without a sum and fetched again; the
// comparison goes on with everything else.
void TestSyncDiffHandler::unreadableFileDoesNotEndCompare_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("removed after the scan") << QStringLiteral("removed");
    QTest::newRow("a folder where the file was") << QStringLiteral("folder");
}

void TestSyncDiffHandler::unreadableFileDoesNotEndCompare()
{
    QFETCH(QString, how);
    put(QStringLiteral("a.txt"), "a");
    put(QStringLiteral("b.txt"), "b");
    put(QStringLiteral("c.txt"), "c");
    settle();
    setMtime(QStringLiteral("b.txt"), 1500000000);
    put(QStringLiteral("c.txt"), "C");
    setMtime(QStringLiteral("c.txt"), 1400000000);
    scan(*local, false);
    QVERIFY(QFile::remove(abs(QStringLiteral("b.txt"))));
    if (how == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(abs(QStringLiteral("b.txt"))));

    compare();
    QCOMPARE(host->saves, 1);
    QCOMPARE(workOf(*diff), (QStringList{QStringLiteral("file update b.txt"), QStringLiteral("file update c.txt")}));
    QVERIFY(entryAt(*cache, QStringLiteral("b.txt"))->md5.isEmpty());
}

void TestSyncDiffHandler::keptFoldersAndFiles()
{
    put(QStringLiteral("enbseries/extra.fx"), "x");
    put(QStringLiteral("enbseries/shaders/s.fx"), "s");
    put(QStringLiteral("models/compressed/x.dff"), "x");
    put(QStringLiteral("compressed/a.txt"), "a");
    put(QStringLiteral("other/o.txt"), "o");
    settle();
    // The check ignores case.
    for (Listing *listing : {static_cast<Listing *>(local.get()), static_cast<Listing *>(cache.get())})
        listing->entries[listing->firstEntryIndex(QStringLiteral("compressed/a.txt"))].path =
            QStringLiteral("Compressed/a.txt");
    remote->clear();

    compare();
    diff->removeExtras();
    QVERIFY(QFileInfo(abs(QStringLiteral("enbseries"))).isDir());
    QVERIFY(!QFileInfo::exists(abs(QStringLiteral("enbseries/shaders"))));
    QVERIFY(!QFileInfo::exists(abs(QStringLiteral("enbseries/extra.fx"))));
    QVERIFY(!QFileInfo::exists(abs(QStringLiteral("other"))));
    QVERIFY(QFileInfo::exists(abs(QStringLiteral("models/compressed/x.dff"))));
    QVERIFY(QFileInfo::exists(abs(QStringLiteral("compressed/a.txt"))));
    QVERIFY(entryAt(*cache, QStringLiteral("models/compressed/x.dff")));
    QVERIFY(!entryAt(*cache, QStringLiteral("other/o.txt")));
}

void TestSyncDiffHandler::archiveQueueing_data()
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
    QTest::addColumn<int>("entryCount");   // -1: nothing queued

    QTest::newRow("4 of 10 new or changed: members only") << 2 << 2 << "archive" << false << false << 4;
    QTest::newRow("5 of 10 new or changed: whole") << 3 << 2 << "archive" << true << false << 10;
    QTest::newRow("only removals: nothing to fetch") << 0 << 0 << "archive" << false << false << -1;
    QTest::newRow("unknown to the cache: whole, created") << 0 << 0 << "none" << true << true << 10;
    QTest::newRow("cache holds a plain file: whole") << 0 << 0 << "file" << true << false << 10;
    QTest::newRow("not in the launcher's form: whole") << 1 << 0 << "ver2" << true << false << 10;
    QTest::newRow("no longer readable: whole") << 0 << 0 << "broken" << true << false << 10;
    QTest::newRow("plain file became the archive: nothing") << 0 << 0 << "was file" << false << false << -1;
}

void TestSyncDiffHandler::archiveQueueing()
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
        QCOMPARE(workOf(*diff), work);
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
        QCOMPARE(workOf(*diff).filter(QStringLiteral("member add")).size(), 10);
}

void TestSyncDiffHandler::queuesFilesAndDirectories()
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

void TestSyncDiffHandler::removesMembersFilesAndDirectories()
{
    const QString path = QStringLiteral("models/gta3.img");
    archive(path, {{QStringLiteral("a.dff"), "aaa"}, {QStringLiteral("b.dff"), "bbb"}, {QStringLiteral("c.dff"), "ccc"}});
    put(QStringLiteral("extra/deep/x.txt"), "x");
    put(QStringLiteral("gone.txt"), "g");
    settle();
    QVector<ListingEntry> &records = remote->group(remote->entries.at(remote->firstArchiveIndex(path)).imgId);
    records[1].name.clear(); // b.dff
    remote->normalize();
    remote->directories.removeAll(QStringLiteral("extra"));
    remote->directories.removeAll(QStringLiteral("extra/deep"));
    remote->entries[remote->firstEntryIndex(QStringLiteral("extra/deep/x.txt"))].name.clear();
    remote->entries[remote->firstEntryIndex(QStringLiteral("gone.txt"))].name.clear();

    compare();
    diff->removeExtras();
    ArchiveEditor editor(abs(path));
    QVERIFY(editor.openReadOnly());
    QCOMPARE(editor.find(QStringLiteral("b.dff")), -1);
    QCOMPARE(editor.read(editor.find(QStringLiteral("c.dff"))), padded("ccc"));
    QVERIFY(!QFileInfo::exists(abs(QStringLiteral("extra"))));
    QVERIFY(!QFileInfo::exists(abs(QStringLiteral("gone.txt"))));
    QVERIFY(!recordIn(*cache, path, QStringLiteral("b.dff")));
    QVERIFY(recordIn(*cache, path, QStringLiteral("c.dff")));
    QVERIFY(!entryAt(*cache, QStringLiteral("gone.txt")));
    QVERIFY(!cache->directories.contains(QStringLiteral("extra/deep")));
    QVERIFY(!cache->directories.contains(QStringLiteral("extra")));
}

// The multiplayer client's archives stay in their own form: hashing reads
// them without writing, and their members are not removed in place.
void TestSyncDiffHandler::foreignArchiveIsNeverRewritten()
{
    const QString path = QStringLiteral("multiplayer_c/models/skins.img");
    QVERIFY(TestFiles::ver2Archive(abs(path), {{QStringLiteral("b.dff"), "b", 0}, {QStringLiteral("a.dff"), "a", 0}}));
    const QByteArray bytes = TestFiles::read(abs(path));
    settle();
    // Remembered without sums, so that the comparison hashes the members.
    for (ListingEntry &record : cache->group(entryAt(*cache, path)->imgId))
        record.md5.clear();
    QVector<ListingEntry> &records = remote->group(remote->entries.at(remote->firstArchiveIndex(path)).imgId);
    records[0].name.clear(); // a.dff
    remote->normalize();

    compare();
    QCOMPARE(recordIn(*cache, path, QStringLiteral("b.dff"))->md5, md5Hex(padded("b")));
    QCOMPARE(workOf(*diff), QStringList{QStringLiteral("member remove ") + path + QStringLiteral(":a.dff")});
    diff->removeExtras();
    QCOMPARE(TestFiles::read(abs(path)), bytes);
    QVERIFY(recordIn(*cache, path, QStringLiteral("a.dff")));
    host->rebuilds.insert(path);
    diff->rebuildArchives();
    QCOMPARE(TestFiles::read(abs(path)), bytes);
}

void TestSyncDiffHandler::unsafePathsAreNeverTouched()
{
    const QString outside = scratch->path() + QStringLiteral("/outside");
    QVERIFY(TestFiles::write(outside + QStringLiteral("/victim.txt"), "v"));
    QVERIFY(TestFiles::write(scratch->path() + QStringLiteral("/up.txt"), "u"));
    QVERIFY(ArchiveEditor::createEmpty(outside + QStringLiteral("/x.img")));
    const QByteArray outsideArchive = TestFiles::read(outside + QStringLiteral("/x.img"));
    QVERIFY(QFile::link(outside, abs(QStringLiteral("linked"))));
    const QString outside2 = scratch->path() + QStringLiteral("/outside2");
    QVERIFY(TestFiles::write(outside2 + QStringLiteral("/victim.txt"), "w"));
    QVERIFY(QFile::link(outside2, abs(QStringLiteral("linked2"))));
    put(QStringLiteral("keep.txt"), "k");
    settle();

    // Items only a hostile list or cache file could hold; the scan never
    // follows the link, so they are planted in the listings themselves.
    const auto plant = [](Listing &listing, const QString &path, EntryKind kind) {
        ListingEntry entry;
        entry.kind = kind;
        entry.name = QFileInfo(path).fileName();
        entry.path = path;
        entry.md5 = md5Hex("v");
        entry.mtime = 1;
        if (kind == EntryKind::ImgArchive) {
            entry.imgId = listing.nextImgId();
            ListingEntry member;
            member.name = QStringLiteral("m.dff");
            member.md5 = md5Hex("m");
            listing.group(entry.imgId).append(member);
        }
        listing.entries.append(entry);
    };
    for (Listing *listing : {static_cast<Listing *>(local.get()), static_cast<Listing *>(cache.get())}) {
        plant(*listing, QStringLiteral("../up.txt"), EntryKind::File);
        plant(*listing, QStringLiteral("linked/victim.txt"), EntryKind::File);
        plant(*listing, QStringLiteral("linked/x.img"), EntryKind::ImgArchive);
        listing->directories.append(QStringLiteral("linked"));
        listing->directories.append(QStringLiteral("linked2")); // the sync list does not name it
        listing->directories.append(QStringLiteral("../outside"));
    }
    plant(*remote, QStringLiteral("/abs/x.txt"), EntryKind::File);
    plant(*remote, QStringLiteral("../new.txt"), EntryKind::File);
    plant(*remote, QStringLiteral("linked/x.img"), EntryKind::ImgArchive);
    remote->directories.append(QStringLiteral("../made"));
    // The published archive lacks m.dff, which asks for a removal inside it.
    remote->group(remote->entries.last().imgId).first().name = QStringLiteral("n.dff");

    compare();
    const QStringList work = workOf(*diff);
    QVERIFY2(work.filter(QStringLiteral("..")).isEmpty(), qPrintable(work.join(QLatin1Char(','))));
    QVERIFY2(work.filter(QStringLiteral("/abs")).isEmpty(), qPrintable(work.join(QLatin1Char(','))));
    queued();
    diff->removeExtras();
    diff->rebuildArchives();
    host->rebuilds.insert(QStringLiteral("linked/x.img"));
    host->rebuilds.insert(QStringLiteral("../outside/x.img"));
    diff->rebuildArchives();

    QCOMPARE(TestFiles::read(outside + QStringLiteral("/victim.txt")), QByteArray("v"));
    QCOMPARE(TestFiles::read(scratch->path() + QStringLiteral("/up.txt")), QByteArray("u"));
    QCOMPARE(TestFiles::read(outside + QStringLiteral("/x.img")), outsideArchive);
    QVERIFY(!QFileInfo::exists(scratch->path() + QStringLiteral("/made")));
    QVERIFY(QFileInfo(abs(QStringLiteral("linked"))).isSymLink()); // holds an archive the list names
    QVERIFY(!QFileInfo(abs(QStringLiteral("linked2"))).isSymLink()); // removed as a link,
    QCOMPARE(TestFiles::read(outside2 + QStringLiteral("/victim.txt")), QByteArray("w")); // not through it
    QVERIFY(work.contains(QStringLiteral("dir remove linked2")));
    QVERIFY(QFileInfo::exists(abs(QStringLiteral("keep.txt"))));
    for (const DownloadItem &item : diff->downloader()->items())
        QVERIFY2(!item.path.contains(QLatin1String("..")) && !item.path.startsWith(QLatin1Char('/')),
                 qPrintable(item.path));
}

void TestSyncDiffHandler::stopRequestEndsCompare()
{
    put(QStringLiteral("a.txt"), "a");
    settle();
    put(QStringLiteral("b.txt"), "b");
    scan(*local, false);
    remote->clear();
    ProcessState::exitRequested = true;
    compare();
    QCOMPARE(host->finishes, 1);
    QCOMPARE(host->saves, 0);
    QCOMPARE(host->events, QStringList());
    QVERIFY(!diff->hasWork());
    diff->removeExtras();
    QVERIFY(QFileInfo::exists(abs(QStringLiteral("a.txt"))));
}

void TestSyncDiffHandler::commitFileAndMember()
{
    const QString path = QStringLiteral("models/gta3.img");
    archive(path, {{QStringLiteral("a.dff"), "a"}});
    put(QStringLiteral("new.txt"), "fresh");
    setMtime(QStringLiteral("new.txt"), 1650000000);
    put(QStringLiteral("old.txt"), "old");
    settle();
    remote->entries[remote->firstEntryIndex(QStringLiteral("new.txt"))].md5 =
        QStringLiteral("11111111111111111111111111111111");
    ListingEntry &old = remote->entries[remote->firstEntryIndex(QStringLiteral("old.txt"))];
    old.size = 9;
    old.md5 = QStringLiteral("22222222222222222222222222222222");
    ListingEntry member;
    member.name = QStringLiteral("b.dff");
    member.size = 2048;
    member.md5 = QStringLiteral("33333333333333333333333333333333");
    remote->group(remote->entries.at(remote->firstArchiveIndex(path)).imgId).append(member);
    cache->entries[cache->firstEntryIndex(QStringLiteral("new.txt"))].name.clear();
    const qint32 archiveId = entryAt(*cache, path)->imgId;

    diff->commitFile(QStringLiteral("new.txt"));
    diff->commitFile(QStringLiteral("old.txt"));
    diff->commitFile(path); // opened for member downloads: keeps its members
    diff->commitFile(QStringLiteral("unknown.txt"));
    QCOMPARE(host->saves, 3);
    const ListingEntry *fresh = entryAt(*cache, QStringLiteral("new.txt"));
    QVERIFY(fresh);
    QCOMPARE(fresh->md5, QStringLiteral("11111111111111111111111111111111"));
    QCOMPARE(fresh->mtime, 1650000000u);
    QCOMPARE(entryAt(*cache, QStringLiteral("old.txt"))->size, 9u);
    QCOMPARE(entryAt(*cache, path)->imgId, archiveId);
    QVERIFY(recordIn(*cache, path, QStringLiteral("a.dff")));

    diff->commitArchiveMember(path, QStringLiteral("b.dff"));
    diff->commitArchiveMember(QStringLiteral("old.txt"), QStringLiteral("b.dff")); // not an archive
    QCOMPARE(host->saves, 4);
    QCOMPARE(host->rebuilds, QSet<QString>{path});
    QCOMPARE(recordIn(*cache, path, QStringLiteral("b.dff"))->md5, QStringLiteral("33333333333333333333333333333333"));
    QCOMPARE(diff->remoteMemberMd5(path, QStringLiteral("b.dff")), QStringLiteral("33333333333333333333333333333333"));
    QCOMPARE(diff->remoteMd5(QStringLiteral("old.txt")), QStringLiteral("22222222222222222222222222222222"));
    QCOMPARE(diff->remoteMd5(QStringLiteral("none.txt")), QString());
}

void TestSyncDiffHandler::commitArchive()
{
    const QString path = QStringLiteral("models/gta3.img");
    archive(path, {{QStringLiteral("a.dff"), "a"}, {QStringLiteral("b.dff"), "b"}});
    put(QStringLiteral("plain.img"), "was a file");
    settle();
    remote->entries[remote->firstEntryIndex(QStringLiteral("plain.img"))].name.clear();
    remote->readListing(QByteArrayLiteral("[entries]\n"
                                          "new1.img new1.img img_archive 0 50 1 999\n"
                                          "new2.img new2.img img_archive 0 51 1 999\n"
                                          "plain.img plain.img img_archive 0 52 1 999\n"),
                        false);
    remote->normalize();
    const qint32 archiveId = entryAt(*cache, path)->imgId;
    const qint32 next = cache->nextImgId();

    diff->commitArchive(path);
    const ListingEntry *kept = entryAt(*cache, path);
    QCOMPARE(kept->imgId, archiveId);
    for (const QString &name : {QStringLiteral("a.dff"), QStringLiteral("b.dff")}) {
        QVERIFY(recordIn(*cache, path, name));
        QVERIFY(recordIn(*cache, path, name)->md5.isEmpty());
        QCOMPARE(recordIn(*cache, path, name)->size, 2048u);
    }
    diff->commitArchive(QStringLiteral("new1.img"));
    diff->commitArchive(QStringLiteral("new2.img"));
    diff->commitArchive(QStringLiteral("plain.img"));
    diff->commitArchive(QStringLiteral("unknown.img"));
    QCOMPARE(host->saves, 4);
    QCOMPARE(entryAt(*cache, QStringLiteral("new1.img"))->imgId, next);
    QCOMPARE(entryAt(*cache, QStringLiteral("new2.img"))->imgId, next + 1);
    QCOMPARE(entryAt(*cache, QStringLiteral("new2.img"))->extra, 999u);
    QVERIFY(cache->imgGroups.contains(next + 1));
    QCOMPARE(entryAt(*cache, QStringLiteral("plain.img"))->kind, EntryKind::ImgArchive);
    QCOMPARE(entryAt(*cache, QStringLiteral("plain.img"))->imgId, next + 2);
    QCOMPARE(host->rebuilds.size(), 4);
}

void TestSyncDiffHandler::rebuildLeavesArchivesCanonical()
{
    // Edited in place (gaps, storage order not name order), converted from
    // the game's form in source order, and the game's own multiplayer form.
    const QString edited = QStringLiteral("models/gta3.img");
    archive(edited, {{QStringLiteral("c.dff"), QByteArray(5000, 'c')}, {QStringLiteral("a.dff"), "a"},
                     {QStringLiteral("b.dff"), QByteArray(3000, 'b')}});
    {
        ArchiveEditor editor(abs(edited));
        QVERIFY(editor.open());
        editor.remove(editor.find(QStringLiteral("a.dff")));
        QVERIFY(editor.replace(editor.find(QStringLiteral("b.dff")), QByteArray(9000, 'B')));
        QVERIFY(editor.append(QStringLiteral("0.txd"), "zero"));
    }
    const QString converted = QStringLiteral("models/cutscene_x.img");
    QVERIFY(TestFiles::ver2Archive(abs(converted), {{QStringLiteral("z.dff"), "z", 0}, {QStringLiteral("y.dff"), "y", 0}}));
    QVERIFY(ArchiveEditor::convertToV2StaticHeader(abs(converted)));
    host->rebuilds = {edited, converted};

    diff->rebuildArchives();
    QVERIFY(host->rebuilds.isEmpty());
    QMap<QString, QByteArray> editedMembers;
    editedMembers.insert(QStringLiteral("0.txd"), "zero");
    editedMembers.insert(QStringLiteral("b.dff"), QByteArray(9000, 'B'));
    editedMembers.insert(QStringLiteral("c.dff"), QByteArray(5000, 'c'));
    QCOMPARE(canonicalProblem(abs(edited), editedMembers), QString());
    QMap<QString, QByteArray> convertedMembers;
    convertedMembers.insert(QStringLiteral("y.dff"), "y");
    convertedMembers.insert(QStringLiteral("z.dff"), "z");
    QCOMPARE(canonicalProblem(abs(converted), convertedMembers), QString());
}

void TestSyncDiffHandler::addCachedDirectory()
{
    cache->directories = QStringList{QStringLiteral("b"), QStringLiteral("d")};
    diff->addCachedDirectory(QStringLiteral("c"));
    diff->addCachedDirectory(QStringLiteral("b"));
    diff->addCachedDirectory(QStringLiteral("../up"));
    diff->addCachedDirectory(QStringLiteral("A"));
    QCOMPARE(cache->directories,
             (QStringList{QStringLiteral("A"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")}));
    QCOMPARE(host->saves, 2);
}

void TestSyncDiffHandler::sanitizeListing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("marked");
    QTest::addColumn<QString>("kept"); // what is left, written without times

    const QByteArray md5("0123456789abcdef0123456789abcdef");
    QTest::newRow("safe listing untouched")
        << QByteArray("[directories]\nmodels\n\n[entries]\nmodels/a.img a.img img_archive 0 0 1 0\n"
                      "\n[img] 0\nx.dff 2048 " + md5 + "\n")
        << 0 << QString::fromLatin1("[directories]\nmodels\n\n[entries]\nmodels/a.img a.img img_archive 0 0 1 0\n"
                                    "\n[img] 0\nx.dff 2048 " + md5 + "\n");
    QTest::newRow("directories leaving the folder")
        << QByteArray("[directories]\n../x\n/abs\na//b\nc:/win\nok\n\n[entries]\n") << 4
        << QStringLiteral("[directories]\nok\n\n[entries]\n");
    QTest::newRow("entries leaving the folder")
        << QByteArray("[entries]\n../x x file 1 " + md5 + "\n/etc/passwd passwd file 1 " + md5 +
                      "\na\\..\\b b file 1 " + md5 + "\ndata/./c c file 1 " + md5 + "\nok.txt ok.txt file 1 " + md5 + "\n")
        << 4 << QString::fromLatin1("[directories]\n\n[entries]\nok.txt ok.txt file 1 " + md5 + "\n");
    QTest::newRow("member names")
        << QByteArray("[entries]\na.img a.img img_archive 0 3 1 0\n\n[img] 3\n../x.dff 1 " + md5 +
                      "\nabcdefghijklmnopqrstuvwx 1 " + md5 + "\nok.dff 1 " + md5 + "\n")
        << 2 << QString::fromLatin1("[directories]\n\n[entries]\na.img a.img img_archive 0 3 1 0\n\n[img] 3\nok.dff 1 " +
                                    md5 + "\n");
    // What the launcher could never store as listed: it would be fetched
    // again at every pass.
    QTest::newRow("hidden names and names the clean-up renames")
        << QByteArray("[directories]\n.git\nModels\nok\n\n[entries]\ndata/.x .x file 1 " + md5 + "\nData/a.txt a.txt file 1 "
                      + md5 + "\nok/a.txt a.txt file 1 " + md5 + "\n")
        << 4 << QString::fromLatin1("[directories]\nok\n\n[entries]\nok/a.txt a.txt file 1 " + md5 + "\n");
    QTest::newRow("a path that is a file and a folder")
        << QByteArray("[directories]\na\na/b\n\n[entries]\na/b b file 1 " + md5 + "\nc c file 1 " + md5 + "\nc/d d file 1 "
                      + md5 + "\n")
        << 2 << QString::fromLatin1("[directories]\na\na/b\n\n[entries]\nc/d d file 1 " + md5 + "\n");
    QTest::newRow("part counts")
        << QByteArray("[entries]\nsfx/bomb bomb audio_file 4294967295 " + md5 + " 4294967295 1\nsfx/tiny tiny audio_file 3000 "
                      + md5 + " 3 1000\nsfx/ok ok audio_file 3000000 " + md5 + " 3 1048576\nx.img x.img img_archive 0 1 0 0\n"
                      "y.img y.img img_archive 0 2 300 0\n")
        << 4 << QString::fromLatin1("[directories]\n\n[entries]\nsfx/ok ok audio_file 3000000 " + md5 + " 3 1048576\n");
    QTest::newRow("members the archive cannot keep apart or show")
        << QByteArray("[entries]\na.img a.img img_archive 0 3 1 0\n\n[img] 3\nok.dff 2048 " + md5 + "\nOK.DFF 2048 " + md5
                      + "\nv2staticHeader.v2sh 2048 " + md5 + "\nempty.dff 0 " + md5 + "\nhuge.dff 200000000 " + md5 + "\n")
        << 4 << QString::fromLatin1("[directories]\n\n[entries]\na.img a.img img_archive 0 3 1 0\n\n[img] 3\nok.dff 2048 " + md5
                                    + "\n");
}

void TestSyncDiffHandler::sanitizeListing()
{
    QFETCH(QByteArray, text);
    QFETCH(int, marked);
    QFETCH(QString, kept);
    Listing listing;
    listing.readListing(text, false);
    QCOMPARE(::sanitizeListing(listing), marked);
    QByteArray out;
    listing.writeListing(out, false);
    QCOMPARE(QString::fromUtf8(out), kept);
}

QTEST_GUILESS_MAIN(TestSyncDiffHandler)
#include "tst_syncdiffhandler.moc"
