#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Starts the game: stores the nickname where the multiplayer client reads it
// and starts the game executable (or the client program) detached, with the
// nickname and the chosen server on its command line. The main window fills
// it, calls start() once and closes the launcher on startFinished().
class GameStarter final : public QObject
{
    Q_OBJECT

public:
    explicit GameStarter(QObject *parent = nullptr);

    void setGameDir(const QString &dir);
    void setNickname(const QString &name);
    void setHost(const QString &address);
    void setPort(const QString &number);

    // Writes the nickname (as typed) to the client's "player_name" value,
    // starts the program without waiting for it and emits startFinished(),
    // whether or not the start succeeded. clientVariant picks the client
    // program "bin/release/varo.exe" instead of "gta_sa.exe".
    void start(bool clientVariant);

    // The Windows command line, one string: the quoted executable path
    // followed by the switches, e.g.
    //   "D:/Games/Varo/gtasa\gta_sa.exe" -varo -c -n Ivan_Petrov -h 10.0.0.1 -p 7777
    QString commandLine(bool clientVariant) const;
    // The same start in portable form: executable path, argument list and
    // working directory (used where there is no Windows command line).
    QString program(bool clientVariant) const;
    QStringList arguments(bool clientVariant) const;
    QString workingDirectory(bool clientVariant) const;
    // The nickname as it goes on the command line: trimmed, inner runs of
    // white space collapsed to one blank.
    QString commandLineNickname() const;

signals:
    void startFinished();

private:
    QString host;
    QString port;
    QString nickname;
    QString gameDir;
};
