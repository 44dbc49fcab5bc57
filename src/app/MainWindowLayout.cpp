#include "app/MainWindowLayout.h"

#include "app/DialogStyle.h"

#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPalette>
#include <QPushButton>
#include <QWidget>

const char MainWindowLayout::HeaderHoverStyle[] = "background: rgba(250, 170, 15, 250);\n"
                                                  "background-image: url(:/images/headerBtnHover.png);\n"
                                                  "background-position: bottom center;\n"
                                                  "background-repeat: no-repeat;";

namespace {

using DialogStyle::montserrat;

template<typename T>
T *create(QWidget *parent, const char *name, int x, int y, int width, int height)
{
    T *widget = new T(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(x, y, width, height);
    return widget;
}

QPushButton *button(QWidget *parent, const char *name, int x, int y, int width, int height, const QString &text,
                    const char *style)
{
    QPushButton *widget = create<QPushButton>(parent, name, x, y, width, height);
    widget->setText(text);
    if (style)
        widget->setStyleSheet(QLatin1String(style));
    return widget;
}

QPalette nicknamePalette()
{
    const QColor white(255, 255, 255, 255);
    const QColor shade(0, 0, 0, 50);
    QPalette palette;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, white);
        palette.setColor(group, QPalette::Text, white);
        palette.setColor(group, QPalette::ButtonText, white);
        palette.setColor(group, QPalette::Button, shade);
        palette.setColor(group, QPalette::Base, shade);
        palette.setColor(group, QPalette::Window, shade);
        palette.setColor(group, QPalette::PlaceholderText,
                         group == QPalette::Disabled ? QColor(0, 0, 0, 128) : QColor(255, 255, 255, 128));
    }
    return palette;
}

} // namespace

void MainWindowLayout::setupUi(QMainWindow *window)
{
    window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(900, 550);
    window->setMouseTracking(true);
    window->setWindowIcon(QIcon(QStringLiteral(":/images/favicon.png")));
    window->setWindowTitle(QStringLiteral("Varo Launcher"));

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));
    centralWidget->setStyleSheet(QStringLiteral("#centralWidget {\n"
                                                "background-image: url(:/images/body.png);\n"
                                                "background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:1, y2:0, "
                                                "stop:0 rgba(230, 150, 2, 230), stop:1 rgba(255, 250, 10, 200));\n"
                                                "}\n"
                                                "#centralWidget * {\n"
                                                "color: #fff;\n"
                                                "}"));

    // Header: logo, title, the four links, settings, minimise and close.
    headerWidget = create<QWidget>(centralWidget, "headerWidget", 0, 0, 900, 50);
    headerWidget->setStyleSheet(QStringLiteral("#headerWidget {\nbackground-color: rgba(235, 125, 10, 220);\n}"));

    btnExitTrigger = button(headerWidget, "btnExitTrigger", 869, 16, 18, 18, QString(),
                            "background-color: transparent;\n"
                            "background: url(:/images/close_h.png);\n"
                            "border: none;\n"
                            "background-repeat: no-repeat;");
    btnHideTrigger = button(headerWidget, "btnHideTrigger", 840, 16, 20, 18, QString(),
                            "background-color: transparent;\n"
                            "background: url(:/images/minimize_h.png);\n"
                            "border: none;\n"
                            "background-repeat: no-repeat;\n"
                            "background-position: center center;");

    headerLogo = create<QLabel>(headerWidget, "headerLogo", 19, 12, 20, 26);
    headerLogo->setStyleSheet(QStringLiteral("background: url(:/images/logo.png);"));

    varoLabel = create<QLabel>(headerWidget, "varoLabel", 53, 17, 71, 17);
    varoLabel->setFont(montserrat(11, 75));
    varoLabel->setText(QStringLiteral("Varo"));

    launcherLabel = create<QLabel>(headerWidget, "launcherLabel", 130, 17, 91, 17);
    launcherLabel->setFont(montserrat(11, 35));
    launcherLabel->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 255);"));
    launcherLabel->setText(QStringLiteral("Launcher"));

    headerBtnsFrame = create<QFrame>(headerWidget, "headerBtnsFrame", 230, 0, 440, 50);
    headerBtnsFrame->setFrameShape(QFrame::StyledPanel);
    headerBtnsFrame->setFrameShadow(QFrame::Raised);
    headerBtnsFrame->setStyleSheet(QStringLiteral("#headerBtnsFrame {\n"
                                                  "background: transparent;\n"
                                                  "border: none;\n"
                                                  "}\n"
                                                  "#headerBtnsFrame QPushButton {\n"
                                                  "border: none;\n"
                                                  "background: transparent;\n"
                                                  "}\n"
                                                  "#headerBtnsFrame QPushButton:pressed {\n"
                                                  "padding: 0;\n"
                                                  "}"));

    const QFont linkFont = montserrat(9, 57);
    forumBtn = button(headerBtnsFrame, "forumBtn", 90, 0, 110, 50, QStringLiteral("Форум"), nullptr);
    siteBtn = button(headerBtnsFrame, "siteBtn", 0, 0, 90, 50, QStringLiteral("Сайт"), nullptr);
    donateBtn = button(headerBtnsFrame, "donateBtn", 200, 0, 130, 50, QStringLiteral("Пополнить счет"), nullptr);
    helpBtn = button(headerBtnsFrame, "helpBtn", 330, 0, 110, 50, QStringLiteral("Помощь"),
                     "color: #f8c90c;\nbackground-image: url(:/images/helpBtn.png);");
    for (QPushButton *link : {forumBtn, siteBtn, donateBtn, helpBtn})
        link->setFont(linkFont);

    settingsBtnTrigger = button(headerWidget, "settingsBtnTrigger", 710, 10, 111, 31, QStringLiteral("Настройки"),
                                "QPushButton {\n"
                                "text-align: left;\n"
                                "background-color: transparent;\n"
                                "background-image: url(:/images/settings_h.png);\n"
                                "border: none;\n"
                                "background-repeat: no-repeat;\n"
                                "background-position: right center;\n"
                                "}\n"
                                "QPushButton:pressed {\n"
                                "padding: 0;\n"
                                "}");
    settingsBtnTrigger->setFont(montserrat(10, 45));

    // Body: servers on the left, news on the right, nickname, join button
    // and progress bar below the servers.
    serverListWidget = create<QWidget>(centralWidget, "serverListWidget", 70, 119, 470, 200);
    serverListWidget->setMouseTracking(true);
    newsListWidget = create<QWidget>(centralWidget, "newsListWidget", 554, 119, 293, 390);
    newsListWidget->setMouseTracking(true);

    // The bar first, so that the progress texts lie over it.
    progressBarWidget = create<QWidget>(centralWidget, "progressBarWidget", 70, 469, 470, 27);
    progressBarWidget->setStyleSheet(QStringLiteral("background: rgba(0, 0, 0, 75);\nborder-radius: 4px;"));
    progressBarLayer = create<QLabel>(progressBarWidget, "progressBarLayer", 0, 0, 0, 27);
    progressBarLayer->setStyleSheet(QStringLiteral("background: #f8c90c;\nborder-radius: 4px;"));

    progressBarState1 = create<QLabel>(centralWidget, "progressBarState1", 70, 469, 470, 27);
    progressBarState1->setMouseTracking(true);
    progressBarState2 = create<QLabel>(centralWidget, "progressBarState2", 90, 500, 427, 16);
    progressBarState2->setMouseTracking(true);

    nicknameField = create<QLineEdit>(centralWidget, "nicknameField", 70, 380, 230, 40);
    nicknameField->setFont(montserrat(10, 50));
    nicknameField->setPalette(nicknamePalette());
    nicknameField->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
    nicknameField->setPlaceholderText(QStringLiteral("Имя_Фамилия"));
    nicknameField->setStyleSheet(QStringLiteral("border: none;\n"
                                                "background-color: rgba(234,128,13, 125);\n"
                                                "border-radius: 4px;\n"
                                                "padding-left: 10px;"));

    serversLabel = create<QLabel>(centralWidget, "serversLabel", 70, 80, 111, 31);
    serversLabel->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignBottom);

    btnRefresh = button(centralWidget, "btnRefresh", 200, 83, 101, 31, QStringLiteral("Обновить"),
                        "background-image: url(:/images/refresh.png);\n"
                        "background-color: transparent;\n"
                        "background-position: left center;\n"
                        "background-repeat: no-repeat;\n"
                        "border: none;\n"
                        "padding: 0;\n"
                        "text-align: right;");
    btnRefresh->setFont(montserrat(10, 45));

    hrLine1 = create<QWidget>(centralWidget, "hrLine1", 70, 342, 470, 1);
    hrLine1->setStyleSheet(QStringLiteral("background: rgba(255, 255, 255, 25);"));

    nicknameLabel = create<QLabel>(centralWidget, "nicknameLabel", 70, 353, 101, 21);
    nicknameLabel->setFont(montserrat(10, 75));

    hrLine2 = create<QWidget>(centralWidget, "hrLine2", 70, 432, 470, 1);
    hrLine2->setStyleSheet(QStringLiteral("background: rgba(255, 255, 255, 25);"));

    buildLabel = create<QLabel>(centralWidget, "buildLabel", 70, 440, 281, 21);

    overlayWidget = create<QWidget>(centralWidget, "overlayWidget", 0, 50, 900, 500);
    overlayWidget->setEnabled(true);
    overlayWidget->setStyleSheet(QStringLiteral("background: rgba(235, 125, 10, 0.9);"));

    btnJoinGame = button(centralWidget, "btnJoinGame", 309, 370, 230, 50, QStringLiteral("ИГРАТЬ"),
                         "border-radius: 4px;\npadding: 0;\ncolor: #ffffff;");
    btnJoinGame->setFont(montserrat(10, 75));

    newsLabel = create<QLabel>(centralWidget, "newsLabel", 554, 80, 191, 31);

    window->setCentralWidget(centralWidget);

    // The overlay covers everything below the header.
    headerWidget->raise();
    overlayWidget->raise();
}
