#pragma once

#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>
#include <QWidget>

class QAbstractButton;

// Fades an icon button between half and full opacity while the cursor is
// over it. An invisible child of the button that watches it through an event
// filter; the button itself needs no subclass.
class AnimButton final : public QWidget
{
    Q_OBJECT

public:
    explicit AnimButton(QAbstractButton *button);

    bool eventFilter(QObject *obj, QEvent *event) override;

    static constexpr double RestOpacity = 0.5;
    static constexpr double HoverOpacity = 1.0;

private:
    QPointer<QPropertyAnimation> anim;
    QPointer<QGraphicsOpacityEffect> effect;
    QAbstractButton *button;
};
