#include "service/ApiAnswers.h"

#include <QtTest>

// The answer readers on their own; the stages that use them are tested with
// a server in tst_loadthread and tst_serverquery.
class TestApiAnswers : public QObject
{
    Q_OBJECT

private slots:
    void monitoring_data();
    void monitoring();
    void ping_data();
    void ping();
    void update_data();
    void update();
    void newsTakesEveryElement();
};

void TestApiAnswers::monitoring_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("players");
    QTest::addColumn<int>("total");
    QTest::newRow("both") << QByteArray(R"({"numplayers": 10, "maxplayers": 100})") << true << 10 << 100;
    QTest::newRow("one missing") << QByteArray(R"({"numplayers": 10})") << false << 0 << 0;
    QTest::newRow("not an object") << QByteArray("[10, 100]") << false << 0 << 0;
    QTest::newRow("not JSON") << QByteArray("<html>") << false << 0 << 0;
    // Present but unusable numbers read as 0; none may reach an undefined
    // conversion.
    QTest::newRow("text and fraction") << QByteArray(R"({"numplayers": "7", "maxplayers": 2.5})") << true << 0 << 0;
    QTest::newRow("beyond int") << QByteArray(R"({"numplayers": 1e12, "maxplayers": -1e300})") << true << 0 << 0;
    QTest::newRow("kept in 16 bits") << QByteArray(R"({"numplayers": 65537, "maxplayers": -1})") << true << 1 << 65535;
}

void TestApiAnswers::monitoring()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, present);
    QFETCH(int, players);
    QFETCH(int, total);
    const ApiAnswers::MonitoringCounts counts = ApiAnswers::parseMonitoring(answer);
    QCOMPARE(counts.present, present);
    QCOMPARE(int(counts.numplayers), players);
    QCOMPARE(int(counts.maxplayers), total);
}

void TestApiAnswers::ping_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("cdn");
    QTest::newRow("web address") << QByteArray(R"({"cdn": "https://cdn.example.org/"})")
                                 << QStringLiteral("https://cdn.example.org/");
    QTest::newRow("missing") << QByteArray(R"({"status": 1})") << QString();
    QTest::newRow("local file") << QByteArray(R"({"cdn": "file:///etc/"})") << QString();
    QTest::newRow("number") << QByteArray(R"({"cdn": 5})") << QString();
}

void TestApiAnswers::ping()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, cdn);
    QCOMPARE(ApiAnswers::parsePing(answer), cdn);
}

void TestApiAnswers::update_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<QString>("version");
    QTest::newRow("capitals") << QByteArray(R"({"act": "UPDATE", "latest_version": "1.1", "download_url": "u"})")
                              << true << QStringLiteral("1.1");
    QTest::newRow("numeric version") << QByteArray(R"({"act": "update", "latest_version": 2})") << true
                                     << QStringLiteral("2");
    QTest::newRow("no") << QByteArray(R"({"act": "no", "latest_version": "1.1"})") << false << QString();
    QTest::newRow("act not text") << QByteArray(R"({"act": ["update"]})") << false << QString();
}

void TestApiAnswers::update()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, offered);
    QFETCH(QString, version);
    const ApiAnswers::UpdateOffer offer = ApiAnswers::parseUpdate(answer);
    QCOMPARE(offer.update, offered);
    QCOMPARE(offer.latestVersion, version);
}

void TestApiAnswers::newsTakesEveryElement()
{
    const QVector<ApiAnswers::NewsItem> items = ApiAnswers::parseNews(
        R"([{"caption": "A", "image": "http://x/p.png"}, 5, {"text": "B", "date": 1}])");
    QCOMPARE(items.size(), 3); // an element that is no object still takes an index
    QCOMPARE(items.at(0).caption, QStringLiteral("A"));
    QCOMPARE(items.at(0).image, QStringLiteral("http://x/p.png"));
    QVERIFY(items.at(1).caption.isEmpty() && items.at(1).image.isEmpty());
    QCOMPARE(items.at(2).text, QStringLiteral("B"));
    QCOMPARE(items.at(2).date, QStringLiteral("1"));
    QVERIFY(ApiAnswers::parseNews(R"({"caption": "A"})").isEmpty());
}

QTEST_GUILESS_MAIN(TestApiAnswers)
#include "tst_apianswers.moc"
