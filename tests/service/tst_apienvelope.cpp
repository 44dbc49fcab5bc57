#include "service/ApiEnvelope.h"
#include "service/Endpoints.h"
#include "support/TestHttpServer.h"

#include <QDateTime>
#include <QHostAddress>
#include <QRegularExpression>
#include <QtTest>

#include <functional>

using Reply = TestHttpServer::Reply;

class TestApiEnvelope : public QObject
{
    Q_OBJECT

private slots:
    void saltIsTwentyBytesOfBase64();
    void saltsWithinOneSecondAreEqual();
    void signature_data();
    void signature();
    void requestOnTheWire_data();
    void requestOnTheWire();
    void freshSaltIsSignedConsistently();
    void endpointsFollowEnvironment_data();
    void endpointsFollowEnvironment();
    void builtInEndpointsHaveTheirPaths();
};

void TestApiEnvelope::saltIsTwentyBytesOfBase64()
{
    const QString salt = ApiEnvelope::makeSalt();
    QCOMPARE(salt.size(), 28);
    QVERIFY(salt.endsWith(QLatin1Char('=')));
    QVERIFY(!salt.endsWith(QLatin1String("==")));
    QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]{27}=$")).match(salt).hasMatch());
    QCOMPARE(QByteArray::fromBase64(salt.toLatin1()).size(), 20);
}

void TestApiEnvelope::saltsWithinOneSecondAreEqual()
{
    // Retried when the two salts straddle a second boundary.
    for (int tries = 0; tries < 5; ++tries) {
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const QString first = ApiEnvelope::makeSalt();
        const QString second = ApiEnvelope::makeSalt();
        if (QDateTime::currentSecsSinceEpoch() != before)
            continue;
        QCOMPARE(first, second);
        return;
    }
    QFAIL("no two salts made within one second");
}

void TestApiEnvelope::signature_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("salt");
    QTest::addColumn<QString>("expected");

    // md5("ping" + "abc+/de=" + key) and md5("updates" + "AAAA" + key).
    QTest::newRow("ping") << "ping"
                          << "abc+/de="
                          << "c91ebac216f4fa9a3d1cc6621c398936";
    QTest::newRow("updates") << "updates"
                             << "AAAA"
                             << "5f076371a2965341a5a0bc72e58badfe";
}

void TestApiEnvelope::signature()
{
    QFETCH(QString, action);
    QFETCH(QString, salt);
    QFETCH(QString, expected);
    QCOMPARE(ApiEnvelope::apiSignature(action, salt), expected);
}

void TestApiEnvelope::requestOnTheWire_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("salt");
    QTest::addColumn<QByteArray>("query");

    QTest::newRow("ping") << "ping" << QString() << "abc+/de="
                          << QByteArray("data=ping&hash=c91ebac216f4fa9a3d1cc6621c398936&sig=abc%2B%2Fde%3D");
    // The version travels along but is not signed.
    QTest::newRow("updates") << "updates"
                             << "1.0.0.0"
                             << "AAAA"
                             << QByteArray("data=updates&hash=5f076371a2965341a5a0bc72e58badfe&sig=AAAA"
                                           "&version=1.0.0.0");
}

void TestApiEnvelope::requestOnTheWire()
{
    QFETCH(QString, action);
    QFETCH(QString, version);
    QFETCH(QString, salt);
    QFETCH(QByteArray, query);

    TestHttpServer server;
    server.setReply("/launcher_api/api_v2.php", Reply::ok("{}", "application/json"));
    HttpRequest request = ApiEnvelope::makeRequest(server.url("/launcher_api"), action, version, salt);
    QVERIFY(request.get(1, 3000));
    QCOMPARE(request.response(), QByteArray("{}"));

    const auto seen = server.requests();
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].path, QStringLiteral("/launcher_api/api_v2.php"));
    QCOMPARE(seen[0].rawQuery, query);
}

void TestApiEnvelope::freshSaltIsSignedConsistently()
{
    HttpRequest request = ApiEnvelope::makeRequest(QStringLiteral("http://127.0.0.1:1/launcher_api"),
                                                   QStringLiteral("news"));
    QCOMPARE(request.url(), QStringLiteral("http://127.0.0.1:1/launcher_api/api_v2.php"));
    const QUrlQuery query(QString::fromLatin1(request.encodeParams()));
    const QString salt = query.queryItemValue(QStringLiteral("sig"), QUrl::FullyDecoded);
    QCOMPARE(salt.size(), 28);
    QCOMPARE(query.queryItemValue(QStringLiteral("hash")), ApiEnvelope::apiSignature(QStringLiteral("news"), salt));
    QVERIFY(!query.hasQueryItem(QStringLiteral("version")));
}

void TestApiEnvelope::endpointsFollowEnvironment_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("api") << QByteArray("VARO_API_BASE") << "http://127.0.0.1:8080/launcher_api"
                         << "http://127.0.0.1:8080/launcher_api";
    QTest::newRow("mirror") << QByteArray("VARO_MIRROR_BASE") << "http://127.0.0.1:8081/files/"
                            << "http://127.0.0.1:8081/files/";
    QTest::newRow("mirror without slash") << QByteArray("VARO_MIRROR_BASE") << "http://127.0.0.1:8081/files"
                                          << "http://127.0.0.1:8081/files/";
    QTest::newRow("monitoring") << QByteArray("VARO_MONITORING_URL") << "http://127.0.0.1:8082/servers/monitoring"
                                << "http://127.0.0.1:8082/servers/monitoring";
    QTest::newRow("game host") << QByteArray("VARO_GAME_HOST") << "game.test"
                               << "game.test";
    QTest::newRow("default server") << QByteArray("VARO_DEFAULT_SERVER") << "127.0.0.2"
                                    << "127.0.0.2";
}

void TestApiEnvelope::endpointsFollowEnvironment()
{
    QFETCH(QByteArray, variable);
    QFETCH(QString, value);
    QFETCH(QString, expected);

    const QMap<QByteArray, std::function<QString()>> accessors{
        {"VARO_API_BASE", Endpoints::launcherApiBase},
        {"VARO_MIRROR_BASE", Endpoints::primaryMirrorBase},
        {"VARO_MONITORING_URL", Endpoints::monitoringUrl},
        {"VARO_GAME_HOST", Endpoints::gameHost},
        {"VARO_DEFAULT_SERVER", Endpoints::defaultServerAddress},
    };
    const auto accessor = accessors.value(variable);
    QVERIFY(accessor);

    qunsetenv(variable.constData());
    const QString builtIn = accessor();
    QVERIFY(!builtIn.isEmpty());

    qputenv(variable.constData(), value.toUtf8());
    QCOMPARE(accessor(), expected);
    // An empty variable counts as unset.
    qputenv(variable.constData(), QByteArray());
    QCOMPARE(accessor(), builtIn);
    qunsetenv(variable.constData());
    QCOMPARE(accessor(), builtIn);
}

void TestApiEnvelope::builtInEndpointsHaveTheirPaths()
{
    for (const char *variable :
         {"VARO_API_BASE", "VARO_MIRROR_BASE", "VARO_MONITORING_URL", "VARO_GAME_HOST", "VARO_DEFAULT_SERVER"})
        qunsetenv(variable);
    QCOMPARE(QUrl(Endpoints::launcherApiBase()).path(), QStringLiteral("/launcher_api"));
    QVERIFY(Endpoints::primaryMirrorBase().endsWith(QLatin1Char('/')));
    QCOMPARE(QUrl(Endpoints::monitoringUrl()).path(), QStringLiteral("/servers/monitoring"));
    QVERIFY(!Endpoints::gameHost().isEmpty());
    QCOMPARE(QHostAddress(Endpoints::defaultServerAddress()).protocol(), QAbstractSocket::IPv4Protocol);
}

QTEST_GUILESS_MAIN(TestApiEnvelope)
#include "tst_apienvelope.moc"
