#pragma once

#include <QDialog>

class AnimBgButton;
class CustomLabel;
class DialogHost;
class GameSettings;
class QGraphicsDropShadowEffect;
class QLabel;
class QPushButton;

// The small modal window behind the main window's "Настройки" button:
// "Сохранить" writes the game settings back, "Починить игру" deletes the
// launcher's remembered file state and the game's settings file and makes
// the main window synchronise the whole game folder again.
class SettingsDialog final : public QDialog
{
    Q_OBJECT

public:
    // host's window is the parent; its game settings are used, not owned.
    explicit SettingsDialog(DialogHost *host);
    ~SettingsDialog() override;

    // Runs the dialog modally over host's window with its overlay shown.
    static void showSettings(DialogHost *host);

public slots:
    void btnOk();
    void btnCache();

private:
    void buildWidgets();

    QWidget *bodyWidget = nullptr;
    QPushButton *removeCache = nullptr;
    QPushButton *btnOkTrigger = nullptr;
    QLabel *settingsLabel = nullptr;
    QWidget *shadowWidget = nullptr;

    QGraphicsDropShadowEffect *shadow = nullptr;
    AnimBgButton *okAnim = nullptr;
    AnimBgButton *repairAnim = nullptr;
    CustomLabel *titleCaption = nullptr;
    GameSettings *gameSettings = nullptr;
    DialogHost *host = nullptr;
};
