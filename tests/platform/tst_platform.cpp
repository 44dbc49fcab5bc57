#include "platform/AppPaths.h"
#include "platform/Platform.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <thread>

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void appDirectoryDerivesEveryPath();
    void singleInstanceLockIsExclusiveAndDiesWithItsProcess();
    void freeBytesOverrideAndRealFigure();
    void playerNameRoundTrip();
    void tickCountIsMonotonic();
    void replaceFileSwapsContentInOneStep();
    void fileHeldOpenIsWaitedForThenReportedInUse();
    void messageBoxGoesToHandler();
    void startDetachedRunsInItsFolderWithItsArguments();

private:
    QTemporaryDir scratch;
};

void TestPlatform::initTestCase()
{
    QVERIFY(scratch.isValid());
    // Keep the client's settings store inside the scratch folder.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch.path());
    qputenv("XDG_RUNTIME_DIR", scratch.path().toLocal8Bit());
}

void TestPlatform::appDirectoryDerivesEveryPath()
{
    QCOMPARE(AppPaths::ofExecutable().appDir(), QCoreApplication::applicationDirPath());

    const AppPaths paths(scratch.path() + QStringLiteral("/x/../app/"));
    const QString app = scratch.path() + QStringLiteral("/app");
    QCOMPARE(paths.appDir(), app);
    QCOMPARE(paths.gameDir(), app + QStringLiteral("/gtasa"));
    QCOMPARE(paths.userIni(), app + QStringLiteral("/user.ini"));
    QCOMPARE(paths.syncState(), app + QStringLiteral("/varo_launcher.bin"));
    QCOMPARE(paths.serversCache(), app + QStringLiteral("/varo_servers.bin"));
    QCOMPARE(paths.updateInstaller(), app + QStringLiteral("/update_installer.exe"));
}

void TestPlatform::singleInstanceLockIsExclusiveAndDiesWithItsProcess()
{
    const QString name = QStringLiteral("Mutex: Varo Launcher test %1").arg(QCoreApplication::applicationPid());
#ifdef Q_OS_WIN
    // The named mutex; that it goes with a killed process is shown with the
    // launcher itself (app.singleinstance).
    QCOMPARE(Platform::isFirstInstance(name), true);
    QCOMPARE(Platform::isFirstInstance(name), false);
    return;
#endif
    // A child process takes the lock and is then killed outright.
    QProcess holder;
    holder.start(QStringLiteral("flock"),
                 {QStringLiteral("-n"), QStringLiteral("-o"),
                  scratch.path() + QLatin1Char('/')
                      + QString(name).replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")), QStringLiteral("_"))
                      + QStringLiteral(".lock"),
                  QStringLiteral("sleep"), QStringLiteral("60")});
    QVERIFY(holder.waitForStarted());
    QTest::qWait(300);
    QCOMPARE(Platform::isFirstInstance(name), false);
    holder.kill();
    QVERIFY(holder.waitForFinished());

    QCOMPARE(Platform::isFirstInstance(name), true);
    // Held by this process now: a second take in the same process fails too.
    QCOMPARE(Platform::isFirstInstance(name), false);
}

void TestPlatform::freeBytesOverrideAndRealFigure()
{
    quint64 bytes = 0;
    QVERIFY(Platform::freeBytes(scratch.path(), &bytes));
    QVERIFY(bytes > 0);

    Platform::setFreeBytesOverride(123456);
    QVERIFY(Platform::freeBytes(scratch.path(), &bytes));
    QCOMPARE(bytes, quint64(123456));
    Platform::setFreeBytesOverride(-1);

    QVERIFY(!Platform::freeBytes(scratch.path() + QStringLiteral("/does/not/exist"), &bytes));
}

void TestPlatform::playerNameRoundTrip()
{
    QCOMPARE(Platform::playerName(), QString());
    Platform::setPlayerName(QStringLiteral("Ivan_Petrov"));
    QCOMPARE(Platform::playerName(), QStringLiteral("Ivan_Petrov"));
}

void TestPlatform::tickCountIsMonotonic()
{
    // The count may move in coarse steps (Windows ticks every 10 to 16 ms,
    // and under wine only when its server gets to run), so it has to reach
    // 50 ms some time after 50 ms have passed, not at once.
    const quint32 first = Platform::tickCount();
    QTest::qSleep(50);
    QTRY_VERIFY_WITH_TIMEOUT(quint32(Platform::tickCount() - first) >= 50, 2000);
    QVERIFY(quint32(Platform::tickCount() - first) < 5000);
}

void TestPlatform::replaceFileSwapsContentInOneStep()
{
    const QString target = scratch.filePath(QStringLiteral("target.bin"));
    const QString fresh = scratch.filePath(QStringLiteral("target.bin.tmp"));
    for (const auto &[path, content] : {std::pair{target, QByteArray("old")}, std::pair{fresh, QByteArray("new")}}) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QVERIFY(Platform::replaceFile(fresh, target));
    QFile f(target);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("new"));
    QVERIFY(!QFile::exists(fresh));
    QVERIFY(!Platform::replaceFile(fresh, target));
}

void TestPlatform::fileHeldOpenIsWaitedForThenReportedInUse()
{
#ifndef Q_OS_WIN
    QSKIP("only Windows refuses to replace a file that another program holds open");
#else
    const QString target = scratch.filePath(QStringLiteral("held.bin"));
    const QString fresh = scratch.filePath(QStringLiteral("held.bin.tmp"));
    QVERIFY(TestFiles::write(target, "old"));
    QVERIFY(TestFiles::write(fresh, "new"));

    // Held for a moment, as a virus scanner does: the replace waits for it.
    QFile holder(target);
    QVERIFY(holder.open(QIODevice::ReadOnly));
    std::thread release([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        holder.close();
    });
    const bool replaced = Platform::replaceFile(fresh, target);
    release.join();
    QVERIFY(replaced);
    QCOMPARE(TestFiles::read(target), QByteArray("new"));

    // Held throughout, as the running game does: reported in use, nothing lost.
    QVERIFY(TestFiles::write(fresh, "newer"));
    QVERIFY(holder.open(QIODevice::ReadOnly));
    Platform::FileFault fault = Platform::FileFault::None;
    QVERIFY(!Platform::replaceFile(fresh, target, &fault));
    QCOMPARE(int(fault), int(Platform::FileFault::InUse));
    fault = Platform::FileFault::None;
    QVERIFY(!Platform::removeFile(target, &fault));
    QCOMPARE(int(fault), int(Platform::FileFault::InUse));
    holder.close();
    QCOMPARE(TestFiles::read(target), QByteArray("new"));
    QCOMPARE(TestFiles::read(fresh), QByteArray("newer"));
#endif
}

void TestPlatform::messageBoxGoesToHandler()
{
    QStringList seen;
    Platform::setMessageBoxHandler(
        [&seen](const QString &caption, const QString &text) { seen << caption + QLatin1Char('|') + text; });
    Platform::systemMessageBox(QStringLiteral("test"), QStringLiteral("fail 1"));
    Platform::setMessageBoxHandler(nullptr);
    QCOMPARE(seen, QStringList{QStringLiteral("test|fail 1")});
}

void TestPlatform::startDetachedRunsInItsFolderWithItsArguments()
{
#ifdef Q_OS_WIN
    QSKIP("the Windows side starts through QProcess");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("game folder"));
    QVERIFY(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/run me.sh");
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    // Writes its folder, its session leadership and its arguments one a line.
    // (The session is the fourth field behind the command's name in /proc.)
    script.write("#!/bin/sh\n{ pwd; [ \"$(sed 's/.*) //' /proc/$$/stat | cut -d' ' -f4)\" = \"$$\" ] && echo leader; "
                 "printf '%s\\n' \"$@\"; } > record.part && mv record.part record\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));

    const QStringList arguments{QStringLiteral("-n"), QStringLiteral("Ivan Petrov"), QString(), QStringLiteral("ü")};
    QVERIFY(Platform::startDetached(program, arguments, folder));
    const QString record = folder + QStringLiteral("/record");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
    QFile written(record);
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(written.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(lines.mid(0, 2), (QStringList{QDir(folder).canonicalPath(), QStringLiteral("leader")}));
    QCOMPARE(lines.mid(2, 4), arguments);

    QVERIFY(!Platform::startDetached(dir.filePath(QStringLiteral("missing")), {}, folder));
    QVERIFY(!Platform::startDetached(program, {}, dir.filePath(QStringLiteral("no such folder"))));
#endif
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
