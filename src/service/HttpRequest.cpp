#include "service/HttpRequest.h"

#include "service/Transfer.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QUrl>

namespace {

Q_LOGGING_CATEGORY(lcHttp, "varo.service", QtInfoMsg)

constexpr qint64 MaxResponseSizeLimit = qint64(1) << 30;

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

void HttpRequest::setHeader(const QByteArray &name, const QByteArray &value)
{
    requestHeaders.append({name, value});
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
    // Declared first, so that the transfer (and its reply) go before it.
    QNetworkAccessManager manager;
    Transfer transfer(&manager);
    for (const auto &header : qAsConst(requestHeaders))
        transfer.setHeader(header.first, header.second);
    MemorySink sink;
    Transfer::Limits limits;
    limits.maxRedirects = MaxRedirects;
    limits.maxBodySize = maxSize;
    // A time-out of 0 fires at once, as a timer of 0 ms would.
    limits.hopTimeoutMs = qMax(1, timeoutMs);

    const QByteArray payload = encodeParams();
    QEventLoop loop;
    QObject::connect(&transfer, &Transfer::finished, &loop, &QEventLoop::quit);
    if (post) {
        transfer.post(QUrl(address), payload, &sink, limits);
    } else {
        // A GET carries the parameters as the query of every hop.
        transfer.setQueryForEveryHop(QString::fromUtf8(payload));
        transfer.get(QUrl(address), &sink, limits);
    }
    if (transfer.isRunning())
        loop.exec();
    if (transfer.isRunning()) {
        // The loop ended for another reason (the thread was asked to quit).
        transfer.abort();
        return false;
    }
    if (transfer.result() != Transfer::Result::Ok) {
        qCInfo(lcHttp) << "[http failed]" << transfer.url() << int(transfer.result()) << transfer.networkError();
        return false;
    }
    body = sink.data;
    status = transfer.statusCode();
    etag = transfer.responseHeader("ETag");
    lastModified = transfer.responseHeader("Last-Modified");
    return true;
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
