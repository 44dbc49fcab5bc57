#include "widgets/PropertyFade.h"

namespace PropertyFade {

void stop(QPointer<QPropertyAnimation> &running)
{
    if (running) {
        running->stop();
        delete running.data();
    }
    running = nullptr;
}

void restart(QPointer<QPropertyAnimation> &running, QObject *target, const QByteArray &property,
             const QVariant &to, QObject *owner, int durationMs)
{
    stop(running);
    if (!target)
        return;
    running = new QPropertyAnimation(target, property, owner);
    running->setDuration(durationMs);
    running->setStartValue(target->property(property.constData()));
    running->setEndValue(to);
    running->start();
}

} // namespace PropertyFade
