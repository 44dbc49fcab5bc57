#include "service/Transfer.h"

#include "service/WebAddress.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVariant>

#ifndef QT_NO_SSL
#include <QSslConfiguration>
#include <QSslSocket>
#endif

namespace {

Q_LOGGING_CATEGORY(lcTransfer, "varo.service", QtInfoMsg)

// Most body bytes taken from an answer that is not the content (an error
// page, a redirect's text): far more than any real one has.
constexpr qint64 MaxDiscardedBytes = 1 << 20;

// Most bytes the network layer reads ahead of onReadyRead(). Without a
// limit, Qt's HTTP thread reads a body that comes in as fast as it is read
// in one loop that does not end: an abort, and every request after it, wait
// until the sender pauses (tens of seconds on a busy machine), and readyRead
// is held back while more data is queued, so the limits are checked late.
constexpr qint64 ReadBufferBytes = 1 << 20;

} // namespace

const QByteArray Transfer::UserAgent = QByteArrayLiteral("VaroOnline/1.0.0.0");
const int Transfer::CanceledError = QNetworkReply::OperationCanceledError;

bool MemorySink::begin()
{
    data.clear();
    return true;
}

TransferSink::Take MemorySink::take(const QByteArray &bytes)
{
    data += bytes;
    return Take::Ok;
}

FileSink::FileSink(const QString &path)
    : target(path)
{
}

bool FileSink::begin()
{
    if (Platform::createFresh(target))
        return true;
    lastFault = Platform::lastFileFault();
    qCWarning(lcTransfer) << "[transfer] cannot create" << target.fileName() << target.errorString();
    return false;
}

TransferSink::Take FileSink::take(const QByteArray &bytes)
{
    if (target.write(bytes) == bytes.size())
        return Take::Ok;
    lastFault = Platform::lastFileFault();
    qCWarning(lcTransfer) << "[transfer] cannot write" << target.fileName() << target.errorString();
    return Take::Fail;
}

bool FileSink::end()
{
    // A block the disk did not take whole is a failed write.
    const bool flushed = target.flush();
    if (!flushed) {
        lastFault = Platform::lastFileFault();
        qCWarning(lcTransfer) << "[transfer] cannot write" << target.fileName() << target.errorString();
    }
    target.close();
    return flushed;
}

Transfer::Transfer(QNetworkAccessManager *networkManager, QObject *parent)
    : QObject(parent)
    , manager(networkManager)
{
    stallTimer.setSingleShot(true);
    hopTimer.setSingleShot(true);
    hopTimer.setTimerType(Qt::PreciseTimer);
    connect(&stallTimer, &QTimer::timeout, this, [this] { cutOff(Result::Stalled); });
    connect(&hopTimer, &QTimer::timeout, this, [this] { cutOff(Result::TimedOut); });
}

Transfer::~Transfer()
{
    dropReply();
}

void Transfer::setHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append({name, value});
}

void Transfer::setQueryForEveryHop(const QString &query)
{
    everyHopQuery = query;
    hasEveryHopQuery = true;
}

void Transfer::get(const QUrl &url, TransferSink *bodySink, const Limits &transferLimits)
{
    isPost = false;
    start(url, bodySink, transferLimits);
}

void Transfer::post(const QUrl &url, const QByteArray &formBody, TransferSink *bodySink, const Limits &transferLimits)
{
    isPost = true;
    form = formBody;
    start(url, bodySink, transferLimits);
}

void Transfer::start(const QUrl &url, TransferSink *bodySink, const Limits &transferLimits)
{
    dropReply();
    sink = bodySink;
    limits = transferLimits;
    current = url;
    redirectsLeft = limits.maxRedirects;
    errorCode = 0;
    cutOffReason = Result::Running;
    outcome = Result::Running;
    Result refused = Result::Running;
    if (!WebAddress::isFetchable(url)) {
        qCWarning(lcTransfer) << "[transfer refused] not a web address:" << url;
        refused = Result::NotWebAddress;
    } else if (!sink->begin()) {
        refused = Result::SinkFailed;
    }
    if (refused == Result::Running) {
        send();
        return;
    }
    // Ended before it began: no finished(), the caller sees isRunning().
    outcome = refused;
    errorCode = refused == Result::NotWebAddress ? int(QNetworkReply::ProtocolUnknownError) : 0;
}

void Transfer::send()
{
    QUrl target = current;
    if (hasEveryHopQuery)
        target.setQuery(everyHopQuery);
    QNetworkRequest request(target);
    request.setHeader(QNetworkRequest::UserAgentHeader, UserAgent);
    // Redirects come back as answers and are followed by hand (onFinished),
    // so that each hop is checked and counted and the body starts over.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setMaximumRedirectsAllowed(limits.maxRedirects);
    for (const auto &header : qAsConst(headers))
        request.setRawHeader(header.first, header.second);
    if (isPost)
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
#if defined(VARO_INSECURE_TLS) && !defined(QT_NO_SSL)
    // Built for a deployment whose servers use self-signed certificates.
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    request.setSslConfiguration(ssl);
#endif

    bodyBytes = 0;
    discarded = 0;
    announced = -1;
    status = 0;
    answerHeaders.clear();
    reply = isPost ? manager->post(request, form) : manager->get(request);
    reply->setReadBufferSize(ReadBufferBytes);
    connect(reply, &QNetworkReply::metaDataChanged, this, &Transfer::onMetaData);
    connect(reply, &QNetworkReply::readyRead, this, &Transfer::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &Transfer::onFinished);
    if (limits.hopTimeoutMs > 0)
        hopTimer.start(limits.hopTimeoutMs);
    if (limits.stallMs > 0)
        stallTimer.start(limits.stallMs);
}

bool Transfer::isContentAnswer() const
{
    return status < 300 && !reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isValid();
}

void Transfer::onMetaData()
{
    if (!reply || !isRunning())
        return;
    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answerHeaders = reply->rawHeaderPairs();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    announced = length.isValid() && isContentAnswer() ? length.toLongLong() : -1;
    // Refused before any of it arrives.
    if (announced > limits.maxBodySize)
        cutOff(Result::TooLarge);
}

void Transfer::onReadyRead()
{
    if (!reply || !isRunning() || cutOffReason != Result::Running)
        return;
    const QByteArray bytes = reply->readAll();
    if (bytes.isEmpty())
        return;
    if (!isContentAnswer()) {
        // Not the content: dropped, and no sign of life for the stall
        // watch, so that one that trickles meets it. One that never ends is
        // cut off, as a broken connection.
        discarded += bytes.size();
        if (discarded > MaxDiscardedBytes)
            cutOff(Result::NetworkError);
        return;
    }
    if (bodyBytes + bytes.size() > limits.maxBodySize) {
        cutOff(Result::TooLarge);
        return;
    }
    if (limits.stallMs > 0)
        stallTimer.start(limits.stallMs);
    switch (sink->take(bytes)) {
    case TransferSink::Take::Ok:
        break;
    case TransferSink::Take::Refuse:
        cutOff(Result::Rejected);
        return;
    case TransferSink::Take::Fail:
        cutOff(Result::SinkFailed);
        return;
    }
    bodyBytes += bytes.size();
    emit progress(bodyBytes, announced);
}

void Transfer::onFinished()
{
    if (!reply || !isRunning())
        return;
    hopTimer.stop();
    stallTimer.stop();
    if (cutOffReason == Result::Running && reply->bytesAvailable() > 0)
        onReadyRead();
    if (!isRunning())
        return;
    const int error = int(reply->error());
    if (cutOffReason != Result::Running) {
        finish(cutOffReason, error != 0 ? error : CanceledError);
        return;
    }
    if (error != QNetworkReply::NoError) {
        finish(Result::NetworkError, error);
        return;
    }
    const QUrl redirect = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!redirect.isEmpty()) {
        if (redirectsLeft <= 0) {
            qCWarning(lcTransfer) << "[transfer] too many redirects:" << current;
            finish(Result::TooManyRedirects, QNetworkReply::TooManyRedirectsError);
            return;
        }
        --redirectsLeft;
        const QUrl target = current.resolved(redirect);
        if (!WebAddress::isFetchableRedirect(current, target)) {
            qCWarning(lcTransfer) << "[transfer] redirect refused:" << target;
            finish(Result::NotWebAddress, QNetworkReply::ProtocolUnknownError);
            return;
        }
        qCDebug(lcTransfer) << "[transfer redirect]" << target;
        dropReply();
        current = target;
        if (!sink->begin()) {
            finish(Result::SinkFailed);
            return;
        }
        send();
        return;
    }
    // Qt may end an answer that the server cut short, or send the request
    // once more by itself after a reset and hand on the new answer behind
    // the old one's bytes, without an error. An answer that announced its
    // length must have exactly that length.
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (announced >= 0 && (encoding.isEmpty() || encoding == "identity") && announced != bodyBytes) {
        qCDebug(lcTransfer) << "[transfer short]" << current << bodyBytes << "of" << announced;
        finish(Result::Short, QNetworkReply::RemoteHostClosedError);
        return;
    }
    finish(sink->end() ? Result::Ok : Result::SinkFailed);
}

void Transfer::abort()
{
    if (!isRunning())
        return;
    if (reply)
        cutOff(Result::Aborted);
    else
        finish(Result::Aborted, CanceledError);
}

void Transfer::cancel()
{
    hopTimer.stop();
    stallTimer.stop();
    dropReply();
    sink = nullptr;
    if (isRunning()) {
        outcome = Result::Aborted;
        errorCode = CanceledError;
    }
}

void Transfer::CancelLater::operator()(Transfer *transfer) const
{
    transfer->cancel();
    transfer->deleteLater();
}

void Transfer::cutOff(Result reason)
{
    if (cutOffReason != Result::Running || !isRunning())
        return;
    cutOffReason = reason;
    hopTimer.stop();
    stallTimer.stop();
    if (reply)
        reply->abort(); // finishes it: onFinished reports the reason
}

void Transfer::finish(Result reason, int code)
{
    outcome = reason;
    errorCode = code;
    hopTimer.stop();
    stallTimer.stop();
    dropReply();
    emit finished();
}

void Transfer::dropReply()
{
    if (!reply)
        return;
    reply->disconnect(this);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

QByteArray Transfer::responseHeader(const QByteArray &name) const
{
    for (const auto &header : answerHeaders) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}
