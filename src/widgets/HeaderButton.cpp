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
    if (obj == button) {
        if (event->type() == QEvent::Enter) {
            PropertyFade::restart(anim, effect, "opacity", HoverOpacity, this);
            return true;
        }
        if (event->type() == QEvent::Leave) {
            PropertyFade::restart(anim, effect, "opacity", RestOpacity, this);
            return true;
        }
    }
    return QFrame::eventFilter(obj, event);
}
