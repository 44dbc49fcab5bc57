#include "widgets/HeaderButton.h"

#include "widgets/PropertyFade.h"

#include <QAbstractButton>
#include <QEvent>

HeaderButton::HeaderButton(QAbstractButton *watched)
    : QFrame(watched->parentWidget())
    , button(watched)
{
    setGeometry(button->geometry());
    stackUnder(button);
    button->setMouseTracking(true);
    button->installEventFilter(this);
    effect = new QGraphicsOpacityEffect(this);
    effect->setOpacity(RestOpacity);
    setGraphicsEffect(effect);
    // A frame without a parent would become a window of its own.
    if (parentWidget())
        show();
}

bool HeaderButton::eventFilter(QObject *obj, QEvent *event)
{
    if (obj == button && PropertyFade::fadeOnHover(event, anim, effect, RestOpacity, HoverOpacity, this))
        return true;
    return QFrame::eventFilter(obj, event);
}
