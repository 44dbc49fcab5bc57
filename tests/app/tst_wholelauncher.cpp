// The whole launcher, as a player meets it: the real executable, installed
// in a folder whose path holds a blank and Cyrillic letters, on an X server
// (Xvfb), against nginx serving a published game folder, the API's answers
// and the monitoring answers as static files. It refuses a second launcher,
// loads, synchronises the game folder, becomes ready, takes a nickname typed
// into its field and, on "ИГРАТЬ", starts the game with the first server and
// exits. In the Windows setting (tests/support/WindowsBuild.h) the launcher
// is the Windows one under Wine, installed by its installer, and the game a
// Windows stand-in that records the command line exactly as Windows hands it
// over; the installer then updates the running launcher and uninstalls it.

#include "support/SyncDeployment.h"
#include "support/TestFiles.h"
#include "support/WindowsBuild.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

// Stand-in for the game: records its working directory and arguments next to
// itself and exits.
const char StandInGame[] = "#!/bin/sh\n"
                           "out=\"$(dirname \"$0\")/started.txt\"\n"
                           "{\n"
                           "  printf 'cwd=%s\\n' \"$(pwd)\"\n"
                           "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done\n"
                           "} > \"$out.part\" && mv \"$out.part\" \"$out\"\n";

// The API script and the monitoring endpoint answer from files chosen by a
// query parameter.
const char ApiLocations[] =
    "    location = /launcher_api/api_v2.php { default_type application/json; try_files /api/$arg_data.json =404; }\n"
    "    location = /servers/monitoring { default_type application/json; try_files /monitoring/$arg_port.json =404; }";

// Widget places inside the 900 x 550 window: centres of the nickname field
// (70, 380, 230, 40) and of "ИГРАТЬ" (309, 370, 230, 50).
const QPoint NicknameFieldCentre(70 + 115, 380 + 20);
const QPoint JoinButtonCentre(309 + 115, 370 + 25);
// The close button in the header (869, 16, 18, 18).
const QPoint CloseButtonCentre(869 + 9, 16 + 9);

const QString FirstServerAddress = QStringLiteral("127.0.0.11");
const QString FirstServerPort = QStringLiteral("7777");

} // namespace

class TestWholeLauncher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void joinStartsTheGameWithTheFirstServerAndExits();
    void installerUpdatesTheRunningLauncherThenUninstalls();
    void closedWhileManyFilesTravel();

private:
    void writeStaticAnswers();
    bool startXvfb();
    QString xdotool(const QStringList &arguments, bool *ok = nullptr);
    QString windowId();
    QPoint windowOrigin(const QString &window);
    void click(const QPoint &point);
    QString launcherLog() const;
    bool readyToPlay();
    bool waitFor(const std::function<bool()> &condition, int timeoutMs);
    void screenshot(const QString &name);
    void secondLauncherIsRefused();
    QString runInstaller(const QString &program, const QString &switches, const QString &folder);
    QString uninstallEntry();

    QTemporaryDir root;
    SyncDeployment deployment{QString(), QStringLiteral("client/Мои игры/Varo")};
    const bool windows = !WindowsBuild::folder().isEmpty();
    QProcess xvfb;
    QProcess launcher;
    QString display;
    QString appDir;
    QString logPath;
    QProcessEnvironment environment;
    qint64 quietSince = -1;
    QElapsedTimer clock;
};

void TestWholeLauncher::initTestCase()
{
    QVERIFY(root.isValid());
    if (!QFile::exists(GameTree::launcherPath()))
        QSKIP("the launcher executable has not been built");
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("Xvfb is not installed (scripts/bootstrap installs it)");
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("xdotool is not installed (scripts/bootstrap installs it)");
    clock.start();

    // A published game folder whose executable is the recording stand-in.
    deployment.makeBaseGame();
    QVERIFY(TestFiles::write(deployment.sourceDir() + QStringLiteral("/gta_sa.exe"),
                             windows ? TestFiles::read(GameTree::standInPath()) : QByteArray(StandInGame)));
    QString output;
    QVERIFY2(deployment.publish(&output), qPrintable(output));
    QVERIFY2(deployment.serve(QLatin1String(ApiLocations)), qPrintable(deployment.server()->errorString()));
    writeStaticAnswers();
    if (QTest::currentTestFailed())
        return;

    QVERIFY2(startXvfb(), "Xvfb did not start");

    // The launcher in a folder of its own: it keeps user.ini, its caches and
    // the game folder next to itself.
    appDir = deployment.clientDir();
    const QString program = appDir + QLatin1Char('/') + QFileInfo(GameTree::launcherPath()).fileName();
    if (!windows) {
        QVERIFY(QFile::copy(GameTree::launcherPath(), program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner));
    }

    // Private runtime folder (the single-instance lock) and settings (the
    // nickname), every address on the local nginx, the window's progress
    // texts in the log, and message dialogs that close themselves.
    const QString runtime = root.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    environment = QProcessEnvironment::systemEnvironment();
    const QMap<QString, QString> addresses = deployment.environment();
    for (auto it = addresses.cbegin(); it != addresses.cend(); ++it)
        environment.insert(it.key(), it.value());
    // The built-in mirror is a closed port: the game files can come only
    // from the mirror that the API's "ping" answer names.
    environment.insert(QStringLiteral("VARO_MIRROR_BASE"), QStringLiteral("http://127.0.0.1:9/"));
    environment.insert(QStringLiteral("VARO_MONITORING_URL"),
                       deployment.server()->url(QStringLiteral("/servers/monitoring")));
    environment.insert(QStringLiteral("VARO_GAME_HOST"), QStringLiteral("127.0.0.1"));
    environment.insert(QStringLiteral("VARO_DEFAULT_SERVER"), QStringLiteral("127.0.0.1"));
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), windows ? QStringLiteral("windows") : QStringLiteral("xcb"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("varo.app.debug=true"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("HOME"), root.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("home/.config")));
    environment.insert(QStringLiteral("VARO_TEST_AUTOCLOSE_DIALOGS_MS"), QStringLiteral("300"));
    // Under AddressSanitizer: the X keyboard library hands strndup a buffer
    // without a terminating NUL, which strndup may be given but the strict
    // string checks report; the launcher's own code keeps every other check.
    // And Mesa's GLX driver, which Qt's X platform loads to learn what
    // OpenGL offers (the launcher draws without it), loses a block that
    // LeakSanitizer finds in a library already unloaded, where no
    // suppression can name it: the X platform is told to leave OpenGL alone.
    if (environment.contains(QStringLiteral("ASAN_OPTIONS"))) {
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           environment.value(QStringLiteral("ASAN_OPTIONS"))
                               + QStringLiteral(":strict_string_checks=0"));
        environment.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    }
    logPath = root.filePath(QStringLiteral("launcher.out"));

    if (windows) {
        // Installed the way a player installs it, without questions. (Wine
        // chooses the prefix's display driver for its first window program,
        // so the installer already has the launcher's DISPLAY.)
        const QString installed = runInstaller(WindowsBuild::folder() + QStringLiteral("/VaroLauncherSetup.exe"),
                                               QStringLiteral("/S /D="), appDir);
        QVERIFY2(QFile::exists(program), qPrintable(installed));
        QVERIFY(!QDir(appDir + QStringLiteral("/licenses")).entryList(QDir::Files).isEmpty());
        QVERIFY2(uninstallEntry().contains(QStringLiteral("Varo Launcher")), qPrintable(uninstallEntry()));
    }
}

void TestWholeLauncher::cleanupTestCase()
{
    if (launcher.state() != QProcess::NotRunning) {
        launcher.kill();
        launcher.waitForFinished(5000);
    }
    if (xvfb.state() != QProcess::NotRunning) {
        xvfb.terminate();
        if (!xvfb.waitForFinished(5000)) {
            xvfb.kill();
            xvfb.waitForFinished(5000);
        }
    }
}

void TestWholeLauncher::writeStaticAnswers()
{
    const QString www = deployment.mirrorDir();
    QVERIFY(TestFiles::write(
        www + QStringLiteral("/api/ping.json"),
        QStringLiteral("{\"cdn\": \"%1\"}").arg(deployment.server()->url(QStringLiteral("/"))).toUtf8()));
    QVERIFY(TestFiles::write(www + QStringLiteral("/api/updates.json"), R"({"act": "none"})"));
    QVERIFY(TestFiles::write(www + QStringLiteral("/api/servers.json"),
                             R"([{"new_name": "Alpha", "addr": "127.0.0.11", "port": 7777},
                                 {"new_name": "Beta", "addr": "127.0.0.12", "port": "7778"},
                                 {"new_name": "Gamma", "addr": "127.0.0.13", "port": 7779}])"));
    QVERIFY(TestFiles::write(www + QStringLiteral("/api/news.json"),
                             R"([{"caption": "One", "text": "First", "date": "01.05", "link": "", "image": ""}])"));
    // The first server has the fewest players: should the list choose a
    // server by itself, it is that one too.
    QVERIFY(TestFiles::write(www + QStringLiteral("/monitoring/7771.json"), R"({"numplayers": 5, "maxplayers": 100})"));
    QVERIFY(
        TestFiles::write(www + QStringLiteral("/monitoring/7772.json"), R"({"numplayers": 50, "maxplayers": 100})"));
    QVERIFY(
        TestFiles::write(www + QStringLiteral("/monitoring/7773.json"), R"({"numplayers": 70, "maxplayers": 100})"));
}

bool TestWholeLauncher::startXvfb()
{
    // Xvfb chooses a free display and writes its number once it accepts
    // clients.
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!xvfb.waitForStarted(10000))
        return false;
    QByteArray number;
    QElapsedTimer waited;
    waited.start();
    while (!number.contains('\n') && waited.elapsed() < 20000 && xvfb.state() == QProcess::Running) {
        xvfb.waitForReadyRead(500);
        number += xvfb.readAllStandardOutput();
    }
    number = number.trimmed();
    if (number.isEmpty())
        return false;
    display = QLatin1Char(':') + QString::fromLatin1(number);
    return true;
}

QString TestWholeLauncher::xdotool(const QStringList &arguments, bool *ok)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("xdotool"), arguments);
    const bool finished = process.waitForStarted(5000) && process.waitForFinished(10000);
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QString TestWholeLauncher::windowId()
{
    const QString found = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                   QStringLiteral("^Varo Launcher$")});
    return found.section(QLatin1Char('\n'), 0, 0).trimmed();
}

QPoint TestWholeLauncher::windowOrigin(const QString &window)
{
    bool ok = false;
    const QString shell = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window}, &ok);
    const QRegularExpressionMatch x =
        QRegularExpression(QStringLiteral("^X=(\\d+)$"), QRegularExpression::MultilineOption).match(shell);
    const QRegularExpressionMatch y =
        QRegularExpression(QStringLiteral("^Y=(\\d+)$"), QRegularExpression::MultilineOption).match(shell);
    if (!ok || !x.hasMatch() || !y.hasMatch())
        return QPoint(-1, -1);
    return QPoint(x.captured(1).toInt(), y.captured(1).toInt());
}

void TestWholeLauncher::click(const QPoint &point)
{
    xdotool({QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y()),
             QStringLiteral("click"), QStringLiteral("1")});
}

// The launcher's own log file next to it: its progress lines too, with
// QT_LOGGING_RULES as set above, on every system.
QString TestWholeLauncher::launcherLog() const
{
    return QString::fromUtf8(TestFiles::read(appDir + QStringLiteral("/varo_launcher.log")));
}

// Saved next to the test's other output, for a person to look at.
void TestWholeLauncher::screenshot(const QString &name)
{
    const QString file = QDir::current().filePath(
        QStringLiteral("screenshots/wholelauncher%1-%2.png").arg(windows ? QStringLiteral("-wine") : QString(), name));
    QDir().mkpath(QFileInfo(file).path());
    QProcess import;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    import.setProcessEnvironment(env);
    import.start(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), file});
    if (import.waitForFinished(30000) && import.exitCode() == 0)
        qInfo("screenshot: %s", qPrintable(file));
    else
        qWarning("no screenshot (ImageMagick's import): %s", qPrintable(file));
}

// A launcher started while one runs shows its error (closed by the test
// hook) and exits with 0, without a window and without a game folder.
void TestWholeLauncher::secondLauncherIsRefused()
{
    const QString second = root.filePath(QStringLiteral("second"));
    QVERIFY(QDir().mkpath(second));
    const QString program = second + QLatin1Char('/') + QFileInfo(GameTree::launcherPath()).fileName();
    QVERIFY(QFile::copy(GameTree::launcherPath(), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner));
    QProcess refused;
    refused.setProcessEnvironment(environment);
    refused.setWorkingDirectory(second);
    WindowsBuild::start(refused, program, {});
    QVERIFY2(refused.waitForFinished(60000), "the second launcher did not end");
    QCOMPARE(refused.exitStatus(), QProcess::NormalExit);
    QCOMPARE(refused.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(second + QStringLiteral("/gtasa")));
}

// Runs an NSIS installer or uninstaller under Wine to its end. NSIS reads
// the folder after its last switch (/D=, _?=) up to the end of its command
// line and takes no quotes there, so the folder, blanks and all, must reach
// it unquoted: cmd.exe hands its own command line on as it is. Returns what
// Wine and cmd.exe printed.
QString TestWholeLauncher::runInstaller(const QString &program, const QString &switches, const QString &folder)
{
    QStringList commandLine{QStringLiteral("cmd.exe"), QStringLiteral("/c"), WindowsBuild::windowsPath(program)};
    commandLine += (switches + WindowsBuild::windowsPath(folder)).split(QLatin1Char(' '));
    QProcess installer;
    installer.setProcessEnvironment(environment);
    installer.setProcessChannelMode(QProcess::MergedChannels);
    WindowsBuild::start(installer, commandLine.first(), commandLine.mid(1));
    if (!installer.waitForFinished(180000))
        return QStringLiteral("the installer did not end");
    return commandLine.join(QLatin1Char(' ')) + QStringLiteral(": ") + QString::fromUtf8(installer.readAll());
}

QString TestWholeLauncher::uninstallEntry()
{
    return WindowsBuild::run(
        {QStringLiteral("reg"), QStringLiteral("query"),
         QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VaroLauncher"),
         QStringLiteral("/v"), QStringLiteral("DisplayName")});
}

// "Готово к игре!" in the window, as its progress line in the log. Without
// such lines a synchronisation pass that fetched the list again and then
// downloaded nothing, followed by a quiet spell, stands in.
bool TestWholeLauncher::readyToPlay()
{
    const QString log = launcherLog();
    if (log.contains(QStringLiteral("[progress] Готово к игре!")))
        return true;
    if (log.contains(QLatin1String("[progress]")))
        return false;
    int lists = 0;
    int blocksAfter = 0;
    for (const QString &path : deployment.server()->requestedPaths()) {
        if (path == QLatin1String("/launcher_api/sync.lst.hash")) {
            ++lists;
            blocksAfter = 0;
        } else if (path.startsWith(QLatin1String("/pcgamefile/"))) {
            ++blocksAfter;
        }
    }
    if (lists < 2 || blocksAfter > 0 || !QFile::exists(appDir + QStringLiteral("/varo_launcher.bin"))) {
        quietSince = -1;
        return false;
    }
    if (quietSince < 0)
        quietSince = clock.elapsed();
    return clock.elapsed() - quietSince >= 2000;
}

bool TestWholeLauncher::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMs) {
        if (condition())
            return true;
        if (launcher.state() == QProcess::NotRunning)
            return condition();
        QTest::qWait(200);
    }
    return condition();
}

void TestWholeLauncher::joinStartsTheGameWithTheFirstServerAndExits()
{
    launcher.setProcessEnvironment(environment);
    launcher.setWorkingDirectory(appDir);
    launcher.setProcessChannelMode(QProcess::MergedChannels);
    launcher.setStandardOutputFile(logPath);
    WindowsBuild::start(launcher, appDir + QLatin1Char('/') + QFileInfo(GameTree::launcherPath()).fileName(), {});
    QVERIFY2(launcher.waitForStarted(10000), qPrintable(launcher.errorString()));

    QVERIFY2(waitFor([this] { return readyToPlay(); }, windows ? 180000 : 60000), qPrintable(launcherLog()));
    QCOMPARE(launcher.state(), QProcess::Running);
    screenshot(QStringLiteral("ready"));
    secondLauncherIsRefused();
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(launcher.state(), QProcess::Running);
    QCOMPARE(deployment.differenceFromPublished(), QString());
    QVERIFY2(!deployment.server()->requestedPaths().filter(QStringLiteral("/servers/monitoring?")).isEmpty(),
             "the servers' player counts were never asked for");

    // Published files carry no execute permission; the stand-in script needs it.
    const QString gameDir = appDir + QStringLiteral("/gtasa");
    const QString game = gameDir + QStringLiteral("/gta_sa.exe");
    QVERIFY(QFile::setPermissions(game, QFile::permissions(game) | QFileDevice::ExeOwner));
    const QString started = gameDir + QStringLiteral("/started.txt");

    const QString window = windowId();
    QVERIFY2(!window.isEmpty(), "no visible window named Varo Launcher");
    const QPoint origin = windowOrigin(window);
    QVERIFY(origin.x() >= 0);

    const auto typeNickname = [&](const QString &name) {
        click(origin + NicknameFieldCentre);
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+a"), QStringLiteral("BackSpace")});
        xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), name});
    };

    // Two letters are refused with a message (closed by the test hook): the
    // launcher stays and no game starts.
    typeNickname(QStringLiteral("Ab"));
    click(origin + JoinButtonCentre);
    QTest::qWait(1500);
    QCOMPARE(launcher.state(), QProcess::Running);
    QVERIFY(!QFile::exists(started));

    // Should the stand-in for the ready signal have come a little early, the
    // launcher answers "not ready yet" (closed by the hook) and stays: try
    // again a few times.
    typeNickname(QStringLiteral("Ivan_Petrov"));
    for (int attempt = 0; attempt < 5 && launcher.state() != QProcess::NotRunning; ++attempt) {
        click(origin + JoinButtonCentre);
        launcher.waitForFinished(3000);
    }
    QVERIFY2(launcher.state() == QProcess::NotRunning, qPrintable(launcherLog()));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);

    // The game runs on its own; it records how it was started.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 10000);
    QStringList lines = QString::fromUtf8(TestFiles::read(started)).split(QLatin1Char('\n'));
    lines.removeAll(QString());
    QVERIFY(!lines.isEmpty());
    if (windows) {
        // Exactly the game's command line, as Windows hands it over, and the
        // nickname in the multiplayer client's registry value.
        const QString windowsGameDir = WindowsBuild::windowsPath(gameDir);
        QCOMPARE(lines.value(0), QStringLiteral("cwd=") + windowsGameDir);
        // The game folder as the launcher names it, in Qt's form: the
        // separators stay mixed, as the command line is defined.
        QCOMPARE(lines.value(1),
                 QStringLiteral("cmdline=\"Z:%1\\gta_sa.exe\" -varo -c -n Ivan_Petrov -h %2 -p %3")
                     .arg(gameDir, FirstServerAddress, FirstServerPort));
        const QString value = WindowsBuild::run(
            {QStringLiteral("reg"), QStringLiteral("query"),
             QStringLiteral("HKCU\\Software\\" VARO_REGISTRY_VENDOR "\\CR-MP\\GenerationC"), QStringLiteral("/v"),
             QStringLiteral("player_name")});
        QVERIFY2(value.contains(QRegularExpression(QStringLiteral("player_name\\s+REG_SZ\\s+Ivan_Petrov"))),
                 qPrintable(value));
        return;
    }
    QVERIFY(lines.first().startsWith(QLatin1String("cwd=")));
    QCOMPARE(QFileInfo(lines.first().mid(4)).canonicalFilePath(), QFileInfo(gameDir).canonicalFilePath());
    QStringList arguments;
    for (const QString &line : lines.mid(1))
        arguments << (line.startsWith(QLatin1String("arg=")) ? line.mid(4) : QStringLiteral("?") + line);
    QCOMPARE(arguments,
             QStringList({QStringLiteral("-varo"), QStringLiteral("-c"), QStringLiteral("-n"),
                          QStringLiteral("Ivan_Petrov"), QStringLiteral("-h"), FirstServerAddress, QStringLiteral("-p"),
                          FirstServerPort}));

    // The nickname went where the multiplayer client reads it (on this
    // system a settings file standing in for its registry key).
    QDirIterator stores(root.filePath(QStringLiteral("home/.config")), {QStringLiteral("GenerationC.conf")},
                        QDir::Files, QDirIterator::Subdirectories);
    QVERIFY(stores.hasNext());
    QSettings client(stores.next(), QSettings::IniFormat);
    QCOMPARE(client.value(QStringLiteral("player_name")).toString(), QStringLiteral("Ivan_Petrov"));
}

// The self-update saves the installer as update_installer.exe next to the
// launcher and starts it without arguments while the launcher runs: it
// closes the launcher, replaces it, keeps the game folder and user.ini, and
// starts the new one. The uninstaller then takes the launcher away and
// leaves the game folder.
void TestWholeLauncher::installerUpdatesTheRunningLauncherThenUninstalls()
{
    if (!windows)
        QSKIP("the installer is a Windows program (the Windows setting runs it)");
    const QString program = appDir + QStringLiteral("/varo-launcher.exe");
    // An older launcher: the same program with an old time.
    const QDateTime old = QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC);
    {
        QFile file(program);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(old, QFileDevice::FileModificationTime));
    }
    QFile::remove(appDir + QStringLiteral("/gtasa/started.txt")); // the game's, from the test before
    QFile::remove(appDir + QStringLiteral("/varo_launcher.log"));
    QFile::remove(appDir + QStringLiteral("/varo_launcher.old.log"));
    launcher.setProcessEnvironment(environment);
    launcher.setWorkingDirectory(appDir);
    launcher.setProcessChannelMode(QProcess::MergedChannels);
    launcher.setStandardOutputFile(root.filePath(QStringLiteral("launcher-updated.out")));
    WindowsBuild::start(launcher, program, {});
    QVERIFY2(launcher.waitForStarted(10000), qPrintable(launcher.errorString()));
    quietSince = -1;
    if (!waitFor([this] { return readyToPlay(); }, 120000)) {
        screenshot(QStringLiteral("not-ready"));
        QFAIL(qPrintable(launcherLog()));
    }
    const QStringList cache = QDir(appDir + QStringLiteral("/cache")).entryList(QDir::Files);
    const auto game = GameTree::digest(appDir + QStringLiteral("/gtasa"));
    QVERIFY(QFile::exists(appDir + QStringLiteral("/user.ini")));

    const QString updater = appDir + QStringLiteral("/update_installer.exe");
    QVERIFY(QFile::copy(WindowsBuild::folder() + QStringLiteral("/VaroLauncherSetup.exe"), updater));
    QProcess update;
    update.setProcessEnvironment(environment);
    update.setWorkingDirectory(appDir);
    WindowsBuild::start(update, updater, {});
    QVERIFY2(update.waitForFinished(180000), "the update installer did not end");
    QVERIFY2(launcher.waitForFinished(30000), "the update installer did not close the running launcher");
    QVERIFY(QFileInfo(program).lastModified() != old);
    QCOMPARE(TestFiles::read(program), TestFiles::read(GameTree::launcherPath()));
    QCOMPARE(GameTree::difference(GameTree::digest(appDir + QStringLiteral("/gtasa")), game), QString());
    QVERIFY(QFile::exists(appDir + QStringLiteral("/user.ini")));
    QCOMPARE(QDir(appDir + QStringLiteral("/cache")).entryList(QDir::Files), cache);
    // The new launcher has started: it kept the old one's log as the
    // previous run's.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(appDir + QStringLiteral("/varo_launcher.old.log"))
                                 && !launcherLog().isEmpty(),
                             60000);
    screenshot(QStringLiteral("updated"));

    // The uninstaller closes that launcher too; the game folder stays.
    const QString output = runInstaller(appDir + QStringLiteral("/uninstall.exe"), QStringLiteral("/S _?="), appDir);
    QVERIFY2(!QFile::exists(program), qPrintable(output));
    QVERIFY(!QFileInfo::exists(appDir + QStringLiteral("/licenses")));
    QCOMPARE(GameTree::difference(GameTree::digest(appDir + QStringLiteral("/gtasa")), game), QString());
    QVERIFY2(!uninstallEntry().contains(QStringLiteral("Varo Launcher")), qPrintable(uninstallEntry()));
}

// The window closed while thousands of small files travel: the launcher
// drops every transfer on its way and exits normally, nothing of them left
// to reach what was freed.
void TestWholeLauncher::closedWhileManyFilesTravel()
{
    // A launcher an earlier test left running would hold the single instance.
    if (launcher.state() != QProcess::NotRunning) {
        launcher.kill();
        launcher.waitForFinished(10000);
    }
    for (int i = 0; i < 3000; ++i)
        QVERIFY(TestFiles::write(deployment.sourceDir() + QStringLiteral("/text/many%1/f%2.txt").arg(i % 30).arg(i),
                                 QByteArray::number(i)));
    QVERIFY(deployment.publish());
    appDir = root.filePath(QStringLiteral("closing"));
    QVERIFY(QDir().mkpath(appDir));
    const QString program = appDir + QLatin1Char('/') + QFileInfo(GameTree::launcherPath()).fileName();
    QVERIFY(QFile::copy(GameTree::launcherPath(), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner));
    launcher.setProcessEnvironment(environment);
    launcher.setWorkingDirectory(appDir);
    launcher.setStandardOutputFile(root.filePath(QStringLiteral("closing.out")));
    WindowsBuild::start(launcher, program, {});
    QVERIFY2(launcher.waitForStarted(10000), qPrintable(launcher.errorString()));
    QVERIFY2(waitFor([this] { return !deployment.blockRequests().filter(QStringLiteral("text/many")).isEmpty(); },
                     windows ? 180000 : 60000),
             qPrintable(launcherLog()));
    const QString window = windowId();
    QVERIFY2(!window.isEmpty(), "no visible window named Varo Launcher");
    click(windowOrigin(window) + CloseButtonCentre);
    QVERIFY2(launcher.waitForFinished(60000), qPrintable(launcherLog()));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY2(!GameTree::difference(GameTree::digest(appDir + QStringLiteral("/gtasa")),
                                   GameTree::expectedAfterSync(deployment.sourceDir()))
                  .isEmpty(),
             "closed only after the end");
}

QTEST_GUILESS_MAIN(TestWholeLauncher)
#include "tst_wholelauncher.moc"
