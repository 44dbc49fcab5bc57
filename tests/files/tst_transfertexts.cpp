#include "files/FileDownloader.h"
#include "files/TransferTexts.h"

#include <QtTest>

using TransferTexts::TransferState;

Q_DECLARE_METATYPE(TransferTexts::TransferState)

class TestTransferTexts : public QObject
{
    Q_OBJECT

private slots:
    void sizeText_data();
    void sizeText();
    void leftText_data();
    void leftText();
};

void TestTransferTexts::sizeText_data()
{
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint32>("speed");
    QTest::addColumn<QString>("expected");

    QTest::newRow("megabytes at kilobytes per second")
        << qint64(1572864) << qint64(3145728) << 524288 << QStringLiteral("1.50/3.00 МБ (512.00 КБ/с)");
    QTest::newRow("speed not measured yet") << qint64(0) << qint64(10) << -1 << QStringLiteral("0/10 Байт (? МБ/с)");
    QTest::newRow("1023 is bytes") << qint64(5) << qint64(1023) << 0 << QStringLiteral("5/1023 Байт (0 Байт/с)");
    QTest::newRow("1024 is kilobytes") << qint64(0) << qint64(1024) << -1 << QStringLiteral("0.00/1.00 КБ (? МБ/с)");
    QTest::newRow("1048575 is still kilobytes")
        << qint64(1048575) << qint64(1048575) << 1023 << QStringLiteral("1024.00/1024.00 КБ (1023 Байт/с)");
    QTest::newRow("1048576 is megabytes")
        << qint64(0) << qint64(1048576) << 1024 << QStringLiteral("0.00/1.00 МБ (1.00 КБ/с)");
    QTest::newRow("unknown total in bytes") << qint64(0) << qint64(-1) << -1 << QStringLiteral("0/-1 Байт (? МБ/с)");
    QTest::newRow("megabytes per second")
        << qint64(512) << qint64(2048) << 1572864 << QStringLiteral("0.50/2.00 КБ (1.50 МБ/с)");
    QTest::newRow("beyond 4 GiB") << qint64(5368709120) << qint64(6442450944) << 1048575
                                  << QStringLiteral("5120.00/6144.00 МБ (1024.00 КБ/с)");
}

void TestTransferTexts::sizeText()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(qint32, speed);
    QFETCH(QString, expected);
    QCOMPARE(TransferTexts::sizeText(done, total, speed), expected);
    QCOMPARE(FileDownloader::sizeText(done, total, speed), expected);
}

void TestTransferTexts::leftText_data()
{
    QTest::addColumn<TransferState>("state");
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("expected");

    const QString none;
    const QString img = QStringLiteral("models/gta3.img");
    QTest::newRow("starting") << TransferState::Starting << none << QStringLiteral("a%1.dff...");
    QTest::newRow("starting member") << TransferState::Starting << img
                                     << QStringLiteral("a%1.dff (models/gta3.img)...");
    QTest::newRow("progress") << TransferState::Progress << none << QStringLiteral("a%1.dff...");
    QTest::newRow("progress member") << TransferState::Progress << img
                                     << QStringLiteral("a%1.dff (models/gta3.img)...");
    QTest::newRow("network retry") << TransferState::NetworkRetry << none
                                   << QStringLiteral("a%1.dff: ошибка сети (#5), повтор через 2...");
    QTest::newRow("network retry member")
        << TransferState::NetworkRetry << img
        << QStringLiteral("a%1.dff (models/gta3.img): ошибка сети (#5), повтор через 2...");
    QTest::newRow("md5 retry") << TransferState::Md5Retry << none
                               << QStringLiteral("a%1.dff: неверный md5-хэш, повтор через 2...");
    QTest::newRow("md5 retry member") << TransferState::Md5Retry << img
                                      << QStringLiteral(
                                             "a%1.dff (models/gta3.img): неверный md5-хэш, повтор через 2...");
    QTest::newRow("saving") << TransferState::Saving << none << QStringLiteral("a%1.dff: сохранение...");
    QTest::newRow("saving member") << TransferState::Saving << img
                                   << QStringLiteral("a%1.dff (models/gta3.img): сохранение...");
    QTest::newRow("unpacking") << TransferState::Unpacking << none << QStringLiteral("a%1.dff: разархивирование...");
    QTest::newRow("unpacking member") << TransferState::Unpacking << img
                                      << QStringLiteral("a%1.dff (models/gta3.img): разархивирование...");
}

void TestTransferTexts::leftText()
{
    QFETCH(TransferState, state);
    QFETCH(QString, archive);
    QFETCH(QString, expected);
    // The name carries a marker of its own: it must come out as it went in.
    QCOMPARE(TransferTexts::leftText(state, QStringLiteral("a%1.dff"), archive, 5, 2), expected);
}

QTEST_GUILESS_MAIN(TestTransferTexts)
#include "tst_transfertexts.moc"
