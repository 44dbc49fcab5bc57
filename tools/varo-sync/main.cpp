// varo-sync: synchronises a game folder from the project's mirror without a
// window, on the launcher's own engine. For operators (check a mirror before
// a release, keep a dedicated machine's copy current) and end-to-end tests.
//
//   varo-sync --app-dir DIR
//
// DIR is the launcher's folder: the state files live there and the game in
// DIR/gtasa. Addresses are the built-in ones or the VARO_* environment
// overrides. Exit status: 0 ready, 2 the sync list could not be fetched or
// verified, 3 not enough disk space, 4 stopped because the same files could
// not be stored, deleted or read pass after pass (the last line names one
// and why), 130 interrupted (Ctrl-C), 64 bad arguments, 1 any other end.

#include "ConsoleProgress.h"

#include "platform/AppPaths.h"
#include "platform/Platform.h"
#include "service/Endpoints.h"
#include "service/MirrorChoice.h"
#include "service/ProcessState.h"
#include "sync/SyncThread.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QThread>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int)
{
    // Lets the run stop at its next check; a second Ctrl-C ends at once.
    if (interrupted)
        std::_Exit(130);
    interrupted = 1;
    ProcessState::requestExit();
}

int usage(const char *message)
{
    if (message)
        std::fprintf(stderr, "varo-sync: %s\n", message);
    std::fputs("usage: varo-sync --app-dir DIR\n"
               "Synchronises DIR/gtasa from the project's mirror; state files live in DIR.\n",
               stderr);
    return 64;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 1 && (args.at(0) == QLatin1String("--help") || args.at(0) == QLatin1String("-h"))) {
        usage(nullptr);
        return 0;
    }
    if (args.size() != 2 || args.at(0) != QLatin1String("--app-dir") || args.at(1).isEmpty())
        return usage("expected --app-dir DIR");
    const QString appDir = args.at(1);
    if (!QDir().mkpath(appDir))
        return usage("cannot create the application directory");
    const AppPaths paths(appDir);
    QDir().mkpath(paths.gameDir());

    // A failed sync list is told on the console, also on Windows, where the
    // launcher shows a message box that would wait for somebody to click.
    Platform::setMessageBoxHandler(&Platform::printMessageBox);

    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    ConsoleProgress progress;
    progress.printLine(QStringLiteral("Проверка доступности серверов..."));
    const QString apiBase = Endpoints::launcherApiBase();
    QNetworkAccessManager network;
    const QString mirrorBase = MirrorChoice::choose(apiBase, Endpoints::primaryMirrorBase(), &network);
    progress.printLine(QStringLiteral("mirror: ") + mirrorBase);

    QThread thread;
    SyncThread worker(paths, apiBase, mirrorBase);
    worker.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &worker, &SyncThread::start);
    QObject::connect(&worker, &SyncThread::setProgressText, &progress, &ConsoleProgress::setProgressText);
    QObject::connect(&worker, &SyncThread::setProgressState, &progress, &ConsoleProgress::setProgressState);
    QObject::connect(&thread, &QThread::finished, &app, &QCoreApplication::quit);
    thread.start();
    app.exec();
    thread.wait();

    switch (worker.outcome()) {
    case SyncThread::Outcome::Ready:
        progress.setProgressState(100, 100);
        progress.setProgressText(QStringLiteral("Готово к игре!"), QString());
        return 0;
    case SyncThread::Outcome::ListFailure:
        return 2;
    case SyncThread::Outcome::SpaceFailure:
        return 3;
    case SyncThread::Outcome::RepeatedFailure:
        return 4;
    case SyncThread::Outcome::Stopped:
    case SyncThread::Outcome::Running:
        break;
    }
    return interrupted ? 130 : 1;
}
