#pragma once

#include "platform/Platform.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QtGlobal>

class QNetworkAccessManager;
class QNetworkReply;

// Where the body of a transfer goes: memory, a file, a part of a file.
class TransferSink
{
public:
    enum class Take {
        Ok,
        Refuse, // the bytes cannot be what was asked for: the transfer is rejected
        Fail,   // the sink cannot store them (a full disk): the transfer fails
    };

    virtual ~TransferSink() = default;
    // The body begins, or begins again from its first byte (an answer after
    // a redirect). False when the sink cannot start.
    virtual bool begin() = 0;
    virtual Take take(const QByteArray &bytes) = 0;
    // The whole body has arrived. False when the sink cannot finish it.
    virtual bool end() = 0;
};

// A body held in memory.
class MemorySink final : public TransferSink
{
public:
    bool begin() override;
    Take take(const QByteArray &bytes) override;
    bool end() override { return true; }

    QByteArray data;
};

// A body written to a file, created afresh at every begin (see
// Platform::createFresh): nothing that stood at the name, a link included,
// receives a byte.
class FileSink final : public TransferSink
{
public:
    explicit FileSink(const QString &path);
    bool begin() override;
    Take take(const QByteArray &bytes) override;
    bool end() override;

    QFile &file() { return target; }
    // Why the file could not be created or written, after a failure.
    Platform::FileFault fault() const { return lastFault; }

private:
    QFile target;
    Platform::FileFault lastFault = Platform::FileFault::None;
};

// The one way the launcher fetches an address: an API answer, a picture,
// the sync list, the update installer, a block of a game file.
//
// Only http and https addresses are fetched, the first one and every
// redirect target alike, so that no answer can make the launcher read its
// own disk. Redirects come back as answers and are followed by hand within
// the caller's budget; the body starts over with each hop. Every request
// carries the launcher's User-Agent and verifies TLS peers unless the build
// says otherwise (VARO_INSECURE_TLS). The body of an answer that is not the
// content (an error status, a redirect) is dropped, at most a megabyte of it.
// A body larger than the limit, one that stops for too long, and one that
// ends short of its announced length all fail, each with its own result.
//
// Runs in the caller's thread and event loop: start it, then, while
// isRunning(), wait for finished() (a nested QEventLoop or the caller's
// own). A transfer refused at once (not a web address, a sink that cannot
// begin) is not running when get() or post() returns and sends no
// finished(). Aborting ends it at once.
class Transfer final : public QObject
{
    Q_OBJECT

public:
    enum class Result {
        Running,
        Ok,
        NetworkError,  // the network layer's error (networkError()), an error status included
        NotWebAddress, // an address or redirect target that is not http(s)
        TooManyRedirects,
        TooLarge,   // announced or received beyond the body limit
        Short,      // ended before its announced length
        Rejected,   // the sink refused the content
        SinkFailed, // the sink could not store it
        Stalled,    // no body byte for the stall limit
        TimedOut,   // a hop took longer than its time-out
        Aborted,    // the caller aborted
    };

    struct Limits
    {
        int maxRedirects = 5;
        qint64 maxBodySize = qint64(64) << 20;
        int stallMs = 0;      // abort after this long without a body byte (0: never)
        int hopTimeoutMs = 0; // abort a hop that takes longer (0: never), restarted at each hop
    };

    // The User-Agent of every request of the launcher.
    static const QByteArray UserAgent;
    // Error code reported for a transfer that was cut off (stall, time-out,
    // abort, a refused body): the network layer's "operation canceled".
    static const int CanceledError;

    explicit Transfer(QNetworkAccessManager *manager, QObject *parent = nullptr);
    ~Transfer() override;

    // Before get() or post(): a header sent with every hop.
    void setHeader(const QByteArray &name, const QByteArray &value);
    // Before get(): every hop's address gets this query instead of its own.
    void setQueryForEveryHop(const QString &query);

    void get(const QUrl &url, TransferSink *sink, const Limits &limits);
    void post(const QUrl &url, const QByteArray &form, TransferSink *sink, const Limits &limits);
    // Ends the transfer with Aborted, at once.
    void abort();
    // Ends the transfer at once and quietly: no finished(), and nothing of
    // the answer reaches the sink any more, so that the sink may go right
    // after. A transfer that is dropped while it runs must be cancelled
    // first (see CancelLater).
    void cancel();

    bool isRunning() const { return outcome == Result::Running; }
    Result result() const { return outcome; }
    // The network layer's error number of a failed transfer (0 when none).
    int networkError() const { return errorCode; }
    // Status and headers of the last answer.
    int statusCode() const { return status; }
    QByteArray responseHeader(const QByteArray &name) const;
    // Body bytes taken by the sink from the current answer.
    qint64 received() const { return bodyBytes; }
    QUrl url() const { return current; }

signals:
    // Body bytes of the current answer so far, and the announced total (-1
    // when unknown).
    void progress(qint64 received, qint64 total);
    void finished();

public:
    // Deleter of an owning pointer to a transfer that may be running, or be
    // the sender of the signal being handled: cancels it, then deletes it
    // once control is back in the event loop.
    struct CancelLater
    {
        void operator()(Transfer *transfer) const;
    };

private:
    void start(const QUrl &url, TransferSink *sink, const Limits &limits);
    void send();
    void onMetaData();
    void onReadyRead();
    void onFinished();
    void cutOff(Result reason);
    void finish(Result reason, int code = 0);
    void dropReply();
    bool isContentAnswer() const;

    QNetworkAccessManager *manager;
    QPointer<QNetworkReply> reply;
    TransferSink *sink = nullptr;
    Limits limits;
    QUrl current;
    QString everyHopQuery;
    bool hasEveryHopQuery = false;
    bool isPost = false;
    QByteArray form;
    QList<QPair<QByteArray, QByteArray>> headers;
    QList<QPair<QByteArray, QByteArray>> answerHeaders;
    int redirectsLeft = 0;
    qint64 bodyBytes = 0;
    qint64 discarded = 0;
    qint64 announced = -1;
    int status = 0;
    int errorCode = 0;
    Result outcome = Result::Aborted;
    Result cutOffReason = Result::Running;
    QTimer stallTimer;
    QTimer hopTimer;
};
