#include "files/Listing.h"
#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

#include <climits>
#include <functional>

using Mutation = std::function<void(Listing &)>;
Q_DECLARE_METATYPE(Mutation)

namespace {

ListingEntry makeEntry(EntryKind kind, const QString &path, quint32 size, const QString &md5, quint32 mtime = 0)
{
    ListingEntry entry;
    entry.kind = kind;
    entry.path = path;
    entry.name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    entry.size = size;
    entry.md5 = md5;
    entry.mtime = mtime;
    return entry;
}

ListingEntry makeRecord(const QString &name, quint32 size, const QString &md5)
{
    ListingEntry record;
    record.name = name;
    record.size = size;
    record.md5 = md5;
    return record;
}

// Every field that text can carry, so a comparison shows what differs.
QString dump(const Listing &listing)
{
    QStringList lines;
    for (const QString &directory : listing.directories)
        lines << QStringLiteral("D ") + directory;
    for (const ListingEntry &e : listing.entries) {
        lines << QStringLiteral("E %1|%2|%3|%4|%5|%6|%7|%8|%9|%10")
                     .arg(quint32(e.kind))
                     .arg(e.path, e.name)
                     .arg(e.size)
                     .arg(e.md5)
                     .arg(e.mtime)
                     .arg(e.imgId)
                     .arg(e.blockCount)
                     .arg(e.partSize)
                     .arg(e.extra);
    }
    for (auto it = listing.imgGroups.cbegin(); it != listing.imgGroups.cend(); ++it) {
        lines << QStringLiteral("G%1").arg(it.key());
        for (const ListingEntry &r : it.value()) {
            lines << QStringLiteral("  %1|%2|%3|%4|%5|%6")
                         .arg(quint32(r.kind))
                         .arg(r.name)
                         .arg(r.size)
                         .arg(r.md5)
                         .arg(r.mtime)
                         .arg(r.imgId);
        }
    }
    lines << QStringLiteral("C %1").arg(listing.imgCursor);
    return lines.join(QLatin1Char('\n'));
}

// A listing with every kind, a negative imgId and removed items of each sort.
Listing sampleListing()
{
    Listing listing;
    listing.directories << QStringLiteral("models") << QString() << QStringLiteral("audio/sfx");
    listing.entries << makeEntry(EntryKind::File, QStringLiteral("models/a.dff"), 10, QStringLiteral("aa"), 111);
    ListingEntry removed = makeEntry(EntryKind::File, QStringLiteral("gone.txt"), 1, QStringLiteral("bb"));
    removed.name.clear();
    listing.entries << removed;
    ListingEntry audio = makeEntry(EntryKind::AudioFile, QStringLiteral("audio/sfx/genrl"), 70000000,
                                   QStringLiteral("cc"), 222);
    audio.blockCount = 2;
    audio.partSize = 41943040;
    listing.entries << audio;
    ListingEntry archive = makeEntry(EntryKind::ImgArchive, QStringLiteral("models/gta3.img"), 4096, QString(), 333);
    archive.imgId = -2;
    archive.blockCount = 1;
    archive.extra = 5000;
    archive.imgOffset = 9;
    listing.entries << archive;
    listing.imgGroups[-2] << makeRecord(QStringLiteral("b.dff"), 2048, QStringLiteral("dd"))
                          << makeRecord(QString(), 2048, QStringLiteral("ee"))
                          << makeRecord(QStringLiteral("a.txd"), 4096, QStringLiteral("ff"));
    ListingEntry lonely = makeEntry(EntryKind::ImgArchive, QStringLiteral("models/x.img"), 0, QString());
    lonely.imgId = 7;
    listing.entries << lonely;
    return listing;
}

QByteArray written(Listing &listing, bool withTimes)
{
    QByteArray out("left over");
    listing.writeListing(out, withTimes);
    return out;
}

} // namespace

class TestListing : public QObject
{
    Q_OBJECT

private slots:
    void writeEmpty();
    void writeExactText_data();
    void writeExactText();
    void roundTrip_data();
    void roundTrip();
    void readEdgeCases_data();
    void readEdgeCases();
    void secondReadAppendsUntilNormalized();
    void normalizeOrdersByCodeUnitsAndKeepsLiveItems();
    void digestIsPinned();
    void digestIgnoresOrder();
    void digestFieldSensitivity_data();
    void digestFieldSensitivity();
    void sharedGroupStaysLinear();
    void lookups();
    void nextImgId_data();
    void nextImgId();
    void arbitraryInputIsStable();
    void largeListingIsFast();
};

void TestListing::writeEmpty()
{
    Listing listing;
    QCOMPARE(written(listing, false), QByteArray("[directories]\n\n[entries]\n"));
    QCOMPARE(written(listing, true), QByteArray("[directories]\n\n[entries]\n"));
}

void TestListing::writeExactText_data()
{
    QTest::addColumn<bool>("withTimes");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray head("[directories]\nmodels\naudio/sfx\n\n[entries]\n");
    const QByteArray tail("models/gta3.img gta3.img img_archive 4096 -2 1 5000\n"
                          "models/x.img x.img img_archive 0 7 0 0\n"
                          "\n[img] -2\nb.dff 2048 dd\na.txd 4096 ff\n"
                          "\n[img] 7\n");
    QTest::newRow("without times") << false
                                   << head
            + "models/a.dff a.dff file 10 aa\naudio/sfx/genrl genrl audio_file 70000000 cc 2 41943040\n" + tail;
    QTest::newRow("with times") << true
                                << head
            + "models/a.dff a.dff file 10 aa 111\naudio/sfx/genrl genrl audio_file 70000000 cc 2 41943040 222\n" + tail;
}

void TestListing::writeExactText()
{
    QFETCH(bool, withTimes);
    QFETCH(QByteArray, expected);
    Listing listing = sampleListing();
    QVERIFY(!listing.imgGroups.contains(7));
    QCOMPARE(written(listing, withTimes), expected);
    // The archive without a group got an empty one.
    QVERIFY(listing.imgGroups.contains(7));
    QVERIFY(listing.imgGroups.value(7).isEmpty());
}

void TestListing::roundTrip_data()
{
    QTest::addColumn<bool>("withTimes");
    QTest::newRow("without times") << false;
    QTest::newRow("with times") << true;
}

void TestListing::roundTrip()
{
    QFETCH(bool, withTimes);
    Listing original = sampleListing();
    const QByteArray text = written(original, withTimes);

    Listing copy;
    copy.readListing(text, withTimes);

    // What text cannot carry: removed items, sector offsets, archive times,
    // and all times when written without them.
    Listing expected = sampleListing();
    expected.directories.removeAll(QString());
    expected.entries.remove(1);
    for (ListingEntry &entry : expected.entries) {
        entry.imgOffset = 0;
        if (!withTimes || entry.kind == EntryKind::ImgArchive)
            entry.mtime = 0;
    }
    expected.imgGroups[-2].remove(1);
    expected.imgGroups[7];
    expected.imgCursor = 7;
    QCOMPARE(dump(copy), dump(expected));
    QCOMPARE(written(copy, withTimes), text);
}

void TestListing::readEdgeCases_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("withTimes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero byte ends the text")
        << QByteArray("[entries]\np n file 1 m\0q q file 2 m\n", 36) << false << "E 0|p|n|1|m|0|-1|0|0|0\nC 0";
    QTest::newRow("lines before a header, exact headers only")
        << QByteArray("junk\n[Entries]\np n file 1 m\n [directories]\n[directories]\n a b \nlast") << false
        << "D  a b \nD last\nC 0";
    QTest::newRow("UTF-8 text") << QByteArray("[directories]\n\xd0\xbc\xd0\xbe\xd0\xb4\n") << false
                                << QString::fromUtf8("D \xd0\xbc\xd0\xbe\xd0\xb4\nC 0");
    QTest::newRow("short lines skipped, empty fields kept")
        << QByteArray("[entries]\na b c\n\np n  3 m\n") << false << "E 0|p|n|3|m|0|-1|0|0|0\nC 0";
    QTest::newRow("unknown kind reads as file")
        << QByteArray("[entries]\np n folder 3 m 77\n") << true << "E 0|p|n|3|m|77|-1|0|0|0\nC 0";
    QTest::newRow("numbers that do not parse")
        << QByteArray("[entries]\np n img_archive 12x -x 4294967296 -1\n") << false << "E 1|p|n|0||0|0|0|0|0\nC 0";
    QTest::newRow("full-range numbers") << QByteArray("[entries]\np n img_archive 4294967295 -2147483648 3 9\n")
                                        << false << "E 1|p|n|4294967295||0|-2147483648|3|0|9\nC 0";
    QTest::newRow("space in a path shifts fields")
        << QByteArray("[entries]\nmy dir/a.txt a.txt file 3 abc\n") << true << "E 0|my|dir/a.txt|0|3|0|-1|0|0|0\nC 0";
    QTest::newRow("file without times read with times")
        << QByteArray("[entries]\np n file 3 m\n") << true << "E 0|p|n|3|m|0|-1|0|0|0\nC 0";
    QTest::newRow("file with times read without")
        << QByteArray("[entries]\np n file 3 m 42\n") << false << "E 0|p|n|3|m|0|-1|0|0|0\nC 0";
    QTest::newRow("audio with times read without")
        << QByteArray("[entries]\np n audio_file 5 m 2 7 99\n") << false << "E 2|p|n|5|m|0|-1|2|7|0\nC 0";
    QTest::newRow("audio with times read with times")
        << QByteArray("[entries]\np n audio_file 5 m 2 7 99\n") << true << "E 2|p|n|5|m|99|-1|2|7|0\nC 0";
    QTest::newRow("img number read from the seventh character")
        << QByteArray("[img]5\nq 1 m\n[img]57\n") << false << "G0\n  0|q|1|m|0|-1\nG7\nC 7";
    QTest::newRow("img number that is no number") << QByteArray("[img] x\n") << false << "G0\nC 0";
    QTest::newRow("img lines need exactly three fields")
        << QByteArray("[img] -3\na 1\na 1 m x\nb 2 m\n") << false << "G-3\n  0|b|2|m|0|-1\nC -3";
    QTest::newRow("headers in any order and repeated")
        << QByteArray("[img] 1\nx 1 m\n[entries]\np n file 1 m\n[directories]\nd\n[img] 1\ny 2 m\n"
                      "[entries]\nq n file 2 m\n[img] 0\n")
        << false << "D d\nE 0|p|n|1|m|0|-1|0|0|0\nE 0|q|n|2|m|0|-1|0|0|0\nG0\nG1\n  0|x|1|m|0|-1\n  0|y|2|m|0|-1\nC 0";
}

void TestListing::readEdgeCases()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, withTimes);
    QFETCH(QString, expected);
    Listing listing;
    listing.readListing(input, withTimes);
    QCOMPARE(dump(listing), expected);
}

void TestListing::secondReadAppendsUntilNormalized()
{
    Listing listing;
    listing.readListing("[directories]\nb\na\n[entries]\nx/f f file 1 m\nx/g.img g.img img_archive 0 0 0 0\n"
                        "[img] 0\nr 1 m1\n",
                        false);
    listing.readListing("[directories]\na\n[entries]\nx/f f file 2 m\n[img] 0\nr 2 m2\ns 3 m\n", false);
    QCOMPARE(listing.directories, QStringList({"b", "a", "a"}));
    QCOMPARE(listing.entries.size(), 3);
    QCOMPARE(listing.imgGroups.value(0).size(), 3);

    listing.normalize();
    // The first of each run of equal keys is kept.
    QCOMPARE(dump(listing),
             QStringLiteral("D a\nD b\n"
                            "E 0|x/f|f|1|m|0|-1|0|0|0\nE 1|x/g.img|g.img|0||0|0|0|0|0\n"
                            "G0\n  0|r|1|m1|0|-1\n  0|s|3|m|0|-1\nC 0"));
}

void TestListing::normalizeOrdersByCodeUnitsAndKeepsLiveItems()
{
    Listing listing;
    // U+FF01 is one code unit above the surrogates of U+1F600, so the emoji
    // sorts first by UTF-16 but last by code point or byte order.
    const QString fullwidth = QString(QChar(0xFF01));
    const QString emoji = QString::fromUtf8("\xf0\x9f\x98\x80");
    listing.directories << "b" << fullwidth << "B" << emoji << "a" << QString() << ""
                        << "a";
    for (const char *path : {"b", "a", "B", "é", "z"})
        listing.entries << makeEntry(EntryKind::File, QString::fromUtf8(path), 1, QString());

    // A removed record ahead of a live one with the same path must not stand
    // in for it; the sync marks removals this way and then appends copies.
    ListingEntry removed = makeEntry(EntryKind::File, QStringLiteral("x"), 1, QStringLiteral("old"));
    removed.name.clear();
    listing.entries << removed << makeEntry(EntryKind::File, QStringLiteral("x"), 2, QStringLiteral("new"));
    ListingEntry removedAlone = makeEntry(EntryKind::File, QStringLiteral("y"), 3, QString());
    removedAlone.name.clear();
    listing.entries << removedAlone << removedAlone;
    listing.imgGroups[4] << makeRecord("c", 1, "1") << makeRecord("C", 2, "2") << makeRecord("c", 3, "3");
    // Long runs of equal keys, where an unstable sort would pick another member.
    for (quint32 i = 0; i < 200; ++i) {
        listing.entries << makeEntry(EntryKind::File, QStringLiteral("k%1").arg(i % 3), i, QString());
        listing.imgGroups[5] << makeRecord(QStringLiteral("k%1").arg(i % 3), i, QString());
    }

    listing.normalize();
    QCOMPARE(listing.directories, QStringList({QString(), "B", "a", "b", emoji, fullwidth}));
    QStringList paths;
    for (const ListingEntry &entry : qAsConst(listing.entries))
        paths << entry.path + QLatin1Char(entry.isRemoved() ? '-' : '+');
    QCOMPARE(paths, QStringList({"B+", "a+", "b+", "k0+", "k1+", "k2+", "x+", "y-", "z+", QString::fromUtf8("é+")}));
    for (quint32 i = 0; i < 3; ++i) {
        QCOMPARE(listing.entries.at(int(3 + i)).size, i);
        QCOMPARE(listing.imgGroups.value(5).at(int(i)).size, i);
    }
    QCOMPARE(listing.entries.at(6).md5, QStringLiteral("new"));
    QCOMPARE(listing.imgGroups.value(4).size(), 2);
    QCOMPARE(listing.imgGroups.value(4).at(1).size, 1u);
}

void TestListing::digestIsPinned()
{
    Listing listing;
    listing.directories << QString::fromUtf8("модели") << "data";
    listing.entries << makeEntry(EntryKind::File, "data/a.dat", 10, "m1", 100);
    ListingEntry audio = makeEntry(EntryKind::AudioFile, "audio/x", 5, "m2", 200);
    audio.blockCount = 1;
    audio.partSize = 5;
    listing.entries << audio;
    ListingEntry archive = makeEntry(EntryKind::ImgArchive, "models/gta3.img", 8192, "m9", 300);
    archive.imgId = 0;
    listing.entries << archive;
    listing.imgGroups[0] << makeRecord("b.dff", 2048, "m3") << makeRecord("a.txd", 4096, "m4");

    // Directory, entry and record lines, each set sorted, concatenated.
    QCOMPARE(listing.listingDigest(false),
             TestFiles::md5Hex(QByteArray("data"
                                          "модели"
                                          "audio/x af 5 1 5 m2"
                                          "data/a.dat f 10 m1"
                                          "models/gta3.img ia"
                                          "models/gta3.img:a.txd 4096 m4"
                                          "models/gta3.img:b.dff 2048 m3")));
    QCOMPARE(listing.listingDigest(true),
             TestFiles::md5Hex(QByteArray("data"
                                          "модели"
                                          "audio/x af 5 1 5 200"
                                          "data/a.dat f 10 100"
                                          "models/gta3.img ia"
                                          "models/gta3.img:a.txd 4096"
                                          "models/gta3.img:b.dff 2048")));
    QCOMPARE(Listing().listingDigest(false), TestFiles::md5Hex(QByteArray()));
}

void TestListing::digestIgnoresOrder()
{
    Listing listing = sampleListing();
    Listing reversed = listing;
    std::reverse(reversed.directories.begin(), reversed.directories.end());
    std::reverse(reversed.entries.begin(), reversed.entries.end());
    std::reverse(reversed.imgGroups[-2].begin(), reversed.imgGroups[-2].end());
    for (bool withTimes : {false, true})
        QCOMPARE(reversed.listingDigest(withTimes), listing.listingDigest(withTimes));
}

void TestListing::digestFieldSensitivity_data()
{
    QTest::addColumn<Mutation>("mutation");
    QTest::addColumn<bool>("changesWithTimes");
    QTest::addColumn<bool>("changesWithoutTimes");
    // Entry 0 is a File, 2 an AudioFile, 3 the ImgArchive of group -2.
    QTest::newRow("file md5") << Mutation([](Listing &l) { l.entries[0].md5 = "zz"; }) << false << true;
    QTest::newRow("file mtime") << Mutation([](Listing &l) { l.entries[0].mtime = 1; }) << true << false;
    QTest::newRow("file size") << Mutation([](Listing &l) { l.entries[0].size = 1; }) << true << true;
    QTest::newRow("file kind") << Mutation([](Listing &l) { l.entries[0].kind = EntryKind::AudioFile; }) << true
                               << true;
    QTest::newRow("audio md5") << Mutation([](Listing &l) { l.entries[2].md5 = "zz"; }) << false << true;
    QTest::newRow("audio mtime") << Mutation([](Listing &l) { l.entries[2].mtime = 1; }) << true << false;
    QTest::newRow("audio part size") << Mutation([](Listing &l) { l.entries[2].partSize = 1; }) << true << true;
    QTest::newRow("archive size, blocks, extra") << Mutation([](Listing &l) {
        l.entries[3].size = 1;
        l.entries[3].blockCount = 9;
        l.entries[3].extra = 9;
    }) << false << false;
    QTest::newRow("archive path") << Mutation([](Listing &l) { l.entries[3].path = "other.img"; }) << true << true;
    QTest::newRow("record md5") << Mutation([](Listing &l) { l.imgGroups[-2][0].md5 = "zz"; }) << false << true;
    QTest::newRow("record size") << Mutation([](Listing &l) { l.imgGroups[-2][0].size = 1; }) << true << true;
    QTest::newRow("record removed") << Mutation([](Listing &l) { l.imgGroups[-2][0].name.clear(); }) << true << true;
    QTest::newRow("directory renamed") << Mutation([](Listing &l) { l.directories[0] = "x"; }) << true << true;
    QTest::newRow("removed items added") << Mutation([](Listing &l) {
        l.directories << QString();
        ListingEntry entry = makeEntry(EntryKind::File, "p", 1, "m");
        entry.name.clear();
        l.entries << entry;
        l.imgGroups[-2] << makeRecord(QString(), 1, "m");
    }) << false << false;
    QTest::newRow("unused group and sector offsets") << Mutation([](Listing &l) {
        l.imgGroups[50] << makeRecord("q", 1, "m");
        l.imgGroups[-2][0].imgOffset = 77;
    }) << false << false;
}

void TestListing::digestFieldSensitivity()
{
    QFETCH(Mutation, mutation);
    QFETCH(bool, changesWithTimes);
    QFETCH(bool, changesWithoutTimes);
    const Listing listing = sampleListing();
    Listing changed = listing;
    mutation(changed);
    QCOMPARE(changed.listingDigest(true) != listing.listingDigest(true), changesWithTimes);
    QCOMPARE(changed.listingDigest(false) != listing.listingDigest(false), changesWithoutTimes);
}

void TestListing::sharedGroupStaysLinear()
{
    // A damaged listing pointing many archives at one large group: the text
    // lists the group once and the digest stays cheap.
    const int count = 3000;
    QByteArray text("[directories]\n\n[entries]\n");
    for (int i = 0; i < count; ++i)
        text += "a" + QByteArray::number(i) + ".img a.img img_archive 0 0 0 0\n";
    text += "[img] 0\n";
    for (int i = 0; i < count; ++i)
        text += "r" + QByteArray::number(i) + " 2048 m\n";
    Listing listing;
    listing.readListing(text, false);
    QCOMPARE(listing.imgGroups.value(0).size(), count);

    const QByteArray out = written(listing, false);
    QVERIFY(out.size() < 3 * text.size());
    QCOMPARE(out.count("[img] 0\n"), count);
    Listing reread;
    reread.readListing(out, false);
    QCOMPARE(reread.imgGroups.value(0).size(), count);
    QCOMPARE(reread.listingDigest(false), listing.listingDigest(false));

    Listing two;
    two.readListing("[entries]\na a img_archive 0 4 0 0\nb b img_archive 0 4 0 0\n[img] 4\nr 1 m\n", false);
    QCOMPARE(two.listingDigest(false),
             TestFiles::md5Hex("a ia"
                               "b ia"
                               "a:r 1 m"));
}

void TestListing::lookups()
{
    Listing listing;
    ListingEntry removed = makeEntry(EntryKind::ImgArchive, "p", 1, QString());
    removed.name.clear();
    listing.entries << removed << makeEntry(EntryKind::File, "p", 2, QString())
                    << makeEntry(EntryKind::ImgArchive, "p", 3, QString())
                    << makeEntry(EntryKind::File, "q", 4, QString());
    QCOMPARE(listing.firstEntryIndex("p"), 1);
    QCOMPARE(listing.firstArchiveIndex("p"), 2);
    QCOMPARE(listing.firstEntryIndex("P"), -1);
    QCOMPARE(listing.firstArchiveIndex("q"), -1);
    const QHash<QString, int> index = listing.entryIndexByPath();
    QCOMPARE(index.size(), 2);
    QCOMPARE(index.value("p"), 1);
    QCOMPARE(index.value("q"), 3);

    listing.group(5) << makeRecord("r", 1, "m");
    QCOMPARE(listing.imgGroups.value(5).size(), 1);
    QCOMPARE(listing.group(5).size(), 1);

    listing.directories << "d";
    listing.imgCursor = 3;
    listing.clearEntries();
    QVERIFY(listing.entries.isEmpty() && listing.imgGroups.isEmpty());
    QCOMPARE(listing.directories.size(), 1);
    listing.clear();
    QCOMPARE(dump(listing), QStringLiteral("C 0"));
}

void TestListing::nextImgId_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<int>("expected");
    QTest::newRow("no groups") << QList<int>() << 0;
    QTest::newRow("one above the largest") << QList<int>({3, -5, 0}) << 4;
    QTest::newRow("only negative keys") << QList<int>({-5}) << -4;
    QTest::newRow("largest is the greatest number") << QList<int>({INT_MAX, 0, 1, -1}) << 2;
    QTest::newRow("greatest number alone") << QList<int>({INT_MAX}) << 0;
}

void TestListing::nextImgId()
{
    QFETCH(QList<int>, keys);
    QFETCH(int, expected);
    Listing listing;
    for (int key : qAsConst(keys))
        listing.group(key);
    QCOMPARE(listing.nextImgId(), expected);
}

void TestListing::arbitraryInputIsStable()
{
    // Untrusted text: every prefix of a valid listing and random bytes made of
    // the format's own pieces. Reading must not crash, and what it keeps must
    // survive a write and a second read unchanged.
    Listing sample = sampleListing();
    const QByteArray valid = written(sample, true);
    QVector<QByteArray> inputs;
    for (int length = 0; length <= valid.size(); ++length)
        inputs << valid.left(length);
    const QVector<QByteArray> pieces = {"\n",
                                        " ",
                                        " ",
                                        "[img]",
                                        "[img] ",
                                        "[entries]\n",
                                        "[directories]\n",
                                        "file",
                                        "img_archive",
                                        "audio_file",
                                        "-",
                                        "7",
                                        "4294967296",
                                        "a",
                                        QByteArray(1, '\0'),
                                        "\xff",
                                        "\xd0\xbc",
                                        "\xef\xbb\xbf",
                                        "\r"};
    QRandomGenerator random(20240611);
    for (int i = 0; i < 300; ++i) {
        QByteArray input;
        const int count = int(random.bounded(200));
        for (int j = 0; j < count; ++j)
            input += pieces.at(int(random.bounded(pieces.size())));
        inputs << input;
    }
    for (const QByteArray &input : qAsConst(inputs)) {
        for (bool withTimes : {false, true}) {
            Listing first;
            first.readListing(input, withTimes);
            QVERIFY(first.entries.size() <= input.count('\n') + 1);
            first.normalize();
            const QByteArray once = written(first, withTimes);
            Listing second;
            second.readListing(once, withTimes);
            second.normalize();
            QCOMPARE(written(second, withTimes), once);
            QCOMPARE(second.listingDigest(withTimes), first.listingDigest(withTimes));
        }
    }
}

void TestListing::largeListingIsFast()
{
    // About 100,000 lines; anything quadratic would take minutes.
    Listing listing;
    for (int i = 0; i < 90000; ++i)
        listing.entries << makeEntry(EntryKind::File, QStringLiteral("d%1/f%2").arg(i % 97).arg(89999 - i), quint32(i),
                                     "m", 1);
    for (int i = 0; i < 10000; ++i)
        listing.directories << QStringLiteral("d%1").arg(i % 5000);
    ListingEntry archive = makeEntry(EntryKind::ImgArchive, "big.img", 0, QString());
    archive.imgId = 0;
    listing.entries << archive;
    for (int i = 0; i < 10000; ++i)
        listing.imgGroups[0] << makeRecord(QStringLiteral("r%1").arg(i % 9000), 2048, "m");

    QElapsedTimer timer;
    timer.start();
    const QByteArray text = written(listing, true);
    Listing copy;
    copy.readListing(text, true);
    copy.readListing(text, true);
    copy.normalize();
    const QString digest = copy.listingDigest(true);
    QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(copy.entries.size(), 90001);
    QCOMPARE(copy.directories.size(), 5000);
    QCOMPARE(copy.imgGroups.value(0).size(), 9000);
    listing.normalize();
    QCOMPARE(digest, listing.listingDigest(true));
}

QTEST_GUILESS_MAIN(TestListing)
#include "tst_listing.moc"
