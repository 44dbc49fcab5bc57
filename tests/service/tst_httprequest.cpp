#include "service/HttpRequest.h"
#include "service/WebAddress.h"
#include "support/TestHttpServer.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

using Reply = TestHttpServer::Reply;
using Params = QList<QPair<QString, QString>>;

Q_DECLARE_METATYPE(TestHttpServer::Reply)
Q_DECLARE_METATYPE(Params)

namespace {

const QString Cyrillic = QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442"); // "Привет"

// The body then ends where the server closes the connection.
Reply withoutLength(Reply reply)
{
    reply.announcedLength = Reply::NoLength;
    return reply;
}

void addAll(HttpRequest &request, const Params &params)
{
    for (const auto &param : params)
        request.addParam(param.first, param.second);
}

} // namespace

class TestHttpRequest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void encodeParams_data();
    void encodeParams();
    void getSendsParamsAsQuery_data();
    void getSendsParamsAsQuery();
    void postSendsFormBody();

    void outcome_data();
    void outcome();
    void failedAttemptKeepsResponse();
    void attemptsStopAtFirstSuccess();
    void togetherEachWithItsAttempts();
    void silentServerFailsEachAttemptAfterTimeout();
    void worksFromWorkerThread();

    void redirects_data();
    void redirects();
    void timeoutRestartsOnEachRedirectHop();
    void onlyWebAddressesAreFetched_data();
    void onlyWebAddressesAreFetched();
    void redirectToNonWebAddressFails_data();
    void redirectToNonWebAddressFails();
    void redirectKeepsTls_data();
    void redirectKeepsTls();

    void bodySizeIsBounded_data();
    void bodySizeIsBounded();
    void announcedOversizeFailsWithoutWaiting();

private:
    TestHttpServer server;
    QTemporaryDir scratch;
};

void TestHttpRequest::initTestCase()
{
    QVERIFY(server.isListening());
    QVERIFY(scratch.isValid());
}

void TestHttpRequest::init()
{
    server.clearLog();
}

void TestHttpRequest::encodeParams_data()
{
    QTest::addColumn<Params>("params");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("none") << Params{} << QByteArray();
    QTest::newRow("sorted by key whatever the order of adding")
        << Params{{"version", "1"}, {"sig", "s"}, {"data", "ping"}, {"hash", "h"}}
        << QByteArray("data=ping&hash=h&sig=s&version=1");
    QTest::newRow("existing key replaced") << Params{{"a", "1"}, {"b", "2"}, {"a", "3"}} << QByteArray("a=3&b=2");
    QTest::newRow("reserved characters encoded with upper-case hex")
        << Params{{"v", "a b+c/d=e&f?g%h"}} << QByteArray("v=a%20b%2Bc%2Fd%3De%26f%3Fg%25h");
    QTest::newRow("unreserved characters kept") << Params{{"v", "AZaz09-._~"}} << QByteArray("v=AZaz09-._~");
    QTest::newRow("non-ASCII value as UTF-8 bytes")
        << Params{{"v", Cyrillic}} << QByteArray("v=%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82");
    QTest::newRow("key sent raw") << Params{{Cyrillic + " k", "x"}} << (Cyrillic + " k=x").toUtf8();
    QTest::newRow("empty value") << Params{{"a", ""}, {"b", "1"}} << QByteArray("a=&b=1");
}

void TestHttpRequest::encodeParams()
{
    QFETCH(Params, params);
    QFETCH(QByteArray, expected);

    HttpRequest request(server.url("/"));
    addAll(request, params);
    QCOMPARE(request.encodeParams(), expected);
}

void TestHttpRequest::getSendsParamsAsQuery_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<Params>("params");
    QTest::addColumn<QByteArray>("wireQuery");

    QTest::newRow("sorted") << "/api" << Params{{"sig", "s"}, {"data", "ping"}, {"hash", "h"}}
                            << QByteArray("data=ping&hash=h&sig=s");
    QTest::newRow("encoded") << "/api" << Params{{"v", "a b+c/d=="}} << QByteArray("v=a%20b%2Bc%2Fd%3D%3D");
    QTest::newRow("non-ASCII") << "/api" << Params{{"v", Cyrillic}}
                               << QByteArray("v=%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82");
    QTest::newRow("own query replaced") << "/pic.png?v=2&x=1" << Params{{"a", "b"}} << QByteArray("a=b");
    QTest::newRow("own query dropped without params") << "/pic.png?v=2" << Params{} << QByteArray();
}

void TestHttpRequest::getSendsParamsAsQuery()
{
    QFETCH(QString, path);
    QFETCH(Params, params);
    QFETCH(QByteArray, wireQuery);

    const QString plainPath = path.section(QLatin1Char('?'), 0, 0);
    server.setReply(plainPath, Reply::ok("answer"));
    HttpRequest request(server.url(path));
    addAll(request, params);
    QVERIFY(request.get(1, 3000));
    QCOMPARE(request.response(), QByteArray("answer"));

    const auto seen = server.requests();
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].method, QByteArray("GET"));
    QCOMPARE(seen[0].path, plainPath);
    QCOMPARE(seen[0].rawQuery, wireQuery);
    QCOMPARE(seen[0].header("User-Agent"), QByteArray("VaroOnline/1.0.0.0"));
    QVERIFY(seen[0].body.isEmpty());
}

void TestHttpRequest::postSendsFormBody()
{
    server.setReply("/form", Reply::ok("posted"));
    HttpRequest request(server.url("/form?keep=1"));
    request.addParam("text", "a b+" + Cyrillic);
    request.addParam("id", "7");
    QVERIFY(request.post(1, 3000));
    QCOMPARE(request.response(), QByteArray("posted"));

    const auto seen = server.requests();
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].method, QByteArray("POST"));
    QCOMPARE(seen[0].rawQuery, QByteArray("keep=1"));
    QCOMPARE(seen[0].header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(seen[0].header("User-Agent"), QByteArray("VaroOnline/1.0.0.0"));
    QCOMPARE(seen[0].body, QByteArray("id=7&text=a%20b%2B%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82"));
}

void TestHttpRequest::outcome_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QByteArray>("body");

    const QByteArray text = "0123456789abcdefghij";
    QTest::newRow("200 with body") << Reply::ok(text) << 3000 << true << text;
    QTest::newRow("200 empty") << Reply::ok(QByteArray()) << 3000 << true << QByteArray();
    QTest::newRow("204") << Reply::status(204) << 3000 << true << QByteArray();
    QTest::newRow("body ended by close") << withoutLength(Reply::ok(text)) << 3000 << true << text;
    QTest::newRow("404") << Reply::status(404, "missing") << 3000 << false << QByteArray();
    QTest::newRow("500") << Reply::status(500, "broken") << 3000 << false << QByteArray();
    QTest::newRow("cut short") << Reply::truncated("0123", 100) << 3000 << false << QByteArray();
    QTest::newRow("closed without answer") << Reply::dropped() << 3000 << false << QByteArray();
    QTest::newRow("headers then silence") << Reply::stall("01", 10) << 400 << false << QByteArray();
    QTest::newRow("slow body within time") << Reply::trickle(text, 5, 20) << 3000 << true << text;
    QTest::newRow("slow body past time") << Reply::trickle(text, 2, 100) << 400 << false << QByteArray();
}

void TestHttpRequest::outcome()
{
    QFETCH(Reply, reply);
    QFETCH(int, timeoutMs);
    QFETCH(bool, succeeds);
    QFETCH(QByteArray, body);

    const QString path = QStringLiteral("/outcome/") + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    server.setReply(path, reply);
    HttpRequest request(server.url(path));
    QCOMPARE(request.get(1, timeoutMs), succeeds);
    QCOMPARE(request.response(), body);
}

void TestHttpRequest::failedAttemptKeepsResponse()
{
    server.setReplies("/seq",
                      {Reply::ok("first"), Reply::status(404, "nope"), Reply::truncated("par", 50),
                       Reply::ok(QByteArray())});
    HttpRequest request(server.url("/seq"));
    QVERIFY(request.perform(false, 3000));
    QCOMPARE(request.response(), QByteArray("first"));
    QVERIFY(!request.perform(false, 3000));
    QCOMPARE(request.response(), QByteArray("first"));
    QVERIFY(!request.perform(false, 3000));
    QCOMPARE(request.response(), QByteArray("first"));
    // A later success replaces it, even with an empty body.
    QVERIFY(request.perform(false, 3000));
    QCOMPARE(request.response(), QByteArray());
}

void TestHttpRequest::attemptsStopAtFirstSuccess()
{
    const QList<Reply> flaky{Reply::status(500), Reply::status(503), Reply::ok("third")};

    server.setReplies("/flaky", flaky);
    HttpRequest enough(server.url("/flaky"));
    QVERIFY(enough.get(5, 3000));
    QCOMPARE(enough.response(), QByteArray("third"));
    QCOMPARE(server.requestCount("/flaky"), 3);

    server.setReplies("/flaky-post", flaky);
    HttpRequest tooFew(server.url("/flaky-post"));
    QVERIFY(!tooFew.post(2, 3000));
    QCOMPARE(server.requestCount("/flaky-post"), 2);

    server.setReply("/never", Reply::ok("x"));
    HttpRequest none(server.url("/never"));
    QVERIFY(!none.get(0, 3000));
    QVERIFY(!none.post(0, 3000));
    QCOMPARE(server.connectionCount(), 5);
    QCOMPARE(server.requestCount("/never"), 0);
}

// Requests sent together are on the wire at once, each with attempts of
// its own, through network objects of their own or a shared manager.
void TestHttpRequest::togetherEachWithItsAttempts()
{
    server.setReplies("/t/flaky", {Reply::status(500), Reply::ok("second").delayed(300)});
    server.setReply("/t/slow", Reply::ok("slow").delayed(300));
    server.setReply("/t/missing", Reply::status(404));
    QNetworkAccessManager shared;
    HttpRequest flaky(server.url("/t/flaky"));
    HttpRequest slow(server.url("/t/slow"));
    HttpRequest missing(server.url("/t/missing"));
    slow.setNetwork(&shared);
    missing.setNetwork(&shared);
    QCOMPARE(HttpRequest::getTogether({&flaky, &slow, &missing}, 2, 3000), (QVector<bool>{true, true, false}));
    QCOMPARE(flaky.response(), QByteArray("second"));
    QCOMPARE(slow.response(), QByteArray("slow"));
    QCOMPARE(server.requestCount("/t/flaky"), 2);
    QCOMPARE(server.requestCount("/t/missing"), 2);
    // The slow one did not wait for the flaky one's 300 ms.
    const qint64 apart = server.requests("/t/slow").first().arrivedMs - server.requests("/t/flaky").first().arrivedMs;
    QVERIFY2(qAbs(apart) < 250, qPrintable(QString::number(apart)));
}

void TestHttpRequest::silentServerFailsEachAttemptAfterTimeout()
{
    server.setReply("/silent", Reply::silent());
    HttpRequest request(server.url("/silent"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!request.get(3, 1000));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 2900 && elapsed < 4500, qPrintable(QString::number(elapsed)));
    QCOMPARE(server.requestCount("/silent"), 3);
}

void TestHttpRequest::worksFromWorkerThread()
{
    server.setReply("/worker", Reply::ok("from worker").delayed(200));
    bool ok = false;
    QByteArray body;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        HttpRequest request(server.url("/worker"));
        ok = request.get(1, 3000);
        body = request.response();
    }));
    worker->start();
    QVERIFY(server.waitForRequests(1, 3000));
    QVERIFY(worker->wait(5000));
    QVERIFY(ok);
    QCOMPARE(body, QByteArray("from worker"));
}

void TestHttpRequest::redirects_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("absolute");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("one relative") << 1 << false << true;
    QTest::newRow("five relative") << 5 << false << true;
    QTest::newRow("five absolute") << 5 << true << true;
    QTest::newRow("six relative") << 6 << false << false;
    QTest::newRow("six absolute") << 6 << true << false;
}

void TestHttpRequest::redirects()
{
    QFETCH(int, hops);
    QFETCH(bool, absolute);
    QFETCH(bool, succeeds);

    // /<tag>/hop0 -> /<tag>/hop1 -> ... -> /<tag>/hop<hops>, which answers.
    const QString base = QStringLiteral("/") + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    for (int i = 0; i < hops; ++i) {
        const QString next = base + QStringLiteral("/hop%1").arg(i + 1);
        const QString location = absolute ? server.url(next) : QStringLiteral("hop%1").arg(i + 1);
        server.setReply(base + QStringLiteral("/hop%1").arg(i), Reply::redirect(location.toUtf8(), i % 2 ? 301 : 302));
    }
    const QString last = base + QStringLiteral("/hop%1").arg(hops);
    server.setReply(last, Reply::ok("arrived"));

    HttpRequest request(server.url(base + "/hop0"));
    request.addParam("q", "1");
    QCOMPARE(request.get(1, 3000), succeeds);
    QCOMPARE(request.response(), succeeds ? QByteArray("arrived") : QByteArray());
    QCOMPARE(server.requestCount(last), succeeds ? 1 : 0);
    QCOMPARE(server.requestCount(), succeeds ? hops + 1 : hops);
    // Every hop carries the parameters again.
    for (const auto &seen : server.requests())
        QCOMPARE(seen.rawQuery, QByteArray("q=1"));
}

void TestHttpRequest::timeoutRestartsOnEachRedirectHop()
{
    server.setReply("/slow-hop", Reply::redirect("/slow-end").delayed(600));
    server.setReply("/slow-end", Reply::ok("end").delayed(600));
    HttpRequest request(server.url("/slow-hop"));
    QVERIFY(request.get(1, 1000));
    QCOMPARE(request.response(), QByteArray("end"));
}

void TestHttpRequest::onlyWebAddressesAreFetched_data()
{
    QTest::addColumn<QString>("address");

    const QString localFile = scratch.filePath("secret.txt");
    QFile file(localFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("local secret");
    file.close();

    QTest::newRow("file") << QUrl::fromLocalFile(localFile).toString();
    QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1:%1/x").arg(server.port());
    QTest::newRow("data") << QStringLiteral("data:text/plain,hello");
    QTest::newRow("qrc") << QStringLiteral("qrc:/images/logo.png");
    QTest::newRow("empty") << QString();
    QTest::newRow("relative") << QStringLiteral("/api_v2.php");
    QTest::newRow("no host") << QStringLiteral("http:///x");
}

void TestHttpRequest::onlyWebAddressesAreFetched()
{
    QFETCH(QString, address);

    HttpRequest request(address);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!request.get(2, 3000));
    QVERIFY(clock.elapsed() < 1000);
    QVERIFY(request.response().isEmpty());
    QCOMPARE(server.connectionCount(), 0);
}

void TestHttpRequest::redirectToNonWebAddressFails_data()
{
    QTest::addColumn<QByteArray>("location");

    const QString localFile = scratch.filePath("secret.txt");
    QFile file(localFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("local secret");
    file.close();

    QTest::newRow("file") << QUrl::fromLocalFile(localFile).toEncoded();
    QTest::newRow("data") << QByteArray("data:text/plain,hello");
    QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1:%1/x").arg(server.port()).toUtf8();
    QTest::newRow("qrc") << QByteArray("qrc:/images/logo.png");
}

void TestHttpRequest::redirectToNonWebAddressFails()
{
    QFETCH(QByteArray, location);

    server.setReply("/to-elsewhere", Reply::redirect(location));
    HttpRequest request(server.url("/to-elsewhere"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!request.get(1, 3000));
    QVERIFY(clock.elapsed() < 1000);
    QVERIFY(request.response().isEmpty());
    QCOMPARE(server.connectionCount(), 1);
}

// A redirect from https to http would hand the rest of the exchange to
// whoever sits on the path; the transfer core asks this of every hop.
void TestHttpRequest::redirectKeepsTls_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("followed");
    QTest::newRow("https to http") << "https://a.example/x"
                                   << "http://a.example/x" << false;
    QTest::newRow("HTTPS to http") << "HTTPS://a.example/x"
                                   << "http://b.example/x" << false;
    QTest::newRow("https to https") << "https://a.example/x"
                                    << "https://b.example/y" << true;
    QTest::newRow("http to https") << "http://a.example/x"
                                   << "https://a.example/x" << true;
    QTest::newRow("http to http") << "http://a.example/x"
                                  << "http://b.example/x" << true;
    QTest::newRow("https to file") << "https://a.example/x"
                                   << "file:///etc/passwd" << false;
}

void TestHttpRequest::redirectKeepsTls()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, followed);
    QCOMPARE(WebAddress::isFetchableRedirect(QUrl(from), QUrl(to)), followed);
}

void TestHttpRequest::bodySizeIsBounded_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("succeeds");

    const QByteArray exact(1000, 'x');
    const QByteArray over(1001, 'x');
    QTest::newRow("at the bound") << Reply::ok(exact) << true;
    QTest::newRow("over the bound") << Reply::ok(over) << false;
    QTest::newRow("over the bound, no length") << withoutLength(Reply::ok(QByteArray(300000, 'y'))) << false;
    QTest::newRow("at the bound, no length") << withoutLength(Reply::ok(exact)) << true;
}

void TestHttpRequest::bodySizeIsBounded()
{
    QFETCH(Reply, reply);
    QFETCH(bool, succeeds);

    const QString path = QStringLiteral("/size/") + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    server.setReply(path, reply);
    HttpRequest request(server.url(path), 1000);
    QCOMPARE(request.get(1, 3000), succeeds);
    QCOMPARE(request.response(), succeeds ? reply.body : QByteArray());
}

void TestHttpRequest::announcedOversizeFailsWithoutWaiting()
{
    // Announces one byte more than the default bound and then stalls: the
    // request is given up at once instead of at the time-out.
    server.setReply("/huge", Reply::stall("abc", HttpRequest::DefaultMaxResponseSize + 1));
    HttpRequest request(server.url("/huge"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!request.get(1, 5000));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "tst_httprequest.moc"
