#include "service/ServerQuery.h"

#include "platform/Platform.h"
#include "service/Endpoints.h"
#include "service/HttpRequest.h"

#include <QJsonDocument>
#include <QJsonObject>
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
    if (!pollTimer) {
        pollTimer = new QTimer(this);
        pollTimer->setSingleShot(true);
        connect(pollTimer, &QTimer::timeout, this, &ServerQuery::startHttpReq);
    }
    pollTimer->start(PollIntervalMs);
}

void ServerQuery::refresh()
{
    lastQueryTicks = Platform::tickCount();
    query();
}

void ServerQuery::query()
{
    HttpRequest request(Endpoints::monitoringUrl());
    request.addParam(QStringLiteral("host"), Endpoints::gameHost());
    request.addParam(QStringLiteral("port"), QString::number(monitoringPort(index)));
    if (!request.get(3, 1000))
        return;
    const QJsonObject answer = QJsonDocument::fromJson(request.response()).object();
    if (answer.contains(QStringLiteral("numplayers")) && answer.contains(QStringLiteral("maxplayers"))) {
        numplayers = quint16(answer.value(QStringLiteral("numplayers")).toInt());
        maxplayers = quint16(answer.value(QStringLiteral("maxplayers")).toInt());
    }
    emit infoUpdated(numplayers, maxplayers);
}
