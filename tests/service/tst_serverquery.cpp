#include "platform/Platform.h"
#include "service/ServerQuery.h"
#include "service/UserIni.h"
#include "support/TestHttpServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString MonitoringPath = QStringLiteral("/servers/monitoring");

// Collects infoUpdated on the test thread (the query emits on its own).
struct Counts : QObject
{
    QList<QPair<int, int>> seen;
    void listen(ServerQuery *query)
    {
        connect(query, &ServerQuery::infoUpdated, this, [this](int players, int total) {
            seen.append({players, total});
        });
    }
};

} // namespace

class TestServerQuery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void asksForTheSlotsPortAndRepeatsLastCounts();
    void throttlesAndRefreshes();
    void userIniRemembersChoice();

private:
    TestHttpServer server;
};

void TestServerQuery::initTestCase()
{
    QVERIFY(server.isListening());
    qputenv("VARO_MONITORING_URL", server.url(MonitoringPath).toUtf8());
    qputenv("VARO_GAME_HOST", "play.test");
    if (Platform::tickCount() <= ServerQuery::ThrottleMs)
        QSKIP("the system started less than 25 s ago; the first poll is throttled");
}

void TestServerQuery::asksForTheSlotsPortAndRepeatsLastCounts()
{
    server.clearLog();
    server.setReplies(MonitoringPath,
                      {TestHttpServer::Reply::ok(R"({"numplayers": 10, "maxplayers": 100})"),
                       TestHttpServer::Reply::ok(R"({"hostname": "x"})"), TestHttpServer::Reply::status(500)});
    Counts counts;
    {
        ServerQuery query(QStringLiteral("10.0.0.5"), 9999, 2);
        query.setRefreshGap(0);
        counts.listen(&query);
        QTRY_COMPARE(counts.seen.size(), 1);
        QCOMPARE(counts.seen.at(0), qMakePair(10, 100));
        const auto request = server.requests(MonitoringPath).at(0);
        QCOMPARE(request.queryValue(QStringLiteral("host")), QStringLiteral("play.test"));
        QCOMPARE(request.queryValue(QStringLiteral("port")), QStringLiteral("7773")); // 7771 + index
        QCOMPARE(request.rawQuery, QByteArray("host=play.test&port=7773"));

        // An answer without the two numbers repeats the last ones.
        QMetaObject::invokeMethod(&query, "refresh", Qt::QueuedConnection);
        QTRY_COMPARE(counts.seen.size(), 2);
        QCOMPARE(counts.seen.at(1), qMakePair(10, 100));

        // A failed request (three attempts of a 500) reports nothing.
        QMetaObject::invokeMethod(&query, "refresh", Qt::QueuedConnection);
        QTRY_COMPARE(server.requestCount(MonitoringPath), 5);
        QTest::qWait(200);
        QCOMPARE(counts.seen.size(), 2);
    } // destroying the query stops its thread cleanly
}

void TestServerQuery::throttlesAndRefreshes()
{
    server.clearLog();
    server.setReply(MonitoringPath, TestHttpServer::Reply::ok(R"({"numplayers": 1, "maxplayers": 0})"));
    Counts counts;
    ServerQuery query(QStringLiteral("a"), 1, 0);
    counts.listen(&query);
    QTRY_COMPARE(counts.seen.size(), 1);
    QCOMPARE(counts.seen.at(0), qMakePair(1, 0));

    // Within 25 s of the last poll a poll asks nothing, however often called.
    QMetaObject::invokeMethod(&query, "startHttpReq", Qt::QueuedConnection);
    QMetaObject::invokeMethod(&query, "startHttpReq", Qt::QueuedConnection);
    QTest::qWait(300);
    QCOMPARE(server.requestCount(MonitoringPath), 1);

    // A refresh asks at once; presses while it runs, and within the gap
    // after it, ask nothing.
    server.setReply(MonitoringPath, TestHttpServer::Reply::ok(R"({"numplayers": 1, "maxplayers": 0})").delayed(500));
    const auto press = [&query] {
        for (int i = 0; i < 3; ++i)
            QMetaObject::invokeMethod(&query, "refresh", Qt::QueuedConnection);
    };
    press();
    QTRY_COMPARE(counts.seen.size(), 2);
    press();
    QTest::qWait(800);
    QCOMPARE(server.requestCount(MonitoringPath), 2);
    query.setRefreshGap(0); // the gap is over
    press();
    QTRY_COMPARE(counts.seen.size(), 3);
    QTest::qWait(800);
    QCOMPARE(server.requestCount(MonitoringPath), 3);
}

void TestServerQuery::userIniRemembersChoice()
{
    QTemporaryDir dir;
    const UserIni settings(dir.filePath(QStringLiteral("user.ini")));
    QCOMPARE(settings.currentServer(), -1);
    QCOMPARE(settings.noSync(), 0);
    settings.setCurrentServer(3);
    QCOMPARE(settings.currentServer(), 3);

    QFile ini(dir.filePath(QStringLiteral("user.ini")));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    QVERIFY2(text.contains("[SERVERS]") && text.contains("Current=3"), text.constData());
    ini.close();

    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[SERVERS]\nCurrent=oops\nNoSync=1\n");
    ini.close();
    QCOMPARE(settings.currentServer(), -1);
    QCOMPARE(settings.noSync(), 1);
}

QTEST_GUILESS_MAIN(TestServerQuery)
#include "tst_serverquery.moc"
