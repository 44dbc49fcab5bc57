#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QMap>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <memory>

class QNetworkAccessManager;

// One blocking HTTP(S) request with retries: the helper behind every single
// request/answer exchange of the launcher (API calls, news pictures, mirror
// probe, monitoring, sync list).
//
// The calling thread waits inside a private event loop until the answer is
// complete, the per-attempt time-out has aborted it or the redirect budget is
// spent. Use it only from worker threads, one instance per caller:
//
//     HttpRequest request(address);
//     request.addParam(QStringLiteral("host"), host);
//     if (request.get(3, 1000))
//         use(request.response());
//
// Each attempt builds its own network objects and destroys them before it
// returns, unless the request is given a manager to share (setNetwork()).
// Redirects are followed by hand (at most five in a row); only http and
// https addresses are ever fetched, the initial one and every redirect
// target alike, so an answer cannot point the launcher at local files. An
// HTTP status of 400 or above fails the attempt, any other final answer
// succeeds whatever its body (an empty one included). Bodies longer than
// the bound set by the constructor or setMaxResponseSize() fail the attempt
// as well.
class HttpRequest final
{
public:
    // Bound of one answer's body unless set otherwise: generous for API
    // answers and pictures, small enough that a hostile server cannot make
    // the launcher exhaust its memory.
    static constexpr qint64 DefaultMaxResponseSize = qint64(64) * 1024 * 1024;

    // Longest run of redirects that is followed within one attempt.
    static constexpr int MaxRedirects = 5;

    explicit HttpRequest(const QString &url, qint64 maxResponseSize = DefaultMaxResponseSize);

    HttpRequest(const HttpRequest &) = delete;
    HttpRequest &operator=(const HttpRequest &) = delete;
    HttpRequest(HttpRequest &&) = default;
    HttpRequest &operator=(HttpRequest &&) = default;

    // Adds a parameter or replaces the value of an existing key. Parameters
    // are sent in key order.
    void addParam(const QString &key, const QString &value);
    // A header sent with every request of every attempt.
    void setHeader(const QByteArray &name, const QByteArray &value);

    // key=value pairs joined by "&" in key order: the key as its raw UTF-8
    // bytes, the value percent-encoded over UTF-8 (everything but
    // A-Z a-z 0-9 - . _ ~ becomes %XX with upper-case hex). Empty without
    // parameters.
    QByteArray encodeParams() const;

    // One attempt. A GET sends the parameters as the address's query (which
    // replaces any query the address had); a POST sends them as a form body
    // to the address unchanged. True when a final answer arrived within
    // timeoutMs (restarted for every redirect hop); response() then holds its
    // body. A failed attempt leaves response() as it was.
    bool perform(bool post, int timeoutMs);

    // Up to `attempts` attempts, without pause, stopping at the first
    // success. No attempts at all give false without a request.
    bool get(int attempts, int timeoutMs);
    bool post(int attempts, int timeoutMs);

    // GETs of several requests at once, each with up to `attempts`
    // attempts (a failed one is sent again at once, the others go on); the
    // calling thread waits for the last of them. For each request whether
    // it succeeded, as get() would say.
    static QVector<bool> getTogether(const QVector<HttpRequest *> &requests, int attempts, int timeoutMs);

    // Sends the attempts through manager, which lives in the calling thread
    // and outlives the request, so that connections stay open from one
    // request to the next (no new TCP and TLS handshake each time). Null
    // (the default): each attempt has network objects of its own.
    void setNetwork(QNetworkAccessManager *manager);

    // Body of the last successful attempt.
    QByteArray response() const;
    // Of the last successful attempt: the HTTP status (304 for an answer
    // that the content has not changed, which has no body) and the headers
    // by which the server identifies the content's version (empty when not
    // sent).
    int statusCode() const { return status; }
    QByteArray entityTag() const { return etag; }
    QByteArray lastModifiedText() const { return lastModified; }

    QString url() const;

    // Longest body accepted (clamped to 0 .. 1 GiB).
    void setMaxResponseSize(qint64 bytes);

private:
    struct Attempt;
    std::unique_ptr<Attempt> startAttempt(bool post, int timeoutMs) const;
    // Takes the attempt's answer when it succeeded.
    bool endAttempt(Attempt &attempt);
    static QVector<bool> performTogether(const QVector<HttpRequest *> &requests, bool post, int attempts,
                                         int timeoutMs);

    QNetworkAccessManager *network = nullptr;
    QString address;
    QMap<QString, QString> params;
    QByteArray body;
    qint64 maxSize;
    QList<QPair<QByteArray, QByteArray>> requestHeaders;
    int status = 0;
    QByteArray etag;
    QByteArray lastModified;
};
