#include "app/LogFile.h"
#include "support/TestFiles.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

Q_LOGGING_CATEGORY(lcTest, "varo.test", QtInfoMsg)

class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void keepsThePreviousRunAndStaysWithinItsBound();
    void unwritableFolderLeavesMessagesAsTheyWere();
};

void TestLogFile::keepsThePreviousRunAndStaysWithinItsBound()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("varo_launcher.log"));
    const QString previous = dir.filePath(QStringLiteral("varo_launcher.old.log"));
    QVERIFY(TestFiles::write(path, "last run\n"));
    QVERIFY(TestFiles::write(previous, "the run before\n"));

    QVERIFY(LogFile::install(path, previous, 4096));
    qWarning() << "[download rejected] bad md5";
    qCInfo(lcTest).noquote() << "[mirror]" << QStringLiteral("http://127.0.0.1/ Мир");
    for (int i = 0; i < 200; ++i)
        qWarning("filler line %d", i);
    LogFile::uninstall();
    qWarning("after the end");

    QCOMPARE(TestFiles::read(previous), QByteArray("last run\n"));
    const QByteArray log = TestFiles::read(path);
    QVERIFY2(log.size() <= 4096, qPrintable(QString::number(log.size())));
    QStringList lines = QString::fromUtf8(log).split(QLatin1Char('\n'));
    lines.removeAll(QString());
    const QString time = QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    QVERIFY2(QRegularExpression(time + QStringLiteral("W \\[download rejected\\] bad md5$"))
                 .match(lines.value(0))
                 .hasMatch(),
             qPrintable(lines.value(0)));
    QVERIFY2(QRegularExpression(time + QStringLiteral("I varo.test: \\[mirror\\] http://127.0.0.1/ Мир$"))
                 .match(lines.value(1))
                 .hasMatch(),
             qPrintable(lines.value(1)));
    QVERIFY(lines.last().contains(QStringLiteral("size limit")));
    QVERIFY(!log.contains("after the end"));
}

void TestLogFile::unwritableFolderLeavesMessagesAsTheyWere()
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("missing/varo_launcher.log"));
    QVERIFY(!LogFile::install(missing, missing + QStringLiteral(".old")));
    qWarning("still shown");
    LogFile::uninstall();
    QVERIFY(!QFile::exists(missing));
}

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
