#include "app/GameStarter.h"

#include "platform/Platform.h"

namespace {

// The client program's fixed access switch, passed verbatim.
const char ClientAccessSwitch[] = "-kemT5092417";

} // namespace

GameStarter::GameStarter(QObject *parent)
    : QObject(parent)
{
}

void GameStarter::setGameDir(const QString &dir)
{
    gameDir = dir;
}

void GameStarter::setNickname(const QString &name)
{
    nickname = name;
}

void GameStarter::setHost(const QString &address)
{
    host = address;
}

void GameStarter::setPort(const QString &number)
{
    port = number;
}

QString GameStarter::commandLineNickname() const
{
    return nickname.simplified();
}

QString GameStarter::commandLine(bool clientVariant) const
{
    const QString executable = clientVariant ? QStringLiteral("\\bin\\release\\varo.exe")
                                             : QStringLiteral("\\gta_sa.exe");
    const QString switches = clientVariant ? QLatin1String(ClientAccessSwitch) + QStringLiteral(" -c -n %1 -h %2 -p %3")
                                           : QStringLiteral("-varo -c -n %1 -h %2 -p %3");
    // One substitution pass: a host or nickname that itself contains "%2"
    // is put in as it is instead of being expanded again.
    const QString arguments = switches.arg(commandLineNickname(), host, port);
    return QLatin1Char('"') + gameDir + executable + QStringLiteral("\" ") + arguments;
}

QString GameStarter::program(bool clientVariant) const
{
    return gameDir + (clientVariant ? QStringLiteral("/bin/release/varo.exe") : QStringLiteral("/gta_sa.exe"));
}

QStringList GameStarter::arguments(bool clientVariant) const
{
    QStringList list;
    if (clientVariant)
        list << QLatin1String(ClientAccessSwitch);
    else
        list << QStringLiteral("-varo");
    list << QStringLiteral("-c") << QStringLiteral("-n") << commandLineNickname() << QStringLiteral("-h") << host
         << QStringLiteral("-p") << port;
    return list;
}

QString GameStarter::workingDirectory(bool clientVariant) const
{
#ifdef Q_OS_WIN
    return clientVariant ? gameDir + QStringLiteral("\\bin\\release\\") : gameDir;
#else
    return clientVariant ? gameDir + QStringLiteral("/bin/release/") : gameDir;
#endif
}

void GameStarter::start(bool clientVariant)
{
    Platform::setPlayerName(nickname);

    // The game outlives the launcher; whether it started is not examined.
#ifdef Q_OS_WIN
    // The whole command line is the program: Windows hands it to the game
    // unchanged, with the executable path quoted.
    (void)Platform::startDetached(commandLine(clientVariant), QStringList(), workingDirectory(clientVariant));
#else
    (void)Platform::startDetached(program(clientVariant), arguments(clientVariant), workingDirectory(clientVariant));
#endif

    emit startFinished();
}
