#include "app/SettingsDialog.h"

#include "app/DialogHost.h"
#include "app/DialogStyle.h"
#include "app/GameSettings.h"
#include "app/MessageDialog.h"
#include "platform/AppPaths.h"
#include "widgets/AnimBgButton.h"
#include "widgets/AppResources.h"
#include "widgets/CustomLabel.h"

#include <QFile>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

SettingsDialog::SettingsDialog(DialogHost *dialogHost)
    : QDialog(dialogHost ? dialogHost->dialogParent() : nullptr)
    , gameSettings(dialogHost ? &dialogHost->settings() : nullptr)
    , host(dialogHost)
{
    AppResources::ensureLoaded();
    buildWidgets();
    connect(btnOkTrigger, &QPushButton::released, this, &SettingsDialog::btnOk);
    connect(removeCache, &QPushButton::released, this, &SettingsDialog::btnCache);
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::buildWidgets()
{
    setObjectName(QStringLiteral("SettingsDialog"));
    resize(377, 194);
    setWindowTitle(QStringLiteral("Настройки"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);

    bodyWidget = new QWidget(this);
    bodyWidget->setObjectName(QStringLiteral("bodyWidget"));
    bodyWidget->setGeometry(15, 15, 351, 161);
    bodyWidget->setStyleSheet(QStringLiteral("#bodyWidget {\nbackground: #ff9f00;\nborder-top: 2px solid #FFBE00;\n}"));

    removeCache = new QPushButton(bodyWidget);
    removeCache->setObjectName(QStringLiteral("removeCache"));
    removeCache->setGeometry(40, 60, 271, 40);
    removeCache->setText(QStringLiteral("Починить игру"));
    removeCache->setStyleSheet(QStringLiteral("border-radius: 4px;\ncolor: #ffffff; \nborder: none; \npadding: 0;\n"
                                              "background-image: url(:/images/repair.png);\n"
                                              "background-position: left center;\n"
                                              "background-repeat: no-repeat;"));

    btnOkTrigger = new QPushButton(bodyWidget);
    btnOkTrigger->setObjectName(QStringLiteral("btnOk"));
    btnOkTrigger->setGeometry(40, 110, 271, 40);
    btnOkTrigger->setText(QStringLiteral("Сохранить"));
    btnOkTrigger->setStyleSheet(QLatin1String(DialogStyle::ButtonStyle));

    settingsLabel = new QLabel(bodyWidget);
    settingsLabel->setObjectName(QStringLiteral("settingsLabel"));
    settingsLabel->setGeometry(40, 10, 271, 30);
    settingsLabel->setAlignment(Qt::AlignCenter);

    shadowWidget = new QWidget(this);
    shadowWidget->setObjectName(QStringLiteral("shadowWidget"));
    shadowWidget->setGeometry(15, 15, 261, 161);
    shadowWidget->setStyleSheet(QStringLiteral("background: #ffffff;"));
    shadow = new QGraphicsDropShadowEffect(shadowWidget);
    shadow->setBlurRadius(30);
    shadow->setColor(QColor(0, 0, 0, 160));
    shadow->setOffset(0, 0);
    shadowWidget->setGraphicsEffect(shadow);

    okAnim = DialogStyle::decorateButton(btnOkTrigger);
    repairAnim = DialogStyle::decorateButton(removeCache);

    titleCaption = new CustomLabel(settingsLabel, 5.0);
    titleCaption->setAutoRender(false);
    titleCaption->setFont(QFont(QStringLiteral("Montserrat"), 80, 75));
    titleCaption->setColor(Qt::white);
    titleCaption->setFlags(Qt::AlignCenter);
    titleCaption->setText(QStringLiteral("Настройки"));
    titleCaption->render();
    titleCaption->setAutoRender(true);

    // The white shadow caster lies behind the orange body.
    shadowWidget->raise();
    bodyWidget->raise();
}

void SettingsDialog::showSettings(DialogHost *host)
{
    // The host is reached only while its window lives.
    QPointer<QWidget> guard(host ? host->dialogParent() : nullptr);
    if (guard)
        host->setOverlay(true);
    QPointer<SettingsDialog> dialog(new SettingsDialog(host));
    dialog->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    dialog->exec();
    delete dialog.data();
    if (guard)
        host->setOverlay(false);
}

void SettingsDialog::btnOk()
{
    if (gameSettings)
        gameSettings->save();
    accept();
}

void SettingsDialog::btnCache()
{
    if (!host)
        return;
    DialogHost *window = host;
    // A run that ended without the game ready (no room on the disk, files
    // it could not store) may be repaired too.
    if (!window->isGameReady() && !window->hasSyncEnded()) {
        MessageDialog::showMessage(window, MessageDialog::Info, QStringLiteral("Дождитесь окончания загрузки!"),
                                   MessageDialog::OkOnly);
        return;
    }

    // Failures (a file that is absent or locked) do not matter: the new
    // synchronisation examines every file again either way.
    const QString gameSettingsFile = gameSettings ? gameSettings->settingsPath() : QString();
    if (!gameSettingsFile.isEmpty())
        QFile::remove(gameSettingsFile);
    QFile::remove(window->paths().syncState());
    QFile::remove(window->paths().compressedCache());

    MessageDialog::showMessage(window, MessageDialog::Info, QStringLiteral("Кэш-файлы и настройки успешно удалены!"),
                               MessageDialog::OkOnly);
    window->synchroniseAgain();
}
