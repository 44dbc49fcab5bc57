#include "service/HttpRequest.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#ifndef QT_NO_SSL
#include <QSslConfiguration>
#include <QSslSocket>
#endif

#include <memory>

namespace {

Q_LOGGING_CATEGORY(lcHttp, "varo.service", QtInfoMsg)

constexpr qint64 MaxResponseSizeLimit = qint64(1) << 30;
// Most bytes the network layer reads ahead of the readyRead handler below.
// Without a limit, an answer that never ends keeps Qt's HTTP thread reading
// it long after the abort, and the size check sees the bytes late.
constexpr qint64 ReadBufferBytes = qint64(1) << 20;

const QByteArray UserAgent = QByteArrayLiteral("VaroOnline/1.0.0.0");
const QByteArray FormContentType = QByteArrayLiteral("application/x-www-form-urlencoded");

// Only web addresses are fetched: the network layer would also read file:,
// qrc: and data: addresses, and an answer must never make the launcher read
// its own disk.
bool isWebAddress(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QNetworkRequest makeRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, UserAgent);
    // Redirects come back to us as answers and are followed by hand, so that
    // each hop is checked and counted.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setMaximumRedirectsAllowed(10);
#if defined(VARO_INSECURE_TLS) && !defined(QT_NO_SSL)
    // Built for a deployment whose servers use self-signed certificates.
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    request.setSslConfiguration(ssl);
#endif
    return request;
}

} // namespace

HttpRequest::HttpRequest(const QString &url, qint64 maxResponseSize)
    : address(url)
{
    setMaxResponseSize(maxResponseSize);
}

void HttpRequest::addParam(const QString &key, const QString &value)
{
    params.insert(key, value);
}

QByteArray HttpRequest::encodeParams() const
{
    QByteArray encoded;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (!encoded.isEmpty())
            encoded += '&';
        encoded += it.key().toUtf8();
        encoded += '=';
        encoded += it.value().toUtf8().toPercentEncoding();
    }
    return encoded;
}

bool HttpRequest::perform(bool post, int timeoutMs)
{
    QUrl working(address);
    if (!isWebAddress(working)) {
        qCDebug(lcHttp) << "[http refused]" << address;
        return false;
    }

    // Declared in this order so that the loop and the timer go first and the
    // manager then takes every reply it made with it.
    QNetworkAccessManager manager;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(qMax(0, timeoutMs));
    QEventLoop loop;

    const QByteArray payload = encodeParams();
    int budget = MaxRedirects + 1;

    for (;;) {
        QUrl target = working;
        if (!post)
            target.setQuery(QString::fromUtf8(payload));
        QNetworkRequest request = makeRequest(target);
        if (post)
            request.setHeader(QNetworkRequest::ContentTypeHeader, FormContentType);

        std::unique_ptr<QNetworkReply> reply(post ? manager.post(request, payload) : manager.get(request));
        QNetworkReply *const r = reply.get();
        r->setReadBufferSize(ReadBufferBytes);
        QByteArray received;
        bool tooLong = false;

        QObject::connect(r, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QObject::connect(&timer, &QTimer::timeout, r, &QNetworkReply::abort);
        // Refuse an announced length over the bound before any of it arrives.
        QObject::connect(r, &QNetworkReply::metaDataChanged, r, [&tooLong, r, this] {
            const QVariant length = r->header(QNetworkRequest::ContentLengthHeader);
            if (!tooLong && length.isValid() && length.toLongLong() > maxSize) {
                tooLong = true;
                r->abort();
            }
        });
        // Take the body as it comes, so that no more than the bound plus one
        // chunk is ever held.
        QObject::connect(r, &QNetworkReply::readyRead, r, [&received, &tooLong, r, this] {
            if (tooLong)
                return;
            if (received.size() + r->bytesAvailable() > maxSize) {
                tooLong = true;
                r->abort();
                return;
            }
            received += r->readAll();
        });

        timer.start();
        loop.exec();
        timer.stop();

        if (!r->isFinished()) {
            qCDebug(lcHttp) << "[http unfinished]" << target;
            return false;
        }
        if (tooLong) {
            qCDebug(lcHttp) << "[http too long]" << target << maxSize;
            return false;
        }
        if (r->error() != QNetworkReply::NoError) {
            qCDebug(lcHttp) << "[http error]" << target << r->error();
            return false;
        }

        const QUrl redirect = r->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (redirect.isEmpty()) {
            if (received.size() + r->bytesAvailable() > maxSize) {
                qCDebug(lcHttp) << "[http too long]" << target << maxSize;
                return false;
            }
            received += r->readAll();
            // Qt may end an answer that the server cut short, or send the
            // request once more by itself after a reset and hand on the new
            // answer behind the old one's bytes, without an error. An answer
            // that announced its length must have exactly that length.
            const QVariant length = r->header(QNetworkRequest::ContentLengthHeader);
            const QByteArray encoding = r->rawHeader("Content-Encoding").trimmed().toLower();
            if (length.isValid() && (encoding.isEmpty() || encoding == "identity")
                && length.toLongLong() != received.size()) {
                qCDebug(lcHttp) << "[http short]" << target << received.size() << "of" << length.toLongLong();
                return false;
            }
            body = received;
            return true;
        }

        working = working.resolved(redirect);
        if (budget == 1) {
            qCDebug(lcHttp) << "[http too many redirects]" << working;
            return false;
        }
        --budget;
        if (!isWebAddress(working)) {
            qCDebug(lcHttp) << "[http refused]" << working;
            return false;
        }
        qCDebug(lcHttp) << "[http redirect]" << working;
    }
}

bool HttpRequest::get(int attempts, int timeoutMs)
{
    for (int i = 0; i < attempts; ++i) {
        if (perform(false, timeoutMs))
            return true;
    }
    return false;
}

bool HttpRequest::post(int attempts, int timeoutMs)
{
    for (int i = 0; i < attempts; ++i) {
        if (perform(true, timeoutMs))
            return true;
    }
    return false;
}

QByteArray HttpRequest::response() const
{
    return body;
}

QString HttpRequest::url() const
{
    return address;
}

void HttpRequest::setMaxResponseSize(qint64 bytes)
{
    maxSize = qBound(qint64(0), bytes, MaxResponseSizeLimit);
}

qint64 HttpRequest::maxResponseSize() const
{
    return maxSize;
}
