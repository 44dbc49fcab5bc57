#include "files/Listing.h"
#include "sync/ListingSanitizer.h"

#include <QLoggingCategory>
#include <QtTest>

class TestListingSanitizer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("varo.*.warning=false")); }
    void sanitizeListing_data();
    void sanitizeListing();
};

void TestListingSanitizer::sanitizeListing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("marked");
    QTest::addColumn<QString>("kept"); // what is left, written without times

    const QByteArray md5("0123456789abcdef0123456789abcdef");
    QTest::newRow("safe listing untouched")
        << QByteArray("[directories]\nmodels\n\n[entries]\nmodels/a.img a.img img_archive 0 0 1 0\n"
                      "\n[img] 0\nx.dff 2048 "
                      + md5 + "\n")
        << 0
        << QString::fromLatin1("[directories]\nmodels\n\n[entries]\nmodels/a.img a.img img_archive 0 0 1 0\n"
                               "\n[img] 0\nx.dff 2048 "
                               + md5 + "\n");
    QTest::newRow("directories leaving the folder")
        << QByteArray("[directories]\n../x\n/abs\na//b\nc:/win\nok\n\n[entries]\n") << 4
        << QStringLiteral("[directories]\nok\n\n[entries]\n");
    QTest::newRow("entries leaving the folder")
        << QByteArray("[entries]\n../x x file 1 " + md5 + "\n/etc/passwd passwd file 1 " + md5 + "\na\\..\\b b file 1 "
                      + md5 + "\ndata/./c c file 1 " + md5 + "\nok.txt ok.txt file 1 " + md5 + "\n")
        << 4 << QString::fromLatin1("[directories]\n\n[entries]\nok.txt ok.txt file 1 " + md5 + "\n");
    QTest::newRow("member names")
        << QByteArray("[entries]\na.img a.img img_archive 0 3 1 0\n\n[img] 3\n../x.dff 1 " + md5
                      + "\nabcdefghijklmnopqrstuvwx 1 " + md5 + "\nok.dff 1 " + md5 + "\n")
        << 2
        << QString::fromLatin1("[directories]\n\n[entries]\na.img a.img img_archive 0 3 1 0\n\n[img] 3\nok.dff 1 " + md5
                               + "\n");
    // What the launcher could never store as listed: it would be fetched
    // again at every pass.
    QTest::newRow("hidden names and names the clean-up renames")
        << QByteArray("[directories]\n.git\nModels\nok\n\n[entries]\ndata/.x .x file 1 " + md5
                      + "\nData/a.txt a.txt file 1 " + md5 + "\nok/a.txt a.txt file 1 " + md5 + "\n")
        << 4 << QString::fromLatin1("[directories]\nok\n\n[entries]\nok/a.txt a.txt file 1 " + md5 + "\n");
    QTest::newRow("a path that is a file and a folder")
        << QByteArray("[directories]\na\na/b\n\n[entries]\na/b b file 1 " + md5 + "\nc c file 1 " + md5
                      + "\nc/d d file 1 " + md5 + "\n")
        << 2 << QString::fromLatin1("[directories]\na\na/b\n\n[entries]\nc/d d file 1 " + md5 + "\n");
    QTest::newRow("part counts") << QByteArray("[entries]\nsfx/bomb bomb audio_file 4294967295 " + md5
                                               + " 4294967295 1\nsfx/tiny tiny audio_file 3000 " + md5
                                               + " 3 1000\nsfx/ok ok audio_file 3000000 " + md5
                                               + " 3 1048576\nx.img x.img img_archive 0 1 0 0\n"
                                                 "y.img y.img img_archive 0 2 300 0\n")
                                 << 4
                                 << QString::fromLatin1("[directories]\n\n[entries]\nsfx/ok ok audio_file 3000000 "
                                                        + md5 + " 3 1048576\n");
    QTest::newRow("members the archive cannot keep apart or show")
        << QByteArray("[entries]\na.img a.img img_archive 0 3 1 0\n\n[img] 3\nok.dff 2048 " + md5 + "\nOK.DFF 2048 "
                      + md5 + "\nv2staticHeader.v2sh 2048 " + md5 + "\nempty.dff 0 " + md5 + "\nhuge.dff 200000000 "
                      + md5 + "\n")
        << 4
        << QString::fromLatin1("[directories]\n\n[entries]\na.img a.img img_archive 0 3 1 0\n\n[img] 3\nok.dff 2048 "
                               + md5 + "\n");
}

void TestListingSanitizer::sanitizeListing()
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

QTEST_GUILESS_MAIN(TestListingSanitizer)
#include "tst_listingsanitizer.moc"
