#pragma once

class QFrame;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QWidget;

// The main window's widget tree: a fixed 900 × 550 window without layout
// managers, every widget at a fixed geometry with its font, text and style
// sheet. The behaviour behind the widgets is MainWindow's; the rendered
// captions and animated companions are added there.
class MainWindowLayout final
{
public:
    MainWindowLayout() = default;

    // Creates every widget inside window and makes centralWidget its central
    // widget.
    void setupUi(QMainWindow *window);

    QWidget *centralWidget = nullptr;
    QWidget *headerWidget = nullptr;
    QPushButton *btnExitTrigger = nullptr;
    QPushButton *btnHideTrigger = nullptr;
    QLabel *headerLogo = nullptr;
    QLabel *varoLabel = nullptr;
    QLabel *launcherLabel = nullptr;
    QFrame *headerBtnsFrame = nullptr;
    QPushButton *forumBtn = nullptr;
    QPushButton *siteBtn = nullptr;
    QPushButton *donateBtn = nullptr;
    QPushButton *helpBtn = nullptr;
    QPushButton *settingsBtnTrigger = nullptr;
    QWidget *serverListWidget = nullptr;
    QWidget *newsListWidget = nullptr;
    QLabel *progressBarState1 = nullptr;
    QLabel *progressBarState2 = nullptr;
    QWidget *progressBarWidget = nullptr;
    QLabel *progressBarLayer = nullptr;
    QLineEdit *nicknameField = nullptr;
    QLabel *serversLabel = nullptr;
    QPushButton *btnRefresh = nullptr;
    QWidget *hrLine1 = nullptr;
    QLabel *nicknameLabel = nullptr;
    QWidget *hrLine2 = nullptr;
    QLabel *buildLabel = nullptr;
    QWidget *overlayWidget = nullptr;
    QPushButton *btnJoinGame = nullptr;
    QLabel *newsLabel = nullptr;

    // The highlight style that the main window gives to the frames behind
    // the four header links.
    static const char HeaderHoverStyle[];

private:
    MainWindowLayout(const MainWindowLayout &) = delete;
    MainWindowLayout &operator=(const MainWindowLayout &) = delete;
};
