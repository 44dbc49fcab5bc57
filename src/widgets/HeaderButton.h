#pragma once

#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>

class QAbstractButton;

// A highlight frame behind a header link that fades in while the cursor is
// over the link. Created as the button's sibling with the button's geometry
// and stacked directly beneath it; its owner gives it a style sheet.
class HeaderButton final : public QFrame
{
    Q_OBJECT

public:
    explicit HeaderButton(QAbstractButton *button);

    bool eventFilter(QObject *obj, QEvent *event) override;

    static constexpr double RestOpacity = 0.0;
    static constexpr double HoverOpacity = 1.0;

private:
    QPointer<QPropertyAnimation> anim;
    QPointer<QGraphicsOpacityEffect> effect;
    QAbstractButton *button;
};
