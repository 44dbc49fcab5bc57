#include "app/MessageDialog.h"

#include "widgets/AppResources.h"
#include "app/DialogStyle.h"
#include "app/DialogHost.h"
#include "widgets/AnimBgButton.h"
#include "widgets/CustomLabel.h"

#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtMath>

#include <atomic>

namespace {

std::atomic<int> autoCloseMs(-1);

// Each coordinate rounded to the nearest integer, halves going upward.
QPoint roundedPoint(const QPointF &point)
{
    return QPoint(qFloor(point.x() + 0.5), qFloor(point.y() + 0.5));
}

struct TypeLook
{
    const char *icon;
    const char *title;
    const char *accent;
};

TypeLook lookOf(MessageDialog::MessageType type)
{
    switch (type) {
    case MessageDialog::Info:
        return {":/images/info.png", "Информация", "#ffa500"};
    case MessageDialog::Warning:
        return {":/images/alert.png", "Предупреждение", "#FFC700"};
    case MessageDialog::Error:
        return {":/images/error.png", "Ошибка", "#FF5050"};
    }
    return {"", "", ""};
}

} // namespace

MessageDialog::MessageDialog(QWidget *parent)
    : QDialog(parent)
{
    AppResources::ensureLoaded();
    buildWidgets();
    connect(btnOkTrigger, &QPushButton::released, this, &MessageDialog::btnOk);
    connect(btnYesTrigger, &QPushButton::released, this, &MessageDialog::btnYes);
    connect(btnNoTrigger, &QPushButton::released, this, &MessageDialog::btnNo);
}

MessageDialog::~MessageDialog() = default;

void MessageDialog::buildWidgets()
{
    setObjectName(QStringLiteral("MessageDialog"));
    resize(410, 260);
    setWindowTitle(QStringLiteral("VaroOnline"));
    setWindowIcon(QIcon(QStringLiteral(":/images/favicon.png")));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);

    // The white shadow caster lies behind the body: it is created first.
    shadowWidget = new QWidget(this);
    shadowWidget->setObjectName(QStringLiteral("shadowWidget"));
    shadowWidget->setGeometry(15, 15, 380, 230);
    shadowWidget->setStyleSheet(QStringLiteral("background: #ffffff"));
    shadow = new QGraphicsDropShadowEffect(shadowWidget);
    shadow->setBlurRadius(30);
    shadow->setColor(QColor(0, 0, 0, 160));
    shadow->setOffset(0, 0);
    shadowWidget->setGraphicsEffect(shadow);

    bodyWidget = new QWidget(this);
    bodyWidget->setObjectName(QStringLiteral("bodyWidget"));
    bodyWidget->setGeometry(15, 15, 380, 230);

    auto makeButton = [this](const char *name, int x, const QString &text) {
        auto *button = new QPushButton(bodyWidget);
        button->setObjectName(QLatin1String(name));
        button->setGeometry(x, 160, 160, 40);
        button->setText(text);
        button->setStyleSheet(QLatin1String(DialogStyle::ButtonStyle));
        return button;
    };
    btnOkTrigger = makeButton("btnOkTrigger", 110, QStringLiteral("Ок"));
    btnYesTrigger = makeButton("btnYesTrigger", 25, QStringLiteral("Да"));
    btnNoTrigger = makeButton("btnNoTrigger", 195, QStringLiteral("Нет"));

    textLabel = new QLabel(bodyWidget);
    textLabel->setObjectName(QStringLiteral("textLabel"));
    textLabel->setGeometry(30, 60, 320, 80);

    headerLabel = new QLabel(bodyWidget);
    headerLabel->setObjectName(QStringLiteral("headerLabel"));
    headerLabel->setGeometry(60, 20, 260, 31);
    headerLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    okAnim = DialogStyle::decorateButton(btnOkTrigger);
    yesAnim = DialogStyle::decorateButton(btnYesTrigger);
    noAnim = DialogStyle::decorateButton(btnNoTrigger);

    textCaption = new CustomLabel(textLabel, 5.3);
    textCaption->setAutoRender(false);
    textCaption->setFont(QFont(QStringLiteral("Montserrat"), 42, 45));
    textCaption->setColor(Qt::white);
    textCaption->setFlags(Qt::AlignCenter | Qt::TextWordWrap);
    textCaption->setText(QString());
    textCaption->render();
    textCaption->setAutoRender(true);

    headerCaption = new CustomLabel(headerLabel, 5.3);
    headerCaption->setAutoRender(false);
    headerCaption->setFont(QFont(QStringLiteral("Montserrat"), 75, 45));
    headerCaption->setColor(Qt::white);
    headerCaption->setFlags(Qt::AlignHCenter | Qt::AlignTop);
    headerCaption->setText(QString());
    headerCaption->render();
    headerCaption->setAutoRender(true);
}

void MessageDialog::setType(MessageType type)
{
    const TypeLook look = lookOf(type);
    headerLabel->setStyleSheet(QStringLiteral("background-image: url(%1); background-position: left center; "
                                              "background-repeat: no-repeat;")
                                   .arg(QLatin1String(look.icon)));
    bodyWidget->setStyleSheet(
        QStringLiteral("#bodyWidget {background: #ff9000;border-top: 2px solid %1;}").arg(QLatin1String(look.accent)));
    headerCaption->setText(QString::fromUtf8(look.title));
}

void MessageDialog::setButtons(MessageButtons buttons)
{
    switch (buttons) {
    case OkOnly:
        btnOkTrigger->show();
        btnYesTrigger->hide();
        btnNoTrigger->hide();
        break;
    case YesNo:
        btnOkTrigger->hide();
        btnYesTrigger->show();
        btnNoTrigger->show();
        break;
    }
}

void MessageDialog::setText(const QString &text)
{
    shownText = text.trimmed();
    textCaption->setText(shownText);
}

void MessageDialog::btnOk()
{
    accept();
}

void MessageDialog::btnYes()
{
    accept();
}

void MessageDialog::btnNo()
{
    reject();
}

int MessageDialog::showMessage(DialogHost *host, MessageType type, const QString &text, MessageButtons buttons)
{
    // The host is reached only while its window lives.
    QWidget *parent = host ? host->dialogParent() : nullptr;
    QPointer<QWidget> window(parent);
    if (window)
        host->setOverlay(true);

    QPointer<MessageDialog> dialog(new MessageDialog(parent));
    dialog->setType(type);
    dialog->setButtons(buttons);
    dialog->setText(text);
    dialog->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    const int delay = autoCloseDelay();
    if (delay >= 0)
        QTimer::singleShot(delay, dialog.data(), &QDialog::accept);
    dialog->exec();

    // The dialog goes with its parent should that be destroyed meanwhile.
    int result = QDialog::Rejected;
    if (dialog) {
        result = dialog->result();
        delete dialog.data();
    }
    if (window)
        host->setOverlay(false);
    return result;
}

void MessageDialog::setAutoCloseDelay(int ms)
{
    autoCloseMs.store(ms < 0 ? -1 : ms);
}

int MessageDialog::autoCloseDelay()
{
    return autoCloseMs.load();
}

QPoint MessageDialog::keepOnScreen(const QPoint &position, const QSize &dialog, const QSize &screen)
{
    const int halfWidth = dialog.width() / 2;
    const int halfHeight = dialog.height() / 2;
    QPoint result = position;
    if (result.x() < -halfWidth)
        result.setX(-halfWidth);
    if (result.y() < -halfHeight)
        result.setY(-halfHeight);
    if (result.x() > screen.width() - halfWidth)
        result.setX(screen.width() - halfWidth);
    if (result.y() > screen.height() - halfHeight)
        result.setY(screen.height() - halfHeight);
    return result;
}

void MessageDialog::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QDialog::mousePressEvent(event);
        return;
    }
    dragOffset = roundedPoint(event->localPos());
    dragging = true;
}

void MessageDialog::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging) {
        QDialog::mouseMoveEvent(event);
        return;
    }
    move(roundedPoint(event->screenPos()) - dragOffset);
}

void MessageDialog::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QDialog::mouseReleaseEvent(event);
        return;
    }
    if (dragging) {
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            move(keepOnScreen(pos(), size(), screen->geometry().size()));
        dragging = false;
    }
}
