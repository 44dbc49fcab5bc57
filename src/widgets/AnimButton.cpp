#include "widgets/AnimButton.h"

#include "widgets/PropertyFade.h"

#include <QAbstractButton>
#include <QEvent>

AnimButton::AnimButton(QAbstractButton *watched)
    : QWidget(watched)
    , button(watched)
{
    hide();
    setMouseTracking(true);
    button->setMouseTracking(true);
    button->installEventFilter(this);
    effect = new QGraphicsOpacityEffect(button);
    effect->setOpacity(RestOpacity);
    button->setGraphicsEffect(effect);
}

bool AnimButton::eventFilter(QObject *obj, QEvent *event)
{
    if (obj == button && PropertyFade::fadeOnHover(event, anim, effect, RestOpacity, HoverOpacity, this))
        return true;
    return QWidget::eventFilter(obj, event);
}
