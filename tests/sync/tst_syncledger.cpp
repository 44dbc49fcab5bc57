#include "support/SyncFixture.h"
#include "sync/SyncLedger.h"

#include <QtTest>

#include <memory>

class TestSyncLedger : public QObject, private SyncFixture
{
    Q_OBJECT

private slots:
    void init();

    void commitFileAndMember();
    void commitArchive();
    void commitDirectory();

private:
    std::unique_ptr<SyncLedger> ledger;
};

void TestSyncLedger::init()
{
    initFixture();
    ledger.reset(new SyncLedger(gameDir, host.get()));
    ledger->setListings(cache.get(), remote.get());
}

void TestSyncLedger::commitFileAndMember()
{
    const QString path = QStringLiteral("models/gta3.img");
    archive(path, {{QStringLiteral("a.dff"), "a"}});
    put(QStringLiteral("new.txt"), "fresh");
    setMtime(QStringLiteral("new.txt"), 1650000000);
    put(QStringLiteral("old.txt"), "old");
    settle();
    remote->entries[remote->firstEntryIndex(QStringLiteral("new.txt"))].md5 = QStringLiteral(
        "11111111111111111111111111111111");
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

    ledger->commitFile(QStringLiteral("new.txt"));
    ledger->commitFile(QStringLiteral("old.txt"));
    ledger->commitFile(path); // opened for member downloads: keeps its members
    ledger->commitFile(QStringLiteral("unknown.txt"));
    QCOMPARE(host->saves, 3);
    const ListingEntry *fresh = entryAt(*cache, QStringLiteral("new.txt"));
    QVERIFY(fresh);
    QCOMPARE(fresh->md5, QStringLiteral("11111111111111111111111111111111"));
    QCOMPARE(fresh->mtime, 1650000000u);
    QCOMPARE(entryAt(*cache, QStringLiteral("old.txt"))->size, 9u);
    QCOMPARE(entryAt(*cache, path)->imgId, archiveId);
    QVERIFY(recordIn(*cache, path, QStringLiteral("a.dff")));

    ledger->commitArchiveMember(path, QStringLiteral("b.dff"));
    ledger->commitArchiveMember(QStringLiteral("old.txt"), QStringLiteral("b.dff")); // not an archive
    QCOMPARE(host->saves, 4);
    QCOMPARE(host->rebuilds, QSet<QString>{path});
    QCOMPARE(recordIn(*cache, path, QStringLiteral("b.dff"))->md5, QStringLiteral("33333333333333333333333333333333"));
    QCOMPARE(ledger->remoteMemberMd5(path, QStringLiteral("b.dff")),
             QStringLiteral("33333333333333333333333333333333"));
    QCOMPARE(ledger->remoteMd5(QStringLiteral("old.txt")), QStringLiteral("22222222222222222222222222222222"));
    QCOMPARE(ledger->remoteMd5(QStringLiteral("none.txt")), QString());
}

void TestSyncLedger::commitArchive()
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

    ledger->commitArchive(path);
    const ListingEntry *kept = entryAt(*cache, path);
    QCOMPARE(kept->imgId, archiveId);
    for (const QString &name : {QStringLiteral("a.dff"), QStringLiteral("b.dff")}) {
        QVERIFY(recordIn(*cache, path, name));
        QVERIFY(recordIn(*cache, path, name)->md5.isEmpty());
        QCOMPARE(recordIn(*cache, path, name)->size, 2048u);
    }
    ledger->commitArchive(QStringLiteral("new1.img"));
    ledger->commitArchive(QStringLiteral("new2.img"));
    ledger->commitArchive(QStringLiteral("plain.img"));
    ledger->commitArchive(QStringLiteral("unknown.img"));
    QCOMPARE(host->saves, 4);
    QCOMPARE(entryAt(*cache, QStringLiteral("new1.img"))->imgId, next);
    QCOMPARE(entryAt(*cache, QStringLiteral("new2.img"))->imgId, next + 1);
    QCOMPARE(entryAt(*cache, QStringLiteral("new2.img"))->extra, 999u);
    QVERIFY(cache->imgGroups.contains(next + 1));
    QCOMPARE(entryAt(*cache, QStringLiteral("plain.img"))->kind, EntryKind::ImgArchive);
    QCOMPARE(entryAt(*cache, QStringLiteral("plain.img"))->imgId, next + 2);
    QCOMPARE(host->rebuilds.size(), 4);
}

void TestSyncLedger::commitDirectory()
{
    cache->directories = QStringList{QStringLiteral("b"), QStringLiteral("d")};
    ledger->commitDirectory(QStringLiteral("c"));
    ledger->commitDirectory(QStringLiteral("b"));
    ledger->commitDirectory(QStringLiteral("../up"));
    ledger->commitDirectory(QStringLiteral("A"));
    QCOMPARE(cache->directories,
             (QStringList{QStringLiteral("A"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")}));
    QCOMPARE(host->saves, 2);
}

QTEST_GUILESS_MAIN(TestSyncLedger)
#include "tst_syncledger.moc"
