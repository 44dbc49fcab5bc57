#include "ModalCloser.h"

#include "app/MainWindow.h"
#include "app/MessageDialog.h"
#include "platform/AppPaths.h"
#include "platform/Platform.h"
#include "service/ProcessState.h"
#include "widgets/CustomLabel.h"
#include "widgets/ServerList.h"

#include "support/LabelPixmap.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

namespace {

const quint64 U64Max = std::numeric_limits<quint64>::max();

// The pixmap a label shows; a new render gives a new cache key.
qint64 shownPixmapKey(const QLabel *label)
{
    return shownPixmap(label).cacheKey();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void nicknameFromClientSettings_data();
    void nicknameFromClientSettings();
    void nicknameFieldAcceptsOnlyLatinLetters();
    void gameFolderCreated();
    void progressBarFill_data();
    void progressBarFill();
    void unchangedProgressTextsAreNotRedrawn();
    void readyStateEnablesJoin();
    void nestedOverlays();
    void windowDragging();
    void joinBeforeReadyIsRefused();
    // Last: an accepted join ends the running event loop.
    void join_data();
    void join();

private:
    // The launcher's folder of every window of these tests.
    AppPaths paths() const { return AppPaths(root.filePath(QStringLiteral("app"))); }

    QTemporaryDir root;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(root.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root.filePath(QStringLiteral("settings")));
    QVERIFY(QDir().mkpath(paths().appDir()));
    // Nothing in these tests may reach the network: the server monitoring
    // that a filled server slot starts goes to a closed local port.
    qputenv("VARO_MONITORING_URL", "http://127.0.0.1:9/servers/monitoring");
    qputenv("VARO_API_BASE", "http://127.0.0.1:9/launcher_api");
    qputenv("VARO_MIRROR_BASE", "http://127.0.0.1:9/");
}

void TestMainWindow::init()
{
    // Every window sets the process-wide exit request when it is destroyed;
    // each test starts like a fresh process.
    ProcessState::exitRequested.store(false);
}

void TestMainWindow::nicknameFromClientSettings_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");

    QTest::newRow("foreign characters and underscores at the ends")
        << QStringLiteral("__Ab-c 9__") << QStringLiteral("Abc");
    QTest::newRow("valid name unchanged") << QStringLiteral("Ivan_Petrov") << QStringLiteral("Ivan_Petrov");
    QTest::newRow("inner underscores kept") << QStringLiteral("_a__b_") << QStringLiteral("a__b");
    QTest::newRow("only underscores") << QStringLiteral("____") << QString();
    QTest::newRow("cyrillic only") << QStringLiteral("Иван") << QString();
    QTest::newRow("nothing stored") << QString() << QString();
    // Length is not checked here; joining refuses it later.
    QTest::newRow("longer than the field allows")
        << QStringLiteral("abcdefghijklmnopqrstuvwxyz") << QStringLiteral("abcdefghijklmnopqrstuvwxyz");
}

void TestMainWindow::nicknameFromClientSettings()
{
    QFETCH(QString, stored);
    QFETCH(QString, shown);

    Platform::setPlayerName(stored);
    MainWindow window(paths());
    QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("nicknameField"))->text(), shown);
}

void TestMainWindow::nicknameFieldAcceptsOnlyLatinLetters()
{
    Platform::setPlayerName(QString());
    MainWindow window(paths());
    auto *field = window.findChild<QLineEdit *>(QStringLiteral("nicknameField"));
    QTest::keyClicks(field, QStringLiteral("Ab-c 9_"));
    QKeyEvent cyrillic(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("д"));
    QCoreApplication::sendEvent(field, &cyrillic);
    QCOMPARE(field->text(), QStringLiteral("Abc_"));

    field->clear();
    QTest::keyClicks(field, QString(25, QLatin1Char('x')));
    QCOMPARE(field->text(), QString(20, QLatin1Char('x')));
}

void TestMainWindow::gameFolderCreated()
{
    QDir(paths().gameDir()).removeRecursively();
    MainWindow window(paths());
    QVERIFY(QDir(paths().gameDir()).exists());
}

void TestMainWindow::progressBarFill_data()
{
    QTest::addColumn<quint64>("current");
    QTest::addColumn<quint64>("maximum");
    QTest::addColumn<int>("fill");

    QTest::newRow("no maximum") << quint64(0) << quint64(0) << 0;
    QTest::newRow("no maximum, some progress") << quint64(5) << quint64(0) << 0;
    QTest::newRow("beyond the maximum") << quint64(200) << quint64(100) << 470;
    QTest::newRow("a third, rounded down") << quint64(1) << quint64(3) << 156;
    QTest::newRow("complete") << quint64(100) << quint64(100) << 470;
    QTest::newRow("just short of complete") << quint64(999) << quint64(1000) << 469;
    QTest::newRow("huge values") << U64Max << U64Max << 470;
    QTest::newRow("tiny share of a huge maximum") << quint64(1) << U64Max << 0;
}

void TestMainWindow::progressBarFill()
{
    QFETCH(quint64, current);
    QFETCH(quint64, maximum);
    QFETCH(int, fill);

    MainWindow window(paths());
    auto *layer = window.findChild<QLabel *>(QStringLiteral("progressBarLayer"));
    // Start from a different fill so that the call has to move the edge.
    window.syncerSetProgressState(1, 2);
    const QRect before = layer->geometry();

    window.syncerSetProgressState(current, maximum);
    const QRect after = layer->geometry();
    QCOMPARE(after.left(), before.left());
    QCOMPARE(after.top(), before.top());
    QCOMPARE(after.bottom(), before.bottom());
    QCOMPARE(after.right(), after.left() + fill);
}

void TestMainWindow::unchangedProgressTextsAreNotRedrawn()
{
    MainWindow window(paths());
    const QLabel *left = window.findChild<QLabel *>(QStringLiteral("progressBarState1"))->findChild<CustomLabel *>();
    const QLabel *right = window.findChild<QLabel *>(QStringLiteral("progressBarState2"))->findChild<CustomLabel *>();
    QVERIFY(left);
    QVERIFY(right);

    // The remembered texts start empty: empty texts change nothing, and the
    // loading text stays on screen.
    qint64 leftKey = shownPixmapKey(left);
    qint64 rightKey = shownPixmapKey(right);
    window.syncerSetProgressText(QString(), QString());
    QCOMPARE(shownPixmapKey(left), leftKey);
    QCOMPARE(shownPixmapKey(right), rightKey);

    window.syncerSetProgressText(QStringLiteral("Скачивание models/gta3.img"), QStringLiteral("1 МБ/с"));
    QVERIFY(shownPixmapKey(left) != leftKey);
    QVERIFY(shownPixmapKey(right) != rightKey);
    leftKey = shownPixmapKey(left);
    rightKey = shownPixmapKey(right);

    window.syncerSetProgressText(QStringLiteral("Скачивание models/gta3.img"), QStringLiteral("1 МБ/с"));
    QCOMPARE(shownPixmapKey(left), leftKey);
    QCOMPARE(shownPixmapKey(right), rightKey);

    window.syncerSetProgressText(QStringLiteral("Скачивание models/gta3.img"), QStringLiteral("2 МБ/с"));
    QCOMPARE(shownPixmapKey(left), leftKey);
    QVERIFY(shownPixmapKey(right) != rightKey);
}

void TestMainWindow::readyStateEnablesJoin()
{
    MainWindow window(paths());
    auto *join = window.findChild<QPushButton *>(QStringLiteral("btnJoinGame"));
    auto *layer = window.findChild<QLabel *>(QStringLiteral("progressBarLayer"));
    QVERIFY(!join->isEnabled());
    QVERIFY(!window.isGameReady());

    // A run that did not end well leaves everything as it was.
    window.syncerFinish(false);
    QVERIFY(!join->isEnabled());
    QVERIFY(!window.isGameReady());

    window.syncerFinish(true);
    QVERIFY(join->isEnabled());
    QVERIFY(window.isGameReady());
    QCOMPARE(layer->geometry().right(), layer->geometry().left() + MainWindow::ProgressBarWidth);
}

void TestMainWindow::nestedOverlays()
{
    MainWindow window(paths());
    window.show();
    auto *overlay = window.findChild<QWidget *>(QStringLiteral("overlayWidget"));
    QVERIFY(overlay->isHidden());
    QCOMPARE(overlay->size(), QSize(900, 500));

    // A dialog over another one (the settings dialog's own messages): the
    // overlay stays until the outer one closes too.
    window.setOverlay(true);
    QVERIFY(!overlay->isHidden());

    int depthWhileOpen = -1;
    bool shownWhileOpen = false;
    ModalCloser closer([&](QDialog *) {
        depthWhileOpen = window.overlayDepth();
        shownWhileOpen = !overlay->isHidden();
        return 1;
    });
    QCOMPARE(MessageDialog::showMessage(&window, MessageDialog::Warning, QStringLiteral("inner")), 1);
    QCOMPARE(depthWhileOpen, 2);
    QVERIFY(shownWhileOpen);
    QCOMPARE(window.overlayDepth(), 1);
    QVERIFY(!overlay->isHidden());

    window.setOverlay(false);
    QCOMPARE(window.overlayDepth(), 0);
    QVERIFY(overlay->isHidden());
}

void TestMainWindow::windowDragging()
{
    MainWindow window(paths());
    window.show();
    window.move(100, 100);

    const auto send = [&window](QEvent::Type type, const QPointF &local, const QPointF &screen, Qt::MouseButton button,
                                Qt::MouseButtons buttons) {
        QMouseEvent event(type, local, local, screen, button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(&window, &event);
    };
    // Halves round upward: the grip is (11, 20) inside the window.
    send(QEvent::MouseButtonPress, QPointF(10.5, 20.4), QPointF(110.5, 120.4), Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, QPointF(10.5, 20.4), QPointF(300.5, -49.5), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window.pos(), QPoint(301 - 11, -49 - 20));
    send(QEvent::MouseButtonRelease, QPointF(10.5, 20.4), QPointF(300.5, -49.5), Qt::LeftButton, Qt::NoButton);

    // After the release, moves no longer drag the window.
    send(QEvent::MouseMove, QPointF(1, 1), QPointF(500, 500), Qt::NoButton, Qt::NoButton);
    QCOMPARE(window.pos(), QPoint(290, -69));
}

void TestMainWindow::joinBeforeReadyIsRefused()
{
    Platform::setPlayerName(QStringLiteral("Ivan_Petrov"));
    MainWindow window(paths());
    window.show();
    ModalCloser closer;
    window.btnJoinGameClick(false);
    QCOMPARE(closer.messages, QStringList{QStringLiteral("Игра ещё не готова. Пожалуйста, подождите.")});
    QVERIFY(window.isVisible());
    QVERIFY(!ProcessState::isExitRequested());
}

void TestMainWindow::join_data()
{
    QTest::addColumn<QString>("nickname");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("2 characters") << QStringLiteral("ab") << false;
    QTest::newRow("21 characters") << QString(21, QLatin1Char('a')) << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("3 characters") << QStringLiteral("abc") << true;
    QTest::newRow("20 characters") << QStringLiteral("Abcdefghij_Klmnopqrs") << true;
}

void TestMainWindow::join()
{
    QFETCH(QString, nickname);
    QFETCH(bool, accepted);

    Platform::setPlayerName(QString());
    MainWindow window(paths());
    window.show();
    window.syncerFinish(true);
    window.findChild<ServerList *>()->addElement(QStringLiteral("01"), QStringLiteral("10.0.0.1"), 7777);
    // Set directly: the field's validator would not let 21 characters in,
    // but a stored nickname can be that long.
    window.findChild<QLineEdit *>(QStringLiteral("nicknameField"))->setText(nickname);

#ifndef Q_OS_WIN
    // A stand-in for the game that writes down how it was started.
    const QString game = paths().gameDir() + QStringLiteral("/gta_sa.exe");
    const QString record = paths().gameDir() + QStringLiteral("/started.txt");
    QFile::remove(record);
    QFile script(game);
    QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$PWD/started.txt.part\"\n"
                 "mv \"$PWD/started.txt.part\" \"$PWD/started.txt\"\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
#endif

    ModalCloser closer;
    if (!accepted) {
        window.btnJoinGameClick(false);
        QCOMPARE(closer.messages, QStringList{QStringLiteral("Укажите никнейм от 3 до 20 символов")});
        QVERIFY(window.isVisible());
        QVERIFY(!ProcessState::isExitRequested());
        QCOMPARE(Platform::playerName(), QString());
        return;
    }

    // The accepted join asks the application's event loop to quit.
    bool quitInTime = true;
    QTimer::singleShot(0, &window, [&window] { window.btnJoinGameClick(false); });
    QTimer::singleShot(10000, &window, [&quitInTime] {
        quitInTime = false;
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    QVERIFY(quitInTime);
    QVERIFY(closer.messages.isEmpty());
    QVERIFY(!window.isVisible());
    QVERIFY(ProcessState::isExitRequested());
    QCOMPARE(Platform::playerName(), nickname);
#ifndef Q_OS_WIN
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
    QFile started(record);
    QVERIFY(started.open(QIODevice::ReadOnly));
    QStringList arguments = QString::fromUtf8(started.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(arguments.takeLast(), QString()); // after the last line end
    QCOMPARE(arguments,
             (QStringList{QStringLiteral("-varo"), QStringLiteral("-c"), QStringLiteral("-n"), nickname,
                          QStringLiteral("-h"), QStringLiteral("10.0.0.1"), QStringLiteral("-p"),
                          QStringLiteral("7777")}));
#endif
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
