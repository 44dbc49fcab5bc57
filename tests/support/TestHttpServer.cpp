#include "support/TestHttpServer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMap>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWaitCondition>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

using Reply = TestHttpServer::Reply;
using Request = TestHttpServer::Request;

// A request head larger than this is not a test's request.
constexpr int MaxHeadSize = 1 << 20;
// An endless body is written in pieces of this size, and no more than a few
// of them wait in the socket's buffer at any time.
constexpr int EndlessPieceSize = 64 * 1024;
constexpr int EndlessBacklog = 4 * EndlessPieceSize;
// How often an endless body's connection is checked for the peer's close.
constexpr int EndlessProbeMs = 20;
// A reset follows the last bytes after this pause, so that they are on the
// wire before it.
constexpr int ResetPauseMs = 100;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

QByteArray responseHead(const Reply &reply)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.statusCode) + ' ' + reasonPhrase(reply.statusCode)
        + "\r\n";
    bool hasLength = false;
    for (const auto &header : reply.headers) {
        head += header.first + ": " + header.second + "\r\n";
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            hasLength = true;
    }
    if (!hasLength && reply.announcedLength != Reply::NoLength) {
        const qint64 length = reply.announcedLength >= 0 ? reply.announcedLength : reply.body.size();
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    head += "Connection: close\r\n\r\n";
    return head;
}

// Takes one complete request off the front of buffer. False while the
// request is incomplete; *bad is set for a request that cannot be parsed.
bool takeRequest(QByteArray &buffer, Request *request, bool *bad)
{
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        *bad = buffer.size() > MaxHeadSize;
        return false;
    }
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        *bad = true;
        return false;
    }
    Request parsed;
    parsed.method = requestLine[0];
    const QByteArray target = requestLine[1];
    const int mark = target.indexOf('?');
    parsed.path = QString::fromLatin1(mark < 0 ? target : target.left(mark));
    parsed.rawQuery = mark < 0 ? QByteArray() : target.mid(mark + 1);
    parsed.query = QUrlQuery(QString::fromLatin1(parsed.rawQuery));

    qint64 length = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        parsed.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            length = value.toLongLong();
    }
    if (length < 0 || length > MaxHeadSize * 64) {
        *bad = true;
        return false;
    }
    const int bodyStart = headEnd + 4;
    if (buffer.size() - bodyStart < length)
        return false;
    parsed.body = buffer.mid(bodyStart, int(length));
    buffer.remove(0, bodyStart + int(length));
    *request = parsed;
    return true;
}

void sendTrickle(const QPointer<QTcpSocket> &socket, const Reply &reply)
{
    auto *timer = new QTimer(socket);
    auto offset = std::make_shared<int>(0);
    const int step = qMax(1, reply.bytesPerTick);
    QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, offset, step, reply] {
        socket->write(reply.body.mid(*offset, step));
        *offset += step;
        if (*offset >= reply.body.size()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(qMax(1, reply.tickMs));
}

// Keeps a few pieces of zeros queued for as long as the peer reads them, so
// that the body never ends while the server's own memory stays bounded.
void sendEndless(const QPointer<QTcpSocket> &socket)
{
    const QByteArray piece(EndlessPieceSize, '\0');
    const auto refill = [socket, piece] {
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return;
        while (socket->bytesToWrite() < EndlessBacklog)
            socket->write(piece);
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, refill);
    refill();
    // Windows reports a peer's reset of a connection whose send buffer is
    // full only to the next send, and Wine sends no notice that would start
    // one: try a send now and then, so that the end of the exchange is seen
    // when it happens, not when the test tears the server down.
    auto *probe = new QTimer(socket);
    QObject::connect(probe, &QTimer::timeout, socket, [socket] {
        if (socket)
            socket->flush();
    });
    probe->start(EndlessProbeMs);
}

// Closes the connection with a reset instead of an orderly close: with a
// zero linger time the kernel drops what is unsent and answers with RST.
void resetConnection(const QPointer<QTcpSocket> &socket)
{
    if (!socket)
        return;
    socket->flush();
#ifdef Q_OS_UNIX
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor >= 0) {
        const linger immediately{1, 0};
        ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
    }
#endif
    socket->abort();
}

void answer(const QPointer<QTcpSocket> &socket, const Reply &reply)
{
    if (!socket)
        return;
    switch (reply.mode) {
    case Reply::Mode::Silent:
        return;
    case Reply::Mode::Drop:
        socket->disconnectFromHost();
        return;
    case Reply::Mode::Complete:
    case Reply::Mode::Truncate:
        socket->write(responseHead(reply) + reply.body);
        socket->disconnectFromHost();
        return;
    case Reply::Mode::Stall:
        socket->write(responseHead(reply) + reply.body);
        return;
    case Reply::Mode::Trickle:
        socket->write(responseHead(reply));
        if (reply.body.isEmpty())
            socket->disconnectFromHost();
        else
            sendTrickle(socket, reply);
        return;
    case Reply::Mode::Endless:
        socket->write(responseHead(reply) + reply.body);
        sendEndless(socket);
        return;
    case Reply::Mode::Reset:
        socket->write(responseHead(reply) + reply.body);
        socket->flush();
        QTimer::singleShot(ResetPauseMs, socket, [socket] { resetConnection(socket); });
        return;
    }
}

// The file of a request path below root, or empty when there is none or the
// path would leave root.
QString documentPath(const QString &root, const QString &requestPath)
{
    if (root.isEmpty())
        return QString();
    const QString decoded = QUrl::fromPercentEncoding(requestPath.toUtf8());
    if (!decoded.startsWith(QLatin1Char('/')) || decoded.contains(QLatin1Char('\\')))
        return QString();
    const QStringList segments = decoded.split(QLatin1Char('/'));
    if (segments.contains(QStringLiteral("..")))
        return QString();
    const QFileInfo file(root + decoded);
    if (!file.isFile())
        return QString();
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (!file.canonicalFilePath().startsWith(canonicalRoot + QLatin1Char('/')))
        return QString();
    return file.canonicalFilePath();
}

// The request as it goes on to upstream: the same, for one exchange only.
QByteArray forwardedRequest(const Request &request, const QUrl &upstream)
{
    QByteArray raw = request.method + ' ' + request.path.toLatin1();
    if (!request.rawQuery.isEmpty())
        raw += '?' + request.rawQuery;
    raw += " HTTP/1.1\r\n";
    for (const auto &header : request.headers) {
        if (header.first.compare("Connection", Qt::CaseInsensitive) != 0
            && header.first.compare("Host", Qt::CaseInsensitive) != 0)
            raw += header.first + ": " + header.second + "\r\n";
    }
    raw += "Host: " + upstream.host().toLatin1() + ':' + QByteArray::number(upstream.port(80)) + "\r\n";
    raw += "Connection: close\r\n\r\n" + request.body;
    return raw;
}

// Relays one exchange with upstream; the client's connection closes when
// upstream's does.
void forward(const QPointer<QTcpSocket> &client, const Request &request, const QUrl &upstream)
{
    auto *link = new QTcpSocket(client);
    const QByteArray raw = forwardedRequest(request, upstream);
    QObject::connect(link, &QTcpSocket::connected, link, [link, raw] { link->write(raw); });
    QObject::connect(link, &QTcpSocket::readyRead, link, [link, client] {
        if (client)
            client->write(link->readAll());
    });
    QObject::connect(link, &QAbstractSocket::stateChanged, link, [link, client](QAbstractSocket::SocketState state) {
        if (state != QAbstractSocket::UnconnectedState || !client)
            return;
        client->write(link->readAll());
        client->disconnectFromHost();
    });
    link->connectToHost(upstream.host(), quint16(upstream.port(80)));
}

} // namespace

struct TestHttpServer::Private
{
    struct Script
    {
        QList<Reply> replies;
        int served = 0;
    };

    mutable QMutex mutex;
    mutable QWaitCondition changed;
    QMap<QString, Script> scripts;
    Reply defaultReply = Reply::status(404, "not found");
    QString documentRoot;
    QUrl upstream;
    QList<Request> log;
    // Counts clearLog() calls, so that a connection whose request was
    // forgotten does not mark another.
    int logGeneration = 0;
    int connections = 0;
    int openConnections = 0;
    int peakConnections = 0;
    int connectionLimit = 0;

    QThread thread;
    QObject *context = nullptr; // lives in thread; parent of the server
    QTcpServer *server = nullptr;
    quint16 port = 0;

    // Server thread only.
    void accept();
    void serve(QTcpSocket *socket);
    // The reply to request; *upstreamBase is set instead when it is to be
    // passed on.
    Reply record(const Request &request, int *logIndex, int *generation, QUrl *upstreamBase);
    void markEnded(int logIndex, int generation);
};

void TestHttpServer::Private::accept()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        bool refused = false;
        {
            QMutexLocker locker(&mutex);
            ++connections;
            refused = connectionLimit > 0 && openConnections >= connectionLimit;
            if (!refused)
                peakConnections = qMax(peakConnections, ++openConnections);
        }
        changed.wakeAll();
        if (refused) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        QObject::connect(socket, &QObject::destroyed, context, [this] {
            QMutexLocker locker(&mutex);
            --openConnections;
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        serve(socket);
    }
}

void TestHttpServer::Private::serve(QTcpSocket *socket)
{
    auto buffer = std::make_shared<QByteArray>();
    auto handled = std::make_shared<bool>(false);
    // Where the connection's request is in the log, once it is recorded.
    auto logIndex = std::make_shared<int>(-1);
    auto generation = std::make_shared<int>(0);
    QPointer<QTcpSocket> guarded(socket);
    QObject::connect(socket, &QAbstractSocket::stateChanged, socket,
                     [this, logIndex, generation](QAbstractSocket::SocketState state) {
                         if (state == QAbstractSocket::UnconnectedState)
                             markEnded(*logIndex, *generation);
                     });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, guarded, buffer, handled, logIndex, generation] {
        *buffer += guarded->readAll();
        // One request per connection: every answer closes it.
        if (*handled)
            return;
        Request request;
        bool bad = false;
        if (!takeRequest(*buffer, &request, &bad)) {
            if (bad)
                guarded->abort();
            return;
        }
        *handled = true;
        QUrl upstreamBase;
        const Reply reply = record(request, logIndex.get(), generation.get(), &upstreamBase);
        if (upstreamBase.isValid()) {
            forward(guarded, request, upstreamBase);
            return;
        }
        if (reply.delayMs > 0)
            QTimer::singleShot(reply.delayMs, guarded, [guarded, reply] { answer(guarded, reply); });
        else
            answer(guarded, reply);
    });
}

TestHttpServer::Reply TestHttpServer::Private::record(const Request &arrived, int *logIndex, int *generation,
                                                      QUrl *upstreamBase)
{
    Request request = arrived;
    QElapsedTimer now;
    now.start();
    request.arrivedMs = now.msecsSinceReference();
    Reply reply;
    QString root;
    QUrl passOn;
    {
        QMutexLocker locker(&mutex);
        *logIndex = log.size();
        *generation = logGeneration;
        log.append(request);
        auto it = scripts.end();
        const auto items = request.query.queryItems(QUrl::FullyDecoded);
        for (const auto &item : items) {
            it = scripts.find(request.path + QLatin1Char('?') + item.first + QLatin1Char('=') + item.second);
            if (it != scripts.end())
                break;
        }
        if (it == scripts.end())
            it = scripts.find(request.path);
        if (it == scripts.end() || it->replies.isEmpty()) {
            reply = defaultReply;
            root = documentRoot;
            passOn = upstream;
        } else {
            reply = it->replies.value(qMin(it->served, it->replies.size() - 1));
            ++it->served;
        }
    }
    changed.wakeAll();
    // Read outside the lock: the test thread may be waiting for it.
    const QString document = documentPath(root, request.path);
    if (!document.isEmpty()) {
        QFile file(document);
        if (file.open(QIODevice::ReadOnly))
            return Reply::ok(file.readAll(), "application/octet-stream");
    }
    *upstreamBase = passOn;
    return reply;
}

void TestHttpServer::Private::markEnded(int logIndex, int generation)
{
    QElapsedTimer now;
    now.start();
    QMutexLocker locker(&mutex);
    if (logIndex >= 0 && logIndex < log.size() && generation == logGeneration && log[logIndex].endedMs == 0)
        log[logIndex].endedMs = now.msecsSinceReference();
}

TestHttpServer::TestHttpServer()
    : d(new Private)
{
    d->context = new QObject;
    d->context->moveToThread(&d->thread);
    d->thread.start();
    Private *p = d.get();
    QMetaObject::invokeMethod(
        d->context,
        [p] {
            p->server = new QTcpServer(p->context);
            QObject::connect(p->server, &QTcpServer::newConnection, p->server, [p] { p->accept(); });
            if (p->server->listen(QHostAddress::LocalHost, 0))
                p->port = p->server->serverPort();
        },
        Qt::BlockingQueuedConnection);
}

TestHttpServer::~TestHttpServer()
{
    Private *p = d.get();
    // Sockets and timers are torn down in the thread that owns them.
    QMetaObject::invokeMethod(
        d->context,
        [p] {
            p->server->close();
            delete p->server;
            p->server = nullptr;
            qDeleteAll(p->context->children());
        },
        Qt::BlockingQueuedConnection);
    d->thread.quit();
    d->thread.wait();
    delete d->context;
}

bool TestHttpServer::isListening() const
{
    return d->port != 0;
}

quint16 TestHttpServer::port() const
{
    return d->port;
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(d->port) + path;
}

void TestHttpServer::setReply(const QString &path, const Reply &reply)
{
    setReplies(path, {reply});
}

void TestHttpServer::setReplies(const QString &path, const QList<Reply> &replies)
{
    QMutexLocker locker(&d->mutex);
    d->scripts.insert(path, Private::Script{replies, 0});
}

void TestHttpServer::setDefaultReply(const Reply &reply)
{
    QMutexLocker locker(&d->mutex);
    d->defaultReply = reply;
}

void TestHttpServer::clearReply(const QString &path)
{
    QMutexLocker locker(&d->mutex);
    d->scripts.remove(path);
}

void TestHttpServer::setDocumentRoot(const QString &dir)
{
    const QString root = dir.isEmpty() ? QString() : QFileInfo(dir).absoluteFilePath();
    QMutexLocker locker(&d->mutex);
    d->documentRoot = root;
}

void TestHttpServer::setUpstream(const QString &base)
{
    QMutexLocker locker(&d->mutex);
    d->upstream = base.isEmpty() ? QUrl() : QUrl(base);
}

QList<TestHttpServer::Request> TestHttpServer::requests() const
{
    QMutexLocker locker(&d->mutex);
    return d->log;
}

QList<TestHttpServer::Request> TestHttpServer::requests(const QString &path) const
{
    // "path?key=value" selects the requests of path whose query has that value.
    const int mark = path.indexOf(QLatin1Char('?'));
    const QString bare = mark < 0 ? path : path.left(mark);
    const QString condition = mark < 0 ? QString() : path.mid(mark + 1);
    const int equals = condition.indexOf(QLatin1Char('='));
    const QString key = equals < 0 ? condition : condition.left(equals);
    const QString value = equals < 0 ? QString() : condition.mid(equals + 1);

    QList<Request> matching;
    QMutexLocker locker(&d->mutex);
    for (const Request &request : d->log) {
        if (request.path != bare)
            continue;
        if (mark >= 0 && (!request.query.hasQueryItem(key) || request.queryValue(key) != value))
            continue;
        matching.append(request);
    }
    return matching;
}

int TestHttpServer::requestCount() const
{
    QMutexLocker locker(&d->mutex);
    return d->log.size();
}

int TestHttpServer::requestCount(const QString &path) const
{
    return requests(path).size();
}

int TestHttpServer::connectionCount() const
{
    QMutexLocker locker(&d->mutex);
    return d->connections;
}

int TestHttpServer::peakConnections() const
{
    QMutexLocker locker(&d->mutex);
    return d->peakConnections;
}

void TestHttpServer::setConnectionLimit(int count)
{
    QMutexLocker locker(&d->mutex);
    d->connectionLimit = count;
}

void TestHttpServer::clearLog()
{
    QMutexLocker locker(&d->mutex);
    d->log.clear();
    ++d->logGeneration;
    d->connections = 0;
    d->peakConnections = d->openConnections;
    for (auto &script : d->scripts)
        script.served = 0;
}

bool TestHttpServer::waitForRequests(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker locker(&d->mutex);
    while (d->log.size() < count) {
        if (!d->changed.wait(&d->mutex, deadline))
            return d->log.size() >= count;
    }
    return true;
}

// Reply builders.

Reply Reply::ok(const QByteArray &body, const QByteArray &contentType)
{
    Reply reply;
    reply.body = body;
    reply.headers.append({"Content-Type", contentType});
    return reply;
}

Reply Reply::status(int code, const QByteArray &body)
{
    Reply reply;
    reply.statusCode = code;
    reply.body = body;
    return reply;
}

Reply Reply::redirect(const QByteArray &location, int code)
{
    Reply reply;
    reply.statusCode = code;
    reply.headers.append({"Location", location});
    return reply;
}

Reply Reply::silent()
{
    Reply reply;
    reply.mode = Mode::Silent;
    return reply;
}

Reply Reply::dropped()
{
    Reply reply;
    reply.mode = Mode::Drop;
    return reply;
}

Reply Reply::stall(const QByteArray &bodyStart, qint64 announcedLength)
{
    Reply reply;
    reply.mode = Mode::Stall;
    reply.body = bodyStart;
    reply.announcedLength = announcedLength;
    return reply;
}

Reply Reply::truncated(const QByteArray &bodyStart, qint64 announcedLength)
{
    Reply reply = stall(bodyStart, announcedLength);
    reply.mode = Mode::Truncate;
    return reply;
}

Reply Reply::trickle(const QByteArray &body, int bytesPerTick, int tickMs)
{
    Reply reply;
    reply.mode = Mode::Trickle;
    reply.body = body;
    reply.bytesPerTick = bytesPerTick;
    reply.tickMs = tickMs;
    return reply;
}

Reply Reply::endless(const QByteArray &bodyStart)
{
    Reply reply;
    reply.mode = Mode::Endless;
    reply.body = bodyStart;
    reply.announcedLength = NoLength;
    return reply;
}

Reply Reply::reset(const QByteArray &bodyStart, qint64 announcedLength)
{
    Reply reply = stall(bodyStart, announcedLength);
    reply.mode = Mode::Reset;
    return reply;
}

Reply Reply::delayed(int ms) const
{
    Reply reply = *this;
    reply.delayMs = ms;
    return reply;
}

Reply Reply::withHeader(const QByteArray &name, const QByteArray &value) const
{
    Reply reply = *this;
    reply.headers.append({name, value});
    return reply;
}

// Request helpers.

QByteArray Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

QString Request::queryValue(const QString &key) const
{
    return query.queryItemValue(key, QUrl::FullyDecoded);
}
