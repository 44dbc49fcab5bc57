#pragma once

#include <QByteArray>
#include <QPointer>
#include <QPropertyAnimation>
#include <QVariant>

class QEvent;

// The one way the launcher's widgets animate a property on hover, fade or
// selection: the running animation is stopped and dropped, and a new one
// starts from the property's current value, so a movement that reverses
// halfway continues smoothly instead of jumping.
namespace PropertyFade {

// Duration of every hover and fade animation.
constexpr int DurationMs = 250;

// Replaces *running by a new animation of target's property from its
// current value to `to`, owned by owner, and starts it. Does nothing but
// drop the running animation when target is null.
void restart(QPointer<QPropertyAnimation> &running, QObject *target, const QByteArray &property, const QVariant &to,
             QObject *owner, int durationMs = DurationMs);

// The hover fade of an opacity effect: on Enter fades the effect's opacity
// to hover, on Leave back to rest. True when the event was one of the two.
bool fadeOnHover(const QEvent *event, QPointer<QPropertyAnimation> &running, QObject *effect, double rest, double hover,
                 QObject *owner);

// Stops and deletes a running animation.
void stop(QPointer<QPropertyAnimation> &running);

} // namespace PropertyFade
