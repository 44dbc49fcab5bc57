#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>

class QThread;
class QTimer;

// Polls the monitoring service for one server slot's player counts every
// 30 seconds, on a thread of its own, and reports them with infoUpdated.
// All game servers are monitored as one host (gameHost) with consecutive
// ports: slot 0 is port 7771, slot 1 port 7772, and so on.
class ServerQuery final : public QObject
{
    Q_OBJECT

public:
    // Starts the query's own thread at once; the thread lives with the
    // process (or until the query is destroyed).
    ServerQuery(const QString &addr, int port, int index);
    ~ServerQuery() override;

    // The monitoring port of a slot.
    static quint16 monitoringPort(int index) { return quint16(7771 + index); }

    // Time between two polls, and the minimum time between two throttled
    // queries, in milliseconds.
    static constexpr int PollIntervalMs = 30000;
    static constexpr quint32 ThrottleMs = 25000;
    // Least time from the end of one refresh to the next.
    static constexpr int RefreshGapMs = 5000;

    // Changes the least time between two refreshes (RefreshGapMs unless
    // changed); safe to call from any thread.
    void setRefreshGap(int ms);

signals:
    void infoUpdated(int players, int total);

public slots:
    // Throttled query, then re-arms itself for the next poll.
    void startHttpReq();
    // Immediate query; does not re-arm. Does nothing while a query of this
    // server runs, or within the refresh gap after the last refresh ended,
    // so that however often the player presses the button the monitoring
    // service is asked at most once per gap.
    void refresh();

private:
    void query();

    quint16 numplayers = 0;
    quint16 maxplayers = 0;
    QString addr;
    int port = 0;
    int index = 0;
    quint32 lastQueryTicks = 0;
    QThread *thread = nullptr;
    QTimer *pollTimer = nullptr;
    bool stopping = false; // set on the query's thread by the destructor
    // A query is under way. Requests block in a local event loop, in which
    // further queued refreshes would otherwise start queries of their own.
    bool querying = false;
    QElapsedTimer sinceRefresh; // since the last refresh ended; invalid before
    std::atomic<int> refreshGapMs{RefreshGapMs};
};
