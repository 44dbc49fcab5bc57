#include "app/DialogStyle.h"

#include "widgets/AnimBgButton.h"

#include <QPushButton>

namespace DialogStyle {

const char ButtonStyle[] = "border-radius: 4px;\ncolor: #ffffff; \nborder: none; \npadding: 0;";

QFont montserrat(int pointSize, int weight)
{
    QFont font;
    font.setFamily(QStringLiteral("Montserrat"));
    font.setPointSize(pointSize);
    font.setWeight(weight);
    return font;
}

AnimBgButton *decorateButton(QPushButton *button)
{
    button->setFont(montserrat(8, 57));
    button->setCursor(Qt::PointingHandCursor);
    auto *anim = new AnimBgButton(button);
    anim->setBackgroundColors(QColor(255, 117, 0, 255), QColor(255, 221, 0, 255));
    anim->setGlowColors(QColor(255, 221, 0, 0), QColor(255, 221, 0, 255));
    return anim;
}

} // namespace DialogStyle
