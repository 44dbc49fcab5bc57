#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <memory>

// A scriptable HTTP/1.1 server on 127.0.0.1 for tests. It listens on a free
// port from construction to destruction and runs in a thread of its own, so
// it keeps answering while the test thread blocks (in a request helper's
// event loop, in a sleep, in a worker's wait).
//
//     TestHttpServer server;
//     server.setReply("/ping.txt", TestHttpServer::Reply::ok("pong"));
//     server.setReplies("/flaky", {TestHttpServer::Reply::status(500),
//                                  TestHttpServer::Reply::ok("fine")});
//     HttpRequest request(server.url("/ping.txt"));
//     ...
//     QCOMPARE(server.requestCount("/ping.txt"), 1);
//
// Each path answers with its script: a single reply, or a sequence in which
// the first request gets the first reply, the next the second, and so on,
// the last one repeating. Unscripted paths get the default reply (404), or,
// once setDocumentRoot() has named a folder, that folder's file of the same
// path when there is one (so that only the misbehaving paths need a script).
//
// A script may also be keyed by a path and one query parameter, as
// "/api_v2.php?data=ping": it answers the requests of that path whose query
// carries that value (fully decoded) and takes precedence over a script of
// the bare path. requests() and requestCount() accept the same form.
// Every answer closes its connection ("Connection: close"). All members are
// safe to call from any thread.
//
// With setUpstream() it is a man in the middle: every request that no
// script or document answers is passed on to the upstream server and its
// answer relayed byte for byte, so that a test scripts only the lies (an
// installer, a list, a signature of its own) and stops lying with
// clearReply().
class TestHttpServer final
{
public:
    struct Reply
    {
        enum class Mode {
            Complete, // status line, headers, whole body, close
            Stall,    // status line, headers, body, then silence (never finishes)
            Truncate, // as Stall, then close: Content-Length larger than what came
            Drop,     // close without any answer
            Silent,   // read the request, answer nothing, keep the connection
            Trickle,  // whole body, bytesPerTick bytes every tickMs, then close
            Endless,  // body, then zero bytes for as long as the peer reads
            Reset,    // status line, headers, body, then an abrupt close (RST)
        };

        Mode mode = Mode::Complete;
        int statusCode = 200;
        QList<QPair<QByteArray, QByteArray>> headers; // sent as given
        QByteArray body;
        // Content-Length sent: -1 (the default) the body's size, NoLength
        // none at all (the body then ends when the connection closes).
        qint64 announcedLength = -1;
        int delayMs = 0; // wait before answering at all
        int bytesPerTick = 0;
        int tickMs = 0;

        static constexpr qint64 NoLength = -2;

        static Reply ok(const QByteArray &body, const QByteArray &contentType = "text/plain");
        static Reply status(int code, const QByteArray &body = QByteArray());
        // location is sent as given, so relative targets stay relative.
        static Reply redirect(const QByteArray &location, int code = 302);
        static Reply silent();
        static Reply dropped();
        // Announces announcedLength bytes but sends only bodyStart.
        static Reply stall(const QByteArray &bodyStart, qint64 announcedLength);
        static Reply truncated(const QByteArray &bodyStart, qint64 announcedLength);
        static Reply trickle(const QByteArray &body, int bytesPerTick, int tickMs);
        // No Content-Length; bodyStart and then zero bytes without end.
        static Reply endless(const QByteArray &bodyStart = QByteArray());
        // Announces announcedLength bytes, sends bodyStart, then resets the
        // connection (SO_LINGER 0) instead of closing it in order.
        static Reply reset(const QByteArray &bodyStart, qint64 announcedLength);

        Reply delayed(int ms) const;
        Reply withHeader(const QByteArray &name, const QByteArray &value) const;
    };

    struct Request
    {
        QByteArray method;
        QString path;        // as on the wire, without the query
        QByteArray rawQuery; // as on the wire, without "?"
        QUrlQuery query;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        // When the request was complete, in milliseconds of the monotonic
        // clock (QElapsedTimer::msecsSinceReference()).
        qint64 arrivedMs = 0;
        // When its connection ended, closed by either side, on the same
        // clock; 0 while it is open.
        qint64 endedMs = 0;

        // First header of that name (case-insensitive), or empty.
        QByteArray header(const QByteArray &name) const;
        // Fully decoded value of a query key.
        QString queryValue(const QString &key) const;
    };

    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>" + path
    QString url(const QString &path) const;

    void setReply(const QString &path, const Reply &reply);
    void setReplies(const QString &path, const QList<Reply> &replies);
    void setDefaultReply(const Reply &reply);
    // Forgets the script of path (and its sequence position); the path then
    // gets the default answer again.
    void clearReply(const QString &path);
    // Unscripted paths are answered with the file of that path below dir
    // (200, application/octet-stream) when it exists; others get the default
    // reply. Paths that climb out of dir are never served. An empty dir
    // turns this off.
    void setDocumentRoot(const QString &dir);
    // Passes requests that no script or document answers on to the server
    // at base (its scheme, host and port; http only), path and query
    // unchanged. An empty base turns this off.
    void setUpstream(const QString &base);

    // Requests received so far, in order of arrival (recorded once the
    // request, body included, has been read).
    QList<Request> requests() const;
    QList<Request> requests(const QString &path) const;
    int requestCount() const;
    int requestCount(const QString &path) const;
    // Connections accepted so far, whether or not a request came on them.
    int connectionCount() const;
    // The most connections that were open at once.
    int peakConnections() const;
    // Connections beyond count open at once are closed as soon as they are
    // accepted, as by a server that limits each client; 0: no limit.
    void setConnectionLimit(int count);
    // Forgets the recorded requests and connections and restarts every
    // sequence; scripts stay.
    void clearLog();

    // Blocks until at least `count` requests were recorded in total.
    bool waitForRequests(int count, int timeoutMs) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
