#include "service/ServerQuery.h"

#include "platform/Platform.h"
#include "service/ApiAnswers.h"
#include "service/Endpoints.h"
#include "service/HttpRequest.h"

#include <QThread>
#include <QTimer>

ServerQuery::ServerQuery(const QString &serverAddr, int serverPort, int slotIndex)
    : addr(serverAddr)
    , port(serverPort)
    , index(slotIndex)
    , thread(new QThread)
{
    connect(thread, &QThread::started, this, &ServerQuery::startHttpReq);
    moveToThread(thread);
    thread->start(QThread::InheritPriority);
}

ServerQuery::~ServerQuery()
{
    // The query normally lives as long as the process. When its owner
    // deletes it, the poll timer is dropped and the thread stopped on the
    // query's own thread first, so nothing runs on a dead object. A query
    // blocked in a request finishes that request (a few seconds at most).
    if (thread->isRunning()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                // This may run inside the first request's local event loop
                // (quit() ends that loop too); startHttpReq then must not
                // arm a timer on a thread that is about to end.
                stopping = true;
                delete pollTimer;
                pollTimer = nullptr;
                QThread::currentThread()->quit();
            },
            Qt::QueuedConnection);
        thread->wait();
    }
    delete thread;
}

void ServerQuery::startHttpReq()
{
    const quint32 now = Platform::tickCount();
    if (quint32(now - lastQueryTicks) > ThrottleMs) {
        lastQueryTicks = now;
        query();
    }
    if (stopping)
        return;
    if (!pollTimer) {
        pollTimer = new QTimer(this);
        pollTimer->setSingleShot(true);
        connect(pollTimer, &QTimer::timeout, this, &ServerQuery::startHttpReq);
    }
    pollTimer->start(PollIntervalMs);
}

void ServerQuery::setRefreshGap(int ms)
{
    refreshGapMs.store(qMax(0, ms));
}

void ServerQuery::refresh()
{
    if (querying || (sinceRefresh.isValid() && sinceRefresh.elapsed() < refreshGapMs.load()))
        return;
    lastQueryTicks = Platform::tickCount();
    query();
    sinceRefresh.start();
}

void ServerQuery::query()
{
    if (querying)
        return;
    querying = true;
    HttpRequest request(Endpoints::monitoringUrl());
    request.addParam(QStringLiteral("host"), Endpoints::gameHost());
    request.addParam(QStringLiteral("port"), QString::number(monitoringPort(index)));
    const bool answered = request.get(3, 1000);
    querying = false;
    if (!answered)
        return;
    const ApiAnswers::MonitoringCounts counts = ApiAnswers::parseMonitoring(request.response());
    if (counts.present) {
        numplayers = counts.numplayers;
        maxplayers = counts.maxplayers;
    }
    emit infoUpdated(numplayers, maxplayers);
}
