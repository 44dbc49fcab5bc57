#include "service/ProcessState.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex &mirrorLock()
{
    static QMutex mutex;
    return mutex;
}

QString &mirrorValue()
{
    static QString value;
    return value;
}

} // namespace

namespace ProcessState {

std::atomic<bool> exitRequested(false);

void requestExit()
{
    exitRequested.store(true, std::memory_order_relaxed);
}

bool isExitRequested()
{
    return exitRequested.load(std::memory_order_relaxed);
}

QString mirrorBase()
{
    QMutexLocker locker(&mirrorLock());
    return mirrorValue();
}

void setMirrorBase(const QString &address)
{
    QMutexLocker locker(&mirrorLock());
    mirrorValue() = address;
}

} // namespace ProcessState
