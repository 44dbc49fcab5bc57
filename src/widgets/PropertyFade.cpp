#include "widgets/PropertyFade.h"

#include <QEvent>

namespace PropertyFade {

void stop(QPointer<QPropertyAnimation> &running)
{
    if (running) {
        running->stop();
        delete running.data();
    }
    running = nullptr;
}

void restart(QPointer<QPropertyAnimation> &running, QObject *target, const QByteArray &property, const QVariant &to,
             QObject *owner, int durationMs)
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

bool fadeOnHover(const QEvent *event, QPointer<QPropertyAnimation> &running, QObject *effect, double rest, double hover,
                 QObject *owner)
{
    if (event->type() != QEvent::Enter && event->type() != QEvent::Leave)
        return false;
    restart(running, effect, "opacity", event->type() == QEvent::Enter ? hover : rest, owner);
    return true;
}

} // namespace PropertyFade
