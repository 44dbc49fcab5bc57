// Runs the launcher executable itself: only one may run per logon, a second
// one shows its error and exits with 0, and the lock goes with the process
// however it ends.

#include "support/GameTree.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void secondLauncherIsRefusedUntilTheFirstIsGone();

private:
    // A copy of the launcher in a folder of its own (the launcher keeps its
    // files and the game folder next to itself).
    QString installCopy(const QString &folder);
    void start(QProcess &process, const QString &program);

    QTemporaryDir root;
    QProcessEnvironment environment;
};

void TestSingleInstance::initTestCase()
{
    QVERIFY(root.isValid());
    if (!QFile::exists(GameTree::launcherPath()))
        QSKIP("the launcher executable has not been built");

    // A private runtime folder (where the lock lives) and home, so that
    // parallel test runs and the user's own launcher do not interfere; all
    // addresses go to a closed local port, so nothing is contacted.
    const QString runtime = root.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("HOME"), root.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("home/.config")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("VARO_API_BASE"), QStringLiteral("http://127.0.0.1:9/launcher_api"));
    environment.insert(QStringLiteral("VARO_MIRROR_BASE"), QStringLiteral("http://127.0.0.1:9/"));
    environment.insert(QStringLiteral("VARO_MONITORING_URL"), QStringLiteral("http://127.0.0.1:9/servers/monitoring"));
    environment.insert(QStringLiteral("VARO_TEST_AUTOCLOSE_DIALOGS_MS"), QStringLiteral("100"));
}

QString TestSingleInstance::installCopy(const QString &folder)
{
    const QString dir = root.filePath(folder);
    const QString program = dir + QLatin1Char('/') + QFileInfo(GameTree::launcherPath()).fileName();
    if (!QDir().mkpath(dir) || !QFile::copy(GameTree::launcherPath(), program))
        return QString();
    QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner);
    return program;
}

void TestSingleInstance::start(QProcess &process, const QString &program)
{
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QFileInfo(program).path());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, QStringList());
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
}

void TestSingleInstance::secondLauncherIsRefusedUntilTheFirstIsGone()
{
    const QString first = installCopy(QStringLiteral("first"));
    const QString second = installCopy(QStringLiteral("second"));
    QVERIFY(!first.isEmpty());
    QVERIFY(!second.isEmpty());
    const QString firstGameDir = QFileInfo(first).path() + QStringLiteral("/gtasa");
    const QString secondGameDir = QFileInfo(second).path() + QStringLiteral("/gtasa");

    // The first launcher creates its window (and with it the game folder)
    // only after it has taken the lock.
    QProcess running;
    start(running, first);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(firstGameDir).exists(), 60000);
    QCOMPARE(running.state(), QProcess::Running);

    // Another launcher: the error message (closed by the test hook), no
    // window, exit code 0; the first one goes on.
    QProcess refused;
    start(refused, second);
    QVERIFY(refused.waitForFinished(60000));
    QCOMPARE(refused.exitStatus(), QProcess::NormalExit);
    QCOMPARE(refused.exitCode(), 0);
    QVERIFY(!QDir(secondGameDir).exists());
    QCOMPARE(running.state(), QProcess::Running);

    // Killed, the first launcher leaves no lock behind.
    running.kill();
    QVERIFY(running.waitForFinished(30000));

    QProcess next;
    start(next, second);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(secondGameDir).exists(), 60000);
    QTest::qWait(500);
    QCOMPARE(next.state(), QProcess::Running);
    next.kill();
    QVERIFY(next.waitForFinished(30000));
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
