#include "app/MessageBoxRelay.h"

#include "app/MessageDialog.h"
#include "platform/Platform.h"
#include "service/ProcessState.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {

// Poll interval of a worker waiting for its box.
const int WaitStepMs = 100;

void showOnGuiThread(const QString &caption, const QString &text)
{
    if (ProcessState::isExitRequested())
        return;
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
    const int delay = MessageDialog::autoCloseDelay();
    if (delay >= 0)
        QTimer::singleShot(delay, &box, &QMessageBox::accept);
    box.exec();
}

} // namespace

namespace MessageBoxRelay {

void install()
{
    Platform::setMessageBoxHandler(&MessageBoxRelay::show);
}

void uninstall()
{
    Platform::setMessageBoxHandler(nullptr);
}

void show(const QString &caption, const QString &text)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    if (QThread::currentThread() == app->thread()) {
        showOnGuiThread(caption, text);
        return;
    }
    if (ProcessState::isExitRequested())
        return;

    // The semaphore is shared with the queued call, which may run after this
    // caller has stopped waiting.
    auto closed = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        app,
        [caption, text, closed] {
            showOnGuiThread(caption, text);
            closed->release();
        },
        Qt::QueuedConnection);
    while (!closed->tryAcquire(1, WaitStepMs)) {
        if (ProcessState::isExitRequested())
            return;
    }
}

} // namespace MessageBoxRelay
