#include "app/BuildInfo.h"

#include <QRegularExpression>
#include <QtTest>

class TestBuildInfo : public QObject
{
    Q_OBJECT

private slots:
    void parseCompilerDate_data();
    void parseCompilerDate();
    void versionText();
};

void TestBuildInfo::parseCompilerDate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDate>("date");

    QTest::newRow("December") << "Dec 30 2023" << QDate(2023, 12, 30);
    QTest::newRow("January, day padded with a blank") << "Jan  5 2024" << QDate(2024, 1, 5);
    QTest::newRow("every month position") << "Jun 15 2024" << QDate(2024, 6, 15);
    QTest::newRow("leap day") << "Feb 29 2024" << QDate(2024, 2, 29);
    QTest::newRow("two-digit year") << "Mar  1 23" << QDate(2023, 3, 1);
    QTest::newRow("year 98 is 2098") << "Apr 2 98" << QDate(2098, 4, 2);
    QTest::newRow("year 0 is 2000") << "Apr 2 0" << QDate(2000, 4, 2);
    QTest::newRow("year 99 stays") << "Apr 2 99" << QDate(99, 4, 2);
    QTest::newRow("unknown month") << "Foo 1 2023" << QDate();
    QTest::newRow("month text across two names") << "anF 1 2023" << QDate();
    QTest::newRow("lower-case month") << "dec 30 2023" << QDate();
    QTest::newRow("no such day") << "Feb 30 2023" << QDate();
    QTest::newRow("missing day") << "Dec 2023" << QDate();
    QTest::newRow("not a number") << "Dec xx 2023" << QDate();
    QTest::newRow("empty") << "" << QDate();
}

void TestBuildInfo::parseCompilerDate()
{
    QFETCH(QString, text);
    QFETCH(QDate, date);

    QCOMPARE(BuildInfo::parseCompilerDate(text), date);
}

void TestBuildInfo::versionText()
{
    // The build's own date (setting or compiler) always reads.
    QVERIFY(BuildInfo::parseCompilerDate(BuildInfo::compilerDate()).isValid());
    const QString text = BuildInfo::versionText();
    QVERIFY2(
        QRegularExpression(QStringLiteral("^Версия 1\\.0\\.0\\.0 от \\d\\d\\.\\d\\d\\.\\d{4}$")).match(text).hasMatch(),
        qPrintable(text));
    QVERIFY(
        text.endsWith(BuildInfo::parseCompilerDate(BuildInfo::compilerDate()).toString(QStringLiteral("dd.MM.yyyy"))));
}

QTEST_MAIN(TestBuildInfo)
#include "tst_buildinfo.moc"
