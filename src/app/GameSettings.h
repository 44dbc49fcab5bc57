#pragma once

#include "platform/Platform.h"

#include <QMap>
#include <QString>
#include <QtGlobal>

// The game's per-user files: where "GTA San Andreas User Files" lies and the
// key/value file "listva.cfg" kept there. Keys are opaque to the launcher;
// the game-side software that reads the file decides which ones exist.
//
// Every failure is silent: with no documents folder the object stays empty,
// a missing or unreadable file gives an empty map, malformed lines are
// skipped and a failed save leaves the old file in place.
class GameSettings final
{
public:
    // Longest line (without its line end) that is read; longer lines are
    // skipped whole without being held in memory.
    static constexpr int MaxLineLength = 64 * 1024;

    // Derives the paths from documentsFolder and reads "listva.cfg". An empty
    // folder leaves paths and entries empty.
    explicit GameSettings(const QString &documentsFolder = Platform::documentsFolder());

    // Rewrites "listva.cfg" with every entry in key order, one "key=value"
    // line each, replacing the old file only once the new one is complete.
    void save() const;

    // The game's own settings file "gta_sa.set" (deleted by the cache repair).
    QString settingsPath() const;
    QString configPath() const;

    qint32 intValue(const QString &key, qint32 defaultValue) const;
    bool boolValue(const QString &key, bool defaultValue) const;
    void setInt(const QString &key, qint32 value);
    void setBool(const QString &key, bool value);
    QMap<QString, qint32> values() const;

private:
    Q_DISABLE_COPY(GameSettings)

    void load();
    void parseRecord(const QByteArray &record);

    QString configFile;
    QString settingsFile;
    QMap<QString, qint32> entries;
};
