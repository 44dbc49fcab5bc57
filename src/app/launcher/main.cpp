// The launcher's entry point: one launcher per logon, fonts, the main
// window, and the event loop until the player closes it or the game starts.

#include "widgets/AppResources.h"
#include "app/MainWindow.h"
#include "app/MessageBoxRelay.h"
#include "app/MessageDialog.h"
#include "platform/Platform.h"

#include <QApplication>

#include <memory>

namespace {

// Window-level rules; every colour is fully transparent: the look comes from
// the central widget's own style and the rounded window mask.
const char WindowStyle[] =
    "QMainWindow { background-color: rgba(0, 0, 0, 0); }"
    "    "
    "QMainWindow::title { background-color: rgba(0, 0, 0, 0); }"
    "    "
    "QWidget#centralWidget { background-color: rgba(0, 0, 255, 0); border-radius: 20px; "
    "subcontrol-origin: padding; }"
    "    "
    "QWidget#centralWidget[corner=\"top-left\"], QWidget#centralWidget[corner=\"top-right\"], "
    "QWidget#centralWidget[corner=\"bottom-left\"], QWidget#centralWidget[corner=\"bottom-right\"] "
    "{ background-color: rgba(0, 0, 255, 0); }";

// Test hook, compiled into test builds only (VARO_TEST_HOOKS):
// VARO_TEST_AUTOCLOSE_DIALOGS_MS=<ms> makes every message dialog and system
// message box accept itself after that many milliseconds, Yes/No questions
// included, so that automated tests can run the launcher without anybody to
// press a button. A player's launcher must never answer for the player.
void applyTestHooks()
{
#ifdef VARO_TEST_HOOKS
    bool ok = false;
    const int delay = qEnvironmentVariableIntValue("VARO_TEST_AUTOCLOSE_DIALOGS_MS", &ok);
    if (ok && delay >= 0)
        MessageDialog::setAutoCloseDelay(delay);
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    auto app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("VaroOnline"));
    QCoreApplication::setApplicationName(QStringLiteral("Varo Launcher"));
    applyTestHooks();

    if (!Platform::isFirstInstance(QStringLiteral("Mutex: Varo Launcher"))) {
        MessageDialog::showMessage(nullptr, MessageDialog::Error, QStringLiteral("Лаунчер уже запущен"),
                                   MessageDialog::OkOnly);
        app.reset();
        return 0;
    }

    MessageBoxRelay::install();
    AppResources::registerFonts();

    auto window = std::make_unique<MainWindow>(AppPaths::ofExecutable());
    window->setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    window->show();
    window->startLoading();
    window->setStyleSheet(QLatin1String(WindowStyle));

    const int code = QApplication::exec();

    // The window's teardown stops both workers before the application goes.
    window.reset();
    MessageBoxRelay::uninstall();
    app.reset();
    return code;
}
