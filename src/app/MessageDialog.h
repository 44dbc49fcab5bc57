#pragma once

#include <QDialog>
#include <QPoint>
#include <QSize>
#include <QString>

class AnimBgButton;
class CustomLabel;
class DialogHost;
class QGraphicsDropShadowEffect;
class QLabel;
class QPushButton;

// The launcher's own modal message box in its orange style: three types
// (information, warning, error) with icon, title and accent colour, and a
// single "Ок" button or "Да" and "Нет". Every message to the player goes
// through showMessage(), which also dims the main window while it is open.
class MessageDialog final : public QDialog
{
    Q_OBJECT

public:
    enum MessageType { Info = 0, Warning = 1, Error = 2 };
    enum MessageButtons { OkOnly = 0, YesNo = 1 };

    explicit MessageDialog(QWidget *parent = nullptr);
    ~MessageDialog() override;

    // Icon, title and accent colour of the type; any other value clears
    // all three.
    void setType(MessageType type);
    // Shows "Ок" alone or "Да" and "Нет"; any other value changes nothing.
    void setButtons(MessageButtons buttons);
    // Shows text without surrounding white space, word-wrapped.
    void setText(const QString &text);
    // The text as shown.
    QString text() const { return shownText; }

    // Runs a dialog modally over host's window (none for a message before
    // the window exists), with its overlay shown meanwhile. Returns 1 after
    // "Ок" or "Да", 0 after "Нет" or Escape.
    static int showMessage(DialogHost *host, MessageType type, const QString &text, MessageButtons buttons = OkOnly);

    // Test hook for whole processes: when ms is 0 or more, every dialog that
    // showMessage opens (and every system message box of the launcher)
    // accepts itself after ms milliseconds. Negative turns it off (default).
    static void setAutoCloseDelay(int ms);
    static int autoCloseDelay();

    // Where a dialog of size dialog, dropped at position, ends up so that at
    // least half of it stays on a screen of size screen.
    static QPoint keepOnScreen(const QPoint &position, const QSize &dialog, const QSize &screen);

public slots:
    void btnOk();
    void btnYes();
    void btnNo();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    void buildWidgets();

    // Widgets, all owned through the Qt parent chain.
    QWidget *bodyWidget = nullptr;
    QPushButton *btnOkTrigger = nullptr;
    QPushButton *btnYesTrigger = nullptr;
    QPushButton *btnNoTrigger = nullptr;
    QLabel *textLabel = nullptr;
    QLabel *headerLabel = nullptr;
    QWidget *shadowWidget = nullptr;

    bool dragging = false;
    QPoint dragOffset;
    QGraphicsDropShadowEffect *shadow = nullptr;
    AnimBgButton *okAnim = nullptr;
    AnimBgButton *yesAnim = nullptr;
    AnimBgButton *noAnim = nullptr;
    CustomLabel *textCaption = nullptr;
    CustomLabel *headerCaption = nullptr;
    QString shownText;
};
