#include "app/GameStarter.h"
#include "platform/Platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestGameStarter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLine_data();
    void commandLine();
    void portableStart_data();
    void portableStart();
    void startFinishedWithoutExecutable();
#ifndef Q_OS_WIN
    void gameStartsWithNicknameAlreadyStored_data();
    void gameStartsWithNicknameAlreadyStored();
#endif

private:
    QTemporaryDir root;
};

namespace {

GameStarter *makeStarter(QObject *parent, const QString &gameDir, const QString &nickname, const QString &host,
                         const QString &port)
{
    auto *starter = new GameStarter(parent);
    starter->setGameDir(gameDir);
    starter->setNickname(nickname);
    starter->setHost(host);
    starter->setPort(port);
    return starter;
}

} // namespace

void TestGameStarter::initTestCase()
{
    QVERIFY(root.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root.filePath(QStringLiteral("settings")));
}

void TestGameStarter::commandLine_data()
{
    QTest::addColumn<QString>("gameDir");
    QTest::addColumn<QString>("nickname");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("client");
    QTest::addColumn<QString>("expected");

    QTest::newRow("game") << "D:/Games/Varo/gtasa"
                          << "Ivan_Petrov"
                          << "10.0.0.1"
                          << "7777" << false
                          << "\"D:/Games/Varo/gtasa\\gta_sa.exe\" -varo -c -n Ivan_Petrov -h 10.0.0.1 -p 7777";
    QTest::newRow("client program") << "D:/Games/Varo/gtasa"
                                    << "Ivan_Petrov"
                                    << "10.0.0.1"
                                    << "7777" << true
                                    << "\"D:/Games/Varo/gtasa\\bin\\release\\varo.exe\" -kemT5092417 -c -n "
                                       "Ivan_Petrov -h 10.0.0.1 -p 7777";
    QTest::newRow("spaces in the folder, blanks in the nickname")
        << "C:/Program Files/Varo Online/gtasa"
        << "  Ivan \t  Petrov \n"
        << "play.example"
        << "7777" << false
        << "\"C:/Program Files/Varo Online/gtasa\\gta_sa.exe\" -varo -c -n Ivan Petrov -h play.example -p 7777";
    QTest::newRow("no server loaded") << "D:/g"
                                      << "abc"
                                      << ""
                                      << "0" << false << "\"D:/g\\gta_sa.exe\" -varo -c -n abc -h  -p 0";
    QTest::newRow("placeholders in the values are not expanded")
        << "D:/g"
        << "a%2b"
        << "%3.example"
        << "1" << false << "\"D:/g\\gta_sa.exe\" -varo -c -n a%2b -h %3.example -p 1";
}

void TestGameStarter::commandLine()
{
    QFETCH(QString, gameDir);
    QFETCH(QString, nickname);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(bool, client);
    QFETCH(QString, expected);

    QScopedPointer<GameStarter> starter(makeStarter(nullptr, gameDir, nickname, host, port));
    QCOMPARE(starter->commandLine(client), expected);
}

void TestGameStarter::portableStart_data()
{
    QTest::addColumn<bool>("client");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");

    const QString nick = QStringLiteral("Ivan Petrov");
    QTest::newRow("game") << false << "/home/p/Varo Online/gtasa/gta_sa.exe"
                          << QStringList{"-varo", "-c", "-n", nick, "-h", "10.0.0.1", "-p", "7777"};
    QTest::newRow("client program") << true << "/home/p/Varo Online/gtasa/bin/release/varo.exe"
                                    << QStringList{"-kemT5092417", "-c", "-n", nick, "-h", "10.0.0.1", "-p", "7777"};
}

void TestGameStarter::portableStart()
{
    QFETCH(bool, client);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);

    QScopedPointer<GameStarter> starter(makeStarter(nullptr, QStringLiteral("/home/p/Varo Online/gtasa"),
                                                    QStringLiteral(" Ivan   Petrov "), QStringLiteral("10.0.0.1"),
                                                    QStringLiteral("7777")));
    QCOMPARE(starter->program(client), program);
    // The nickname stays one argument, with its blanks collapsed.
    QCOMPARE(starter->arguments(client), arguments);
}

void TestGameStarter::startFinishedWithoutExecutable()
{
    const QString emptyGameDir = root.filePath(QStringLiteral("empty/gtasa"));
    QVERIFY(QDir().mkpath(emptyGameDir));
    for (bool client : {false, true}) {
        Platform::setPlayerName(QString());
        QScopedPointer<GameStarter> starter(makeStarter(nullptr, emptyGameDir, QStringLiteral(" Ivan  Petrov"),
                                                        QStringLiteral("10.0.0.1"), QStringLiteral("7777")));
        QSignalSpy finished(starter.data(), &GameStarter::startFinished);
        starter->start(client);
        // Reported at once (the window closes the launcher from it), and the
        // nickname is stored as typed even though nothing could start.
        QCOMPARE(finished.count(), 1);
        QCOMPARE(Platform::playerName(), QStringLiteral(" Ivan  Petrov"));
    }
}

#ifndef Q_OS_WIN
void TestGameStarter::gameStartsWithNicknameAlreadyStored_data()
{
    QTest::addColumn<bool>("client");
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("workingDir");
    QTest::addColumn<QString>("firstSwitch");

    QTest::newRow("game") << false << "gta_sa.exe"
                          << ""
                          << "-varo";
    QTest::newRow("client program") << true << "bin/release/varo.exe"
                                    << "bin/release"
                                    << "-kemT5092417";
}

void TestGameStarter::gameStartsWithNicknameAlreadyStored()
{
    QFETCH(bool, client);
    QFETCH(QString, executable);
    QFETCH(QString, workingDir);
    QFETCH(QString, firstSwitch);

    // A game folder whose path has spaces, with a stand-in for the game that
    // records its working folder, its arguments and the stored nickname.
    const QString gameDir = root.filePath(QStringLiteral("Varo Online %1/gtasa").arg(client ? 1 : 0));
    const QString program = gameDir + QLatin1Char('/') + executable;
    QVERIFY(QDir().mkpath(QFileInfo(program).path()));
    // Where the client's settings value lives (the registry on Windows):
    // the one settings file that storing a nickname leaves behind.
    Platform::setPlayerName(QStringLiteral("old"));
    QStringList settingsFiles;
    QDirIterator it(root.filePath(QStringLiteral("settings")), QStringList{QStringLiteral("*.conf")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        settingsFiles << it.next();
    QCOMPARE(settingsFiles.size(), 1);
    const QString settingsFile = settingsFiles.first();
    const QString record = root.filePath(QStringLiteral("started-%1.txt").arg(client ? 1 : 0));
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\n"
                                "{ pwd; printf '%s\\n' \"$@\"; grep player_name '%1'; } > '%2.part'\n"
                                "mv '%2.part' '%2'\n")
                     .arg(settingsFile, record)
                     .toUtf8());
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));

    QScopedPointer<GameStarter> starter(makeStarter(nullptr, gameDir, QStringLiteral("Ivan  Petrov "),
                                                    QStringLiteral("10.0.0.1"), QStringLiteral("7777")));
    QSignalSpy finished(starter.data(), &GameStarter::startFinished);
    starter->start(client);
    QCOMPARE(finished.count(), 1);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
    QFile started(record);
    QVERIFY(started.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(started.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    const QString expectedDir = workingDir.isEmpty() ? gameDir : gameDir + QLatin1Char('/') + workingDir;
    QCOMPARE(QFileInfo(lines.takeFirst()).canonicalFilePath(), QFileInfo(expectedDir).canonicalFilePath());
    // The nickname as typed was on disk before the game started.
    QVERIFY2(lines.takeLast().contains(QLatin1String("Ivan  Petrov ")), qPrintable(lines.join(QLatin1Char('|'))));
    QCOMPARE(lines,
             (QStringList{firstSwitch, QStringLiteral("-c"), QStringLiteral("-n"), QStringLiteral("Ivan Petrov"),
                          QStringLiteral("-h"), QStringLiteral("10.0.0.1"), QStringLiteral("-p"),
                          QStringLiteral("7777")}));
}
#endif

QTEST_MAIN(TestGameStarter)
#include "tst_gamestarter.moc"
