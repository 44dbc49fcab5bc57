#include "files/Listing.h"
#include "support/WorkLists.h"
#include "sync/WorkPlanner.h"

#include <QLoggingCategory>
#include <QtTest>

namespace {

// Listing texts without times: "[directories]" lines, then "[entries]"
// lines, then "[img] <id>" groups.
Listing listingOf(const QByteArray &text)
{
    Listing listing;
    listing.readListing(text, false);
    listing.normalize();
    return listing;
}

// An entry line of a file, and a record line of an archive member, whose
// MD5 is 32 times the character sum.
QByteArray file(const QByteArray &path, char sum)
{
    return path + ' ' + path.mid(path.lastIndexOf('/') + 1) + " file 1 " + QByteArray(32, sum) + '\n';
}

QByteArray member(const QByteArray &name, char sum)
{
    return name + " 2048 " + QByteArray(32, sum) + '\n';
}

} // namespace

class TestWorkPlanner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("varo.*.warning=false")); }
    void plan_data();
    void plan();
};

// The sync list and the remembered state in, the work lists out.
void TestWorkPlanner::plan_data()
{
    QTest::addColumn<QByteArray>("remote");
    QTest::addColumn<QByteArray>("cache");
    QTest::addColumn<QStringList>("work");

    const QByteArray archive("x.img x.img img_archive 0 7 1 0\n");
    QTest::newRow("kept folders and files")
        << QByteArray()
        << "[directories]\ncompressed\nenbseries\nenbseries/shaders\nmodels\nmodels/compressed\nother\n\n[entries]\n"
            + file("Compressed/a.txt", 'a') + file("enbseries/extra.fx", 'b') + file("enbseries/shaders/s.fx", 'c')
            + file("models/compressed/x.dff", 'd') + file("other/o.txt", 'e')
        << QStringList{QStringLiteral("dir remove enbseries/shaders"), QStringLiteral("dir remove other"),
                       QStringLiteral("file remove enbseries/extra.fx"),
                       QStringLiteral("file remove enbseries/shaders/s.fx"), QStringLiteral("file remove other/o.txt")};
    QTest::newRow("files new, changed and gone; archives not by their sum")
        << "[entries]\n" + file("a.txt", 'a') + file("b.txt", 'b') + file("new.txt", 'c') + archive + "\n[img] 7\n"
        << "[entries]\n" + file("a.txt", 'a') + file("b.txt", 'd') + file("gone.txt", 'e')
            + "x.img x.img img_archive 1 3 2 5\n\n[img] 3\n"
        << QStringList{QStringLiteral("file add new.txt"), QStringLiteral("file remove gone.txt"),
                       QStringLiteral("file update b.txt")};
    QTest::newRow("folders holding a listed file stay")
        << "[directories]\nnew\n\n[entries]\n" + file("old/deep/f.txt", 'a')
        << "[directories]\ngone\ngone/sub\nold\nold/deep\n\n[entries]\n" + file("old/deep/f.txt", 'a')
        << QStringList{QStringLiteral("dir add new"), QStringLiteral("dir remove gone"),
                       QStringLiteral("dir remove gone/sub")};
    QTest::newRow("members new, changed and dropped")
        << "[entries]\n" + archive + "\n[img] 7\n" + member("m1.dff", 'a') + member("m2.dff", 'b')
            + member("m4.dff", 'd')
        << "[entries]\nx.img x.img img_archive 0 2 1 0\n\n[img] 2\n" + member("m1.dff", 'a') + member("m2.dff", 'c')
            + member("m3.dff", 'c')
        << QStringList{QStringLiteral("member add x.img:m4.dff"), QStringLiteral("member remove x.img:m3.dff"),
                       QStringLiteral("member update x.img:m2.dff")};
    QTest::newRow("archive unknown to the cache: fetched whole") << "[entries]\n" + archive + "\n[img] 7\n"
            + member("m1.dff", 'a') << QByteArray() << QStringList{QStringLiteral("file add x.img")};
    QTest::newRow("cache holds a plain file: every member added")
        << "[entries]\n" + archive + "\n[img] 7\n" + member("m1.dff", 'a') + member("m2.dff", 'b')
        << "[entries]\n" + file("x.img", 'a')
        << QStringList{QStringLiteral("member add x.img:m1.dff"), QStringLiteral("member add x.img:m2.dff")};
    QTest::newRow("paths and names leading out are never planned")
        << "[directories]\n../made\n\n[entries]\n" + file("../new.txt", 'a') + file("/abs/x.txt", 'a') + archive
            + "\n[img] 7\n" + member("../m.dff", 'a') + member("ok.dff", 'a')
        << "[directories]\n../outside\n\n[entries]\n" + file("../up.txt", 'a') + archive + "\n[img] 7\n"
            + member("../old.dff", 'a')
        << QStringList{QStringLiteral("member add x.img:ok.dff")};
}

void TestWorkPlanner::plan()
{
    QFETCH(QByteArray, remote);
    QFETCH(QByteArray, cache);
    QFETCH(QStringList, work);
    const Listing remoteListing = listingOf(remote);
    const Listing cacheListing = listingOf(cache);
    QCOMPARE(WorkLists::text(WorkPlanner(remoteListing, cacheListing).plan()), work);
}

QTEST_GUILESS_MAIN(TestWorkPlanner)
#include "tst_workplanner.moc"
