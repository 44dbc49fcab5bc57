#include "ModalCloser.h"

#include "app/GameSettings.h"
#include "app/MainWindow.h"
#include "app/SettingsDialog.h"
#include "platform/AppPaths.h"
#include "platform/Platform.h"
#include "service/ProcessState.h"
#include "support/TestHttpServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void repairRefusedWhileNotReady();
    void repairDeletesCachesAndSynchronisesAgain();
    void repairAfterARunThatEndedUnready();
    void saveWritesSettings_data();
    void saveWritesSettings();

private:
    QStringList repairFiles(MainWindow &window) const;
    static bool createFile(const QString &path);
    // The launcher's folder of every window of these tests.
    AppPaths paths() const { return AppPaths(root.filePath(QStringLiteral("app"))); }

    QTemporaryDir root;
};

void TestSettingsDialog::initTestCase()
{
    QVERIFY(root.isValid());
    // The game's per-user folder lies in the documents folder of this home.
    qputenv("HOME", root.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("config")).toUtf8());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root.filePath(QStringLiteral("settings")));
    QVERIFY(QDir().mkpath(paths().appDir()));
    // The synchronisation that the repair starts finds no sync list (a
    // closed local port) and ends at once.
    qputenv("VARO_API_BASE", "http://127.0.0.1:9/launcher_api");
    qputenv("VARO_MIRROR_BASE", "http://127.0.0.1:9/");
    qputenv("VARO_MONITORING_URL", "http://127.0.0.1:9/servers/monitoring");
}

void TestSettingsDialog::init()
{
    // Every window sets the process-wide exit request when it is destroyed;
    // each test starts like a fresh process.
    ProcessState::exitRequested.store(false);
    QFile::remove(GameSettings().configPath());
}

bool TestSettingsDialog::createFile(const QString &path)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

QStringList TestSettingsDialog::repairFiles(MainWindow &window) const
{
    return {window.settings().settingsPath(), paths().syncState(), paths().compressedCache()};
}

void TestSettingsDialog::repairRefusedWhileNotReady()
{
    MainWindow window(paths());
    window.show();
    QVERIFY(!window.settings().settingsPath().isEmpty());
    for (const QString &file : repairFiles(window))
        QVERIFY2(createFile(file), qPrintable(file));

    SettingsDialog dialog(&window);
    dialog.show();
    ModalCloser closer;
    QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("removeCache")), Qt::LeftButton);

    QCOMPARE(closer.messages, QStringList{QStringLiteral("Дождитесь окончания загрузки!")});
    for (const QString &file : repairFiles(window))
        QVERIFY2(QFile::exists(file), qPrintable(file));
    QVERIFY(!window.isSynchronising());
    QCOMPARE(window.overlayDepth(), 0);
}

void TestSettingsDialog::repairDeletesCachesAndSynchronisesAgain()
{
    MainWindow window(paths());
    window.show();
    window.syncerFinish(true);
    QVERIFY(window.isGameReady());
    for (const QString &file : repairFiles(window))
        QVERIFY2(createFile(file), qPrintable(file));
    auto *join = window.findChild<QPushButton *>(QStringLiteral("btnJoinGame"));
    QVERIFY(join->isEnabled());

    SettingsDialog dialog(&window);
    dialog.show();
    auto *repair = dialog.findChild<QPushButton *>(QStringLiteral("removeCache"));
    ModalCloser closer;
    QTest::mouseClick(repair, Qt::LeftButton);

    QCOMPARE(closer.messages, QStringList{QStringLiteral("Кэш-файлы и настройки успешно удалены!")});
    for (const QString &file : repairFiles(window))
        QVERIFY2(!QFile::exists(file), qPrintable(file));
    // Back to synchronising: joining is impossible until the new run ends.
    QVERIFY(!window.isGameReady());
    QVERIFY(!join->isEnabled());
    QVERIFY(window.isSynchronising());

    // A second press while that run goes on is refused.
    // (The run's end reaches the window only through its event loop, which
    // has not run since the first press.)
    QTest::mouseClick(repair, Qt::LeftButton);
    QCOMPARE(closer.messages.size(), 2);
    QCOMPARE(closer.messages.last(), QStringLiteral("Дождитесь окончания загрузки!"));

    // Without a sync list the run ends with the files taken as they are.
    QTRY_VERIFY_WITH_TIMEOUT(window.isGameReady(), 60000);
    QVERIFY(join->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!window.isSynchronising(), 10000);
    QCOMPARE(window.overlayDepth(), 0);

    // Repair again once ready, and close the window while that run is busy:
    // the window's teardown waits for the worker.
    QTest::mouseClick(repair, Qt::LeftButton);
    QVERIFY(window.isSynchronising());
}

// A run that ends without the game ready (here: no room for the download;
// likewise files it could not store) leaves joining off; a repair may start
// a new one.
void TestSettingsDialog::repairAfterARunThatEndedUnready()
{
    TestHttpServer server;
    const QByteArray list("[directories]\n\n[entries]\na.txt a.txt file 1 9dd4e461268c8034f5c8564e155c67a6\n");
    server.setReply(QStringLiteral("/launcher_api/sync.lst"), TestHttpServer::Reply::ok(list));
    server.setReply(QStringLiteral("/launcher_api/sync.lst.hash"),
                    TestHttpServer::Reply::ok(QCryptographicHash::hash(list, QCryptographicHash::Md5).toHex()));
    qputenv("VARO_API_BASE", server.url(QStringLiteral("/launcher_api")).toUtf8());
    Platform::setFreeBytesOverride(0);
    MainWindow window(paths());
    window.show();
    window.loadFinish();
    QTRY_VERIFY_WITH_TIMEOUT(window.hasSyncEnded(), 30000);
    QVERIFY(!window.isGameReady());

    SettingsDialog dialog(&window);
    dialog.show();
    ModalCloser closer;
    QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("removeCache")), Qt::LeftButton);
    QCOMPARE(closer.messages, QStringList{QStringLiteral("Кэш-файлы и настройки успешно удалены!")});
    QVERIFY(window.isSynchronising());
    Platform::setFreeBytesOverride(-1);
    qputenv("VARO_API_BASE", "http://127.0.0.1:9/launcher_api");
}

void TestSettingsDialog::saveWritesSettings_data()
{
    QTest::addColumn<bool>("save");
    QTest::newRow("Сохранить") << true;
    QTest::newRow("Escape") << false;
}

void TestSettingsDialog::saveWritesSettings()
{
    QFETCH(bool, save);

    MainWindow window(paths());
    window.show();
    window.settings().setInt(QStringLiteral("fps"), 60);
    const QString config = window.settings().configPath();
    QVERIFY(QDir().mkpath(QFileInfo(config).path()));

    int overlayWhileOpen = -1;
    ModalCloser closer([&](QDialog *dialog) {
        overlayWhileOpen = window.overlayDepth();
        if (save)
            QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("btnOk")), Qt::LeftButton);
        else
            QTest::keyClick(dialog, Qt::Key_Escape);
        return -1;
    });
    window.btnSettingsClick();

    QCOMPARE(closer.dialogsSeen, 1);
    QCOMPARE(overlayWhileOpen, 1);
    QCOMPARE(window.overlayDepth(), 0);
    QCOMPARE(QFile::exists(config), save);
    if (save) {
        QFile file(config);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        QCOMPARE(file.readAll(), QByteArray("fps=60\n"));
    }
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
