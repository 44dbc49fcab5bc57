#pragma once

#include <QObject>
#include <QString>

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

signals:
    void infoUpdated(int players, int total);

public slots:
    // Throttled query, then re-arms itself for the next poll.
    void startHttpReq();
    // Immediate query; does not re-arm.
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
};
