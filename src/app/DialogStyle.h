#pragma once

#include <QColor>
#include <QFont>

class AnimBgButton;
class QPushButton;

// The look shared by the buttons of the launcher's dialogs: orange buttons
// that turn yellow and glow while the cursor is over them.
namespace DialogStyle {

// "border-radius: 4px; color: #ffffff; border: none; padding: 0;"
extern const char ButtonStyle[];

// Montserrat at this size and weight, the one face of the launcher.
QFont montserrat(int pointSize, int weight);

// Montserrat 8 pt, weight 57, pointing-hand cursor, and an AnimBgButton with
// the dialog colours (owned by the button).
AnimBgButton *decorateButton(QPushButton *button);

} // namespace DialogStyle
