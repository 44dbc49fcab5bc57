#include "files/FileDownloader.h"
#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "platform/Platform.h"
#include "service/ProcessState.h"
#include "support/SyncFixture.h"
#include "support/TestFiles.h"
#include "support/WorkLists.h"
#include "sync/SyncDiffHandler.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QtTest>

#include <memory>

using ImgArchive::ArchiveEditor;
using Members = SyncFixture::Members;
using TestFiles::md5Hex;
using TestFiles::padded;

namespace {

// The work lists as text, sorted: "dir add x", "file update y", "member remove a.img:m".
QStringList workOf(const SyncDiffHandler &diff)
{
    return WorkLists::text({diff.dirOps(), diff.fileOps(), diff.archiveOps()});
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

class TestSyncDiffHandler : public QObject, private SyncFixture
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
    void removesMembersFilesAndDirectories();
    void foreignArchiveIsNeverRewritten();
    void unsafePathsAreNeverTouched();
    void stopRequestEndsCompare();
    void rebuildLeavesArchivesCanonical();

private:
    void compare(bool oldCopy = false);

    std::unique_ptr<SyncDiffHandler> diff;
};

void TestSyncDiffHandler::init()
{
    initFixture();
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

void TestSyncDiffHandler::compare(bool oldCopy)
{
    diff->setListings(local.get(), cache.get(), remote.get());
    diff->compare(oldCopy);
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
    QVERIFY(TestFiles::ver2Archive(
        abs(QStringLiteral("models/gta3.img")),
        {{QStringLiteral("z.dff"), "zz", 0}, {QStringLiteral("a.dff"), "aa", 0}, {QStringLiteral("m.txd"), "mm", 0}}));
    QVERIFY(ArchiveEditor::convertToV2StaticHeader(abs(QStringLiteral("models/gta3.img"))));
    const QByteArray archiveBytes = TestFiles::read(abs(QStringLiteral("models/gta3.img")));
    scan(*local, false);
    scan(*remote, true);

    compare();
    const QStringList expected{QStringLiteral("file b.txt"), QStringLiteral("file c.txt"),
                               QStringLiteral("bar 3/0"),    QStringLiteral("file models/gta3.img"),
                               QStringLiteral("bar 3/1"),    QStringLiteral("file models/gta3.img"),
                               QStringLiteral("bar 3/2"),    QStringLiteral("file models/gta3.img"),
                               QStringLiteral("bar 3/3"),    QStringLiteral("file "),
                               QStringLiteral("bar 0/1"),    QStringLiteral("save")};
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
        listing->entries[listing->firstEntryIndex(QStringLiteral("compressed/a.txt"))].path = QStringLiteral(
            "Compressed/a.txt");
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

void TestSyncDiffHandler::removesMembersFilesAndDirectories()
{
    const QString path = QStringLiteral("models/gta3.img");
    archive(path,
            {{QStringLiteral("a.dff"), "aaa"}, {QStringLiteral("b.dff"), "bbb"}, {QStringLiteral("c.dff"), "ccc"}});
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
    QVERIFY(TestFiles::link(outside, abs(QStringLiteral("linked"))));
    const QString outside2 = scratch->path() + QStringLiteral("/outside2");
    QVERIFY(TestFiles::write(outside2 + QStringLiteral("/victim.txt"), "w"));
    QVERIFY(TestFiles::link(outside2, abs(QStringLiteral("linked2"))));
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
    diff->setDownloader(
        new FileDownloader(gameDir, QStringLiteral("http://127.0.0.1:9/"), host.get(), diff->downloadLedger()));
    diff->queueDownloads();
    diff->removeExtras();
    diff->rebuildArchives();
    host->rebuilds.insert(QStringLiteral("linked/x.img"));
    host->rebuilds.insert(QStringLiteral("../outside/x.img"));
    diff->rebuildArchives();

    QCOMPARE(TestFiles::read(outside + QStringLiteral("/victim.txt")), QByteArray("v"));
    QCOMPARE(TestFiles::read(scratch->path() + QStringLiteral("/up.txt")), QByteArray("u"));
    QCOMPARE(TestFiles::read(outside + QStringLiteral("/x.img")), outsideArchive);
    QVERIFY(!QFileInfo::exists(scratch->path() + QStringLiteral("/made")));
    QVERIFY(Platform::isLink(abs(QStringLiteral("linked")))); // holds an archive the list names
#ifndef Q_OS_WIN // Wine cannot remove the Unix link that stands in for a junction
    QVERIFY(!Platform::isLink(abs(QStringLiteral("linked2")))); // removed as a link,
#endif
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

void TestSyncDiffHandler::rebuildLeavesArchivesCanonical()
{
    // Edited in place (gaps, storage order not name order), converted from
    // the game's form in source order, and the game's own multiplayer form.
    const QString edited = QStringLiteral("models/gta3.img");
    archive(edited,
            {{QStringLiteral("c.dff"), QByteArray(5000, 'c')},
             {QStringLiteral("a.dff"), "a"},
             {QStringLiteral("b.dff"), QByteArray(3000, 'b')}});
    {
        ArchiveEditor editor(abs(edited));
        QVERIFY(editor.open());
        editor.remove(editor.find(QStringLiteral("a.dff")));
        QVERIFY(editor.replace(editor.find(QStringLiteral("b.dff")), QByteArray(9000, 'B')));
        QVERIFY(editor.append(QStringLiteral("0.txd"), "zero"));
    }
    const QString converted = QStringLiteral("models/cutscene_x.img");
    QVERIFY(
        TestFiles::ver2Archive(abs(converted), {{QStringLiteral("z.dff"), "z", 0}, {QStringLiteral("y.dff"), "y", 0}}));
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

QTEST_GUILESS_MAIN(TestSyncDiffHandler)
#include "tst_syncdiffhandler.moc"
