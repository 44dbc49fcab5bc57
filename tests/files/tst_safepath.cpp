#include "files/SafePath.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestSafePath : public QObject
{
    Q_OBJECT

private slots:
    void relativePaths_data();
    void relativePaths();
    void memberNames_data();
    void memberNames();
    void symbolicLinksOutOfTheRootAreRefused();
};

void TestSafePath::relativePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "models/gta3.img" << true;
    QTest::newRow("one name") << "gta_sa.exe" << true;
    QTest::newRow("dots inside names") << "a..b/c.d" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("parent") << "../outside" << false;
    QTest::newRow("parent inside") << "models/../../x" << false;
    QTest::newRow("dot") << "./x" << false;
    QTest::newRow("empty component") << "models//x" << false;
    QTest::newRow("trailing slash") << "models/" << false;
    QTest::newRow("drive") << "C:/Windows/x" << false;
    QTest::newRow("colon") << "file:x" << false;
    QTest::newRow("backslash") << "models\\..\\x" << false;
    QTest::newRow("nul") << QString::fromUtf8("a\0b", 3) << false;
    QTest::newRow("newline") << "a\nb" << false;
    // Names that Windows reads as something else.
    QTest::newRow("device") << "data/con" << false;
    QTest::newRow("device folder") << "aux/x.txt" << false;
    QTest::newRow("device with extension") << "nul.tar.gz" << false;
    QTest::newRow("device in capitals") << "COM1.dat" << false;
    QTest::newRow("device, blank before the extension") << "lpt9 .log" << false;
    QTest::newRow("device, superscript digit") << QStringLiteral("com\u00b2") << false;
    QTest::newRow("console input") << "conin$" << false;
    QTest::newRow("not a device") << "console.txt" << true;
    QTest::newRow("not a port") << "com10/lpt0" << true;
    QTest::newRow("trailing dot") << "gta_sa.exe." << false;
    QTest::newRow("trailing blank") << "data /x" << false;
    QTest::newRow("data stream") << "gta_sa.exe::$DATA" << false;
    QTest::newRow("wildcard") << "a*.txt" << false;
    QTest::newRow("pipe") << "a|b" << false;
}

void TestSafePath::relativePaths()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(SafePath::isSafeRelative(path), safe);
    QTemporaryDir root;
    QCOMPARE(SafePath::inside(root.path(), path).isEmpty(), !safe);
}

void TestSafePath::memberNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "infernus.dff" << true;
    QTest::newRow("23 bytes") << QString(23, QLatin1Char('a')) << true;
    QTest::newRow("24 bytes") << QString(24, QLatin1Char('a')) << false;
    QTest::newRow("cyrillic 12 letters") << QString(12, QChar(0x0416)) << false;
    QTest::newRow("space") << "a b.dff" << false;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("dotdot") << ".." << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("device") << "prn.dff" << false;
    QTest::newRow("trailing dot") << "car.dff." << false;
    QTest::newRow("question mark") << "car?.dff" << false;
}

void TestSafePath::memberNames()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(SafePath::isSafeMemberName(name), safe);
}

void TestSafePath::symbolicLinksOutOfTheRootAreRefused()
{
    QTemporaryDir base;
    const QString root = base.filePath(QStringLiteral("gtasa"));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/data")));
    QVERIFY(QDir().mkpath(base.filePath(QStringLiteral("outside"))));
    QVERIFY(TestFiles::link(base.filePath(QStringLiteral("outside")), root + QStringLiteral("/escape")));
    QVERIFY(TestFiles::link(root + QStringLiteral("/data"), root + QStringLiteral("/alias")));

    QCOMPARE(SafePath::inside(root, QStringLiteral("data/x.txt")), root + QStringLiteral("/data/x.txt"));
    QCOMPARE(SafePath::inside(root, QStringLiteral("new/folder/x.txt")), root + QStringLiteral("/new/folder/x.txt"));
    QVERIFY(SafePath::inside(root, QStringLiteral("escape/x.txt")).isEmpty());
    QVERIFY(SafePath::inside(root, QStringLiteral("escape/deeper/x.txt")).isEmpty());
    // A link that stays inside the root is harmless.
    QCOMPARE(SafePath::inside(root, QStringLiteral("alias/x.txt")), root + QStringLiteral("/alias/x.txt"));
}

QTEST_GUILESS_MAIN(TestSafePath)
#include "tst_safepath.moc"
