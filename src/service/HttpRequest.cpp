#include "service/HttpRequest.h"

#include "service/Transfer.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QUrl>

#include <algorithm>

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

// One attempt of one request: its transfer and what the body goes into,
// and network objects of its own unless the request shares a manager.
struct HttpRequest::Attempt
{
    explicit Attempt(QNetworkAccessManager *shared)
        : own(shared ? nullptr : new QNetworkAccessManager)
        , transfer(shared ? shared : own.get())
    {
    }

    // Declared first, so that the transfer (and its reply) go before it.
    std::unique_ptr<QNetworkAccessManager> own;
    Transfer transfer;
    MemorySink sink;
};

std::unique_ptr<HttpRequest::Attempt> HttpRequest::startAttempt(bool post, int timeoutMs) const
{
    std::unique_ptr<Attempt> attempt(new Attempt(network));
    Transfer &transfer = attempt->transfer;
    for (const auto &header : qAsConst(requestHeaders))
        transfer.setHeader(header.first, header.second);
    Transfer::Limits limits;
    limits.maxRedirects = MaxRedirects;
    limits.maxBodySize = maxSize;
    // A time-out of 0 fires at once, as a timer of 0 ms would.
    limits.hopTimeoutMs = qMax(1, timeoutMs);

    const QByteArray payload = encodeParams();
    if (post) {
        transfer.post(QUrl(address), payload, &attempt->sink, limits);
    } else {
        // A GET carries the parameters as the query of every hop.
        transfer.setQueryForEveryHop(QString::fromUtf8(payload));
        transfer.get(QUrl(address), &attempt->sink, limits);
    }
    return attempt;
}

bool HttpRequest::endAttempt(Attempt &attempt)
{
    const Transfer &transfer = attempt.transfer;
    if (transfer.result() != Transfer::Result::Ok) {
        qCInfo(lcHttp) << "[http failed]" << transfer.url() << int(transfer.result()) << transfer.networkError();
        return false;
    }
    body = attempt.sink.data;
    status = transfer.statusCode();
    etag = transfer.responseHeader("ETag");
    lastModified = transfer.responseHeader("Last-Modified");
    return true;
}

QVector<bool> HttpRequest::performTogether(const QVector<HttpRequest *> &requests, bool post, int attempts,
                                           int timeoutMs)
{
    const int count = requests.size();
    QVector<bool> succeeded(count, false);
    QVector<int> tries(count, 0);
    std::vector<std::unique_ptr<Attempt>> running(static_cast<size_t>(count));
    QEventLoop loop;
    for (;;) {
        bool waiting = false;
        for (int i = 0; i < count; ++i) {
            std::unique_ptr<Attempt> &attempt = running[size_t(i)];
            if (!attempt && !succeeded[i] && tries[i] < attempts) {
                ++tries[i];
                attempt = requests[i]->startAttempt(post, timeoutMs);
                QObject::connect(&attempt->transfer, &Transfer::finished, &loop, &QEventLoop::quit);
            }
            if (attempt && !attempt->transfer.isRunning()) {
                succeeded[i] = requests[i]->endAttempt(*attempt);
                attempt.reset();
                // A failed attempt that ended at once is tried again now.
                waiting = waiting || (!succeeded[i] && tries[i] < attempts);
            }
            waiting = waiting || attempt;
        }
        if (!waiting)
            return succeeded;
        const bool anyRunning = std::any_of(running.cbegin(), running.cend(), [](const std::unique_ptr<Attempt> &a) {
            return a && a->transfer.isRunning();
        });
        if (!anyRunning)
            continue;
        loop.exec();
        const bool anyEnded = std::any_of(running.cbegin(), running.cend(), [](const std::unique_ptr<Attempt> &a) {
            return a && !a->transfer.isRunning();
        });
        if (!anyEnded) {
            // The loop ended for another reason (the thread was asked to
            // quit): what is still running is given up.
            for (std::unique_ptr<Attempt> &attempt : running) {
                if (attempt)
                    attempt->transfer.abort();
            }
            return succeeded;
        }
    }
}

bool HttpRequest::perform(bool post, int timeoutMs)
{
    return performTogether({this}, post, 1, timeoutMs).front();
}

bool HttpRequest::get(int attempts, int timeoutMs)
{
    return performTogether({this}, false, attempts, timeoutMs).front();
}

bool HttpRequest::post(int attempts, int timeoutMs)
{
    return performTogether({this}, true, attempts, timeoutMs).front();
}

QVector<bool> HttpRequest::getTogether(const QVector<HttpRequest *> &requests, int attempts, int timeoutMs)
{
    return performTogether(requests, false, attempts, timeoutMs);
}

void HttpRequest::setNetwork(QNetworkAccessManager *manager)
{
    network = manager;
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
